#include "platformd/resolver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include <cctype>
#include <memory>

namespace platformd {

namespace {

constexpr size_t MAX_HOST_NAME = 253;

// What one resolution gives: an address in network order, or a text.
struct Resolution {
  uint32_t address = 0;
  std::string error;
};

// Names under "invalid" never exist (RFC 6761): answered here, as the
// resolver would, without asking a name server.
bool isReservedInvalid(const std::string& name) {
  std::string lower;
  for (char c : name) lower.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
  while (!lower.empty() && lower.back() == '.') lower.pop_back();
  const std::string suffix = ".invalid";
  return lower == "invalid" ||
         (lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0);
}

void lookUp(const std::string& name, Resolution& out) {
  if (isReservedInvalid(name)) {
    out.error = gai_strerror(EAI_NONAME);
    return;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    out.error = rc == EAI_SYSTEM ? std::string(strerror(errno)) : std::string(gai_strerror(rc));
    return;
  }
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in sin;
    memcpy(&sin, ai->ai_addr, sizeof sin);
    out.address = sin.sin_addr.s_addr;
    break;
  }
  freeaddrinfo(found);
  if (out.address == 0) out.error = "no IPv4 address for " + name;
}

}  // namespace

bool isPlausibleHostName(const std::string& name) {
  if (name.empty() || name.size() > MAX_HOST_NAME) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

Resolver::Resolver(kv::ThinRunner& runner, const ResolverOptions& options)
    : pool_(runner, options.threads, options.maxQueued) {}

void Resolver::handleCmd(kv::message& request, uint32_t command) {
  if (command != contract::resolver::RESOLVE_COMMAND) return Handler::handleCmd(request, command);
  resolve(request);
}

void Resolver::resolve(const kv::message& request) {
  const std::string name = request.get(contract::resolver::HOST_NAME_FIELD);
  if (!isPlausibleHostName(name)) {
    return replyMessage(request, kv::errorMsg(kv::ERR_BAD_REQUEST, "not a host name"));
  }
  auto result = std::make_shared<Resolution>();
  bool queued = pool_.submit([name, result]() { lookUp(name, *result); },
                             [this, request, result]() {
    if (!result->error.empty()) return replyMessage(request, kv::failedMsg(result->error));
    kv::message reply;
    reply.set(contract::resolver::ADDRESS_FIELD, result->address);
    replyMessage(request, reply);
  });
  if (!queued) {
    replyMessage(request, kv::errorMsg(kv::ERR_BUSY, "too many names being resolved"));
  }
}

}  // namespace platformd
