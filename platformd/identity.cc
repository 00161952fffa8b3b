#include "platformd/identity.h"

#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "platform/root.h"
#include "platform/files.h"

namespace platformd {

namespace {

constexpr size_t MAX_ID_FILE = 4096;

std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string hex64(uint64_t v) {
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(v));
  return out;
}

// FNV-1a over the bytes, then the splitmix64 finaliser to spread them.
uint64_t hash64(const std::string& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

std::string readMachineId() {
  std::string text;
  if (kv::readFile(kv::rootPath(MACHINE_ID_FILE), MAX_ID_FILE, text).isOk()) return text;
  if (kv::readFile(MACHINE_ID_FILE, MAX_ID_FILE, text).isOk()) return text;
  return std::string();
}

}  // namespace

bool isValidIdentity(const std::string& value) {
  if (value.empty() || value.size() > contract::identity::MAX_IDENTITY) return false;
  for (char c : value) {
    if (!isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string identityFromMachineId(const std::string& machineIdText) {
  std::string id = trimmed(machineIdText);
  if (id.size() != 32) return std::string();
  for (char c : id) {
    if (!isxdigit(static_cast<unsigned char>(c))) return std::string();
  }
  return hex64(hash64("kv-device-identity:" + id));
}

Identity::Identity(kv::LogFn log) : log_(std::move(log)) {
  policies_.add_policy(kv::CMD_SET, kv::policies::NEEDS_WRITE);
  policies_.add_policy(kv::CMD_RESET, kv::policies::NEEDS_WRITE);
  load();
}

void Identity::load() {
  const std::string path = kv::rootPath(IDENTITY_FILE);
  std::string stored;
  kv::Status st = kv::readFile(path, MAX_ID_FILE, stored);
  if (st.isOk() && isValidIdentity(trimmed(stored))) {
    value_ = trimmed(stored);
    origin_ = "set";
    return;
  }
  if (st.isOk() || st.kind() != kv::Status::Kind::NotFound) {
    log_(kv::LOG_LEVEL_WARNING, "identity: ignoring " + path + " (" +
                                    (st.isOk() ? "not an identity" : st.message()) + ")");
  }
  value_ = identityFromMachineId(readMachineId());
  origin_ = "machine-id";
  if (!value_.empty()) return;
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    random = hash64(std::to_string(getpid()) + ":" + std::to_string(time(nullptr)));
  }
  value_ = hex64(random);
  origin_ = "random";
  st = kv::writeFileAtomically(path, value_ + "\n", 0644);
  if (!st.isOk()) log_(kv::LOG_LEVEL_ERROR, "identity: cannot keep it: " + st.message());
}

void Identity::handleCmd(kv::message& request, uint32_t command) {
  if (command == kv::CMD_GET_IDENTITY || command == kv::CMD_GET) return cmdGetIdentity(request);
  Handler::handleCmd(request, command);
}

void Identity::cmdGetIdentity(kv::message& request) {
  kv::message reply;
  reply.set(contract::identity::IDENTITY_FIELD, value_);
  if (request.get(kv::COMMAND_FIELD) == kv::CMD_GET) reply.set(contract::identity::ORIGIN_FIELD, origin_);
  replyMessage(request, reply);
}

void Identity::cmdSet(kv::message& request) {
  const std::string value = request.get(contract::identity::IDENTITY_FIELD);
  if (!isValidIdentity(value)) {
    return replyMessage(request, kv::failedMsg("the identity must be 1 to 21 letters and digits"));
  }
  kv::Status st = kv::writeFileAtomically(kv::rootPath(IDENTITY_FILE), value + "\n", 0644);
  if (!st.isOk()) return replyMessage(request, kv::failedMsg("cannot keep the identity: " + st.message()));
  value_ = value;
  origin_ = "set";
  log_(kv::LOG_LEVEL_INFO, "identity set to " + value_);
  replyMessage(request, kv::message());
}

void Identity::cmdReset(kv::message& request) {
  kv::Status st = kv::removeFile(kv::rootPath(IDENTITY_FILE));
  if (!st.isOk()) return replyMessage(request, kv::failedMsg("cannot forget the identity: " + st.message()));
  load();
  log_(kv::LOG_LEVEL_INFO, "identity reset to " + value_ + " (" + origin_ + ")");
  replyMessage(request, kv::message());
}

}  // namespace platformd
