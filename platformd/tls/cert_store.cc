#include "platformd/tls/cert_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "contracts/tls.h"
#include "platform/root.h"
#include "platform/files.h"

namespace platformd {

namespace {

constexpr size_t MAX_NAME_BYTES = 64;
constexpr const char* FILE_SUFFIX = ".pem";

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Splits "<id>.pem" (name "") or "<id>.<name>.pem"; false for any other
// file name, an id of 0 or with a leading zero, and a name that breaks
// the rules.
bool parseFileName(const std::string& file, uint32_t& id, std::string& name) {
  const size_t suffix = std::char_traits<char>::length(FILE_SUFFIX);
  if (file.size() <= suffix || file.compare(file.size() - suffix, suffix, FILE_SUFFIX) != 0) {
    return false;
  }
  const std::string stem = file.substr(0, file.size() - suffix);
  const size_t dot = stem.find('.');
  const std::string digits = stem.substr(0, dot);
  name = dot == std::string::npos ? "" : stem.substr(dot + 1);
  if (!isNumber(digits) || digits[0] == '0' || digits.size() > 10) return false;
  if (dot != std::string::npos && !checkEntryName(name).isOk()) return false;
  const unsigned long long value = strtoull(digits.c_str(), nullptr, 10);
  id = static_cast<uint32_t>(value);
  return value <= 0xffffffffull;
}

kv::message rowOf(const CertInfo& info) {
  kv::message row;
  row.set(kv::OBJECT_ID_FIELD, info.id);
  if (!info.name.empty()) row.set(contract::tls::ENTRY_NAME_FIELD, info.name);
  row.set(contract::tls::CERT_SUBJECT_FIELD, info.subject);
  row.set(contract::tls::CERT_ISSUER_FIELD, info.issuer);
  row.set(contract::tls::CERT_NOT_BEFORE_FIELD, info.notBefore);
  row.set(contract::tls::CERT_NOT_AFTER_FIELD, info.notAfter);
  row.set(contract::tls::CERT_FINGERPRINT_FIELD, info.fingerprint);
  row.set(contract::tls::CERT_COUNT_FIELD, info.certificates);
  return row;
}

}  // namespace

kv::Status checkEntryName(const std::string& name) {
  if (name.empty() || name.size() > MAX_NAME_BYTES || !isalnum(static_cast<unsigned char>(name[0])) ||
      !std::all_of(name.begin(), name.end(), isNameCharacter)) {
    return kv::Status::malformed(
        "a name is 1 to 64 letters, digits, '.', '_' or '-', starting with a letter or digit");
  }
  if (isNumber(name)) return kv::Status::malformed("a name cannot be a number (numbers are ids)");
  if (name == "none") return kv::Status::malformed("\"none\" is not a name (it means no certificate)");
  return kv::Status::ok();
}

CertStore::CertStore(Kind kind, const std::string& devicePath, kv::LogFn log)
    : kind_(kind), dir_(kv::rootPath(devicePath)), log_(std::move(log)) {}

std::string CertStore::pathOf(uint32_t id, const std::string& name) const {
  return dir_ + "/" + std::to_string(id) + (name.empty() ? "" : "." + name) + FILE_SUFFIX;
}

std::vector<CertStore::File> CertStore::files(uint32_t* highestId) const {
  std::vector<File> found;
  DIR* dir = opendir(dir_.c_str());
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const bool temporary = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    if (name == "." || name == ".." || temporary) continue;
    File file{0, "", dir_ + "/" + name};
    if (!parseFileName(name, file.id, file.name)) {
      warnOnce(file.path, "entries are named <id>.<name>.pem");
    } else {
      found.push_back(std::move(file));
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end(), [](const File& a, const File& b) {
    return a.id != b.id ? a.id < b.id : a.path < b.path;
  });
  if (highestId) *highestId = found.empty() ? 0 : found.back().id;
  std::vector<File> kept;
  std::set<std::string> names;
  for (File& file : found) {
    if (!kept.empty() && kept.back().id == file.id) {
      warnOnce(file.path, "id " + std::to_string(file.id) + " is taken by " + kept.back().path);
    } else if (!file.name.empty() && !names.insert(file.name).second) {
      warnOnce(file.path, "the name " + file.name + " is taken by another entry");
    } else if (kept.size() < MAX_ENTRIES) {
      kept.push_back(std::move(file));
    }
  }
  return kept;
}

bool CertStore::read(const File& file, std::vector<X509Ptr>& chain, KeyPtr* key) const {
  std::string pem;
  kv::Status st = kv::readFile(file.path, MAX_FILE_BYTES, pem);
  if (st.isOk()) chain = parseCertificates(pem, MAX_CHAIN);
  if (st.isOk() && key) *key = parsePrivateKey(pem);
  bool ok = st.isOk() && !chain.empty() && (!key || *key);
  if (!ok && st.kind() != kv::Status::Kind::NotFound) {
    warnOnce(file.path, st.isOk() ? "no certificate or key in it" : st.message());
  }
  return ok;
}

void CertStore::warnOnce(const std::string& path, const std::string& why) const {
  if (!warned_.insert(path).second) return;
  log_(kv::LOG_LEVEL_WARNING, "certificate store: ignoring " + path + " (" + why + ")");
}

std::vector<CertInfo> CertStore::list() const {
  std::vector<CertInfo> infos;
  for (const File& file : files()) {
    std::vector<X509Ptr> chain;
    if (!read(file, chain, nullptr)) continue;
    X509* first = chain[0].get();
    infos.push_back(CertInfo{file.id, file.name, subjectOf(first), issuerOf(first),
                             notBeforeOf(first), notAfterOf(first), sha256FingerprintOf(first),
                             static_cast<uint32_t>(chain.size())});
  }
  return infos;
}

kv::Status CertStore::checkNameIsFree(const std::vector<File>& existing,
                                      const std::string& name) const {
  kv::Status st = checkEntryName(name);
  for (const File& file : existing) {
    if (st.isOk() && file.name == name) st = kv::Status::malformed("name already in use");
  }
  return st;
}

kv::Status CertStore::add(const std::string& name, const std::string& certPem,
                          const std::string& keyPem, uint32_t& id) {
  if (certPem.size() > MAX_FILE_BYTES || keyPem.size() > MAX_FILE_BYTES) {
    return kv::Status::tooLarge("at most 64 KiB of PEM text");
  }
  uint32_t highestId = 0;  // a new id is above every file's, so none can shadow it
  std::vector<File> existing = files(&highestId);
  kv::Status named = checkNameIsFree(existing, name);
  if (!named.isOk()) return named;
  std::vector<X509Ptr> chain = parseCertificates(certPem, MAX_CHAIN);
  if (chain.empty()) return kv::Status::malformed("no certificate in the PEM text (string 20)");
  std::string text = certificatesToPem(chain);
  const bool client = kind_ == Kind::Client;
  if (!client && !keyPem.empty()) {
    return kv::Status::malformed("a trusted certificate takes no private key");
  }
  if (client) {
    KeyPtr key = parsePrivateKey(keyPem);
    if (!key) return kv::Status::malformed("no unencrypted private key in the PEM text (string 21)");
    if (X509_check_private_key(chain[0].get(), key.get()) != 1) {
      takeOpensslError("");
      return kv::Status::malformed("the private key does not match the certificate");
    }
    text = privateKeyToPem(key.get()) + text;
  }
  if (existing.size() >= MAX_ENTRIES) return kv::Status::tooLarge("the store is full");
  id = highestId + 1;
  if (id == 0) return kv::Status::tooLarge("no object id left");
  const std::string path = pathOf(id, name);
  kv::Status st = kv::makeParentDirs(path);
  if (st.isOk() && client) chmod(dir_.c_str(), 0700);
  if (st.isOk()) st = kv::writeFileAtomically(path, text, client ? 0600 : 0644);
  warned_.erase(path);
  if (st.isOk()) log_(kv::LOG_LEVEL_INFO, "certificate store: added " + path);
  return st;
}

kv::Status CertStore::rename(uint32_t id, const std::string& name) {
  std::vector<File> existing = files();
  auto it = std::find_if(existing.begin(), existing.end(), [id](const File& f) { return f.id == id; });
  if (it == existing.end()) return kv::Status::notFound("no such entry");
  if (it->name == name) return kv::Status::ok();
  kv::Status st = checkNameIsFree(existing, name);
  if (st.isOk()) st = kv::renameFile(it->path, pathOf(id, name));
  if (st.isOk()) log_(kv::LOG_LEVEL_INFO, "certificate store: renamed " + it->path + " to " + name);
  return st;
}

kv::Status CertStore::remove(uint32_t id) {
  for (const File& file : files()) {
    if (file.id != id) continue;
    kv::Status removed = kv::removeFile(file.path);
    warned_.erase(file.path);
    if (removed.isOk()) log_(kv::LOG_LEVEL_INFO, "certificate store: removed " + file.path);
    return removed;
  }
  return kv::Status::notFound("no such entry");
}

std::vector<X509Ptr> CertStore::allCertificates() const {
  std::vector<X509Ptr> all;
  for (const File& file : files()) {
    std::vector<X509Ptr> chain;
    if (read(file, chain, nullptr)) {
      for (X509Ptr& cert : chain) all.push_back(std::move(cert));
    }
  }
  return all;
}

kv::Status CertStore::loadClient(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr& key) const {
  for (const File& file : files()) {
    if (kind_ == Kind::Client && file.id == id && read(file, chain, &key)) return kv::Status::ok();
  }
  return kv::Status::notFound("client certificate " + std::to_string(id) + " not found");
}

std::string CertStore::version() const {
  struct stat st;
  if (stat(dir_.c_str(), &st) != 0) return "none";
  return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// ---- CertStoreHandler --------------------------------------------------------

void CertStoreHandler::cmdGetAll(kv::message& request) {
  const uint32_t after = request.get(kv::AFTER_ID_FIELD);
  std::vector<kv::message> rows;
  for (const CertInfo& info : store_.list()) {
    if (info.id > after) rows.push_back(rowOf(info));
  }
  kv::message reply;
  reply.set(kv::ROWS_FIELD, std::move(rows));
  replyMessage(request, reply);
}

void CertStoreHandler::cmdGetObj(kv::message& request) {
  const uint32_t id = request.get(kv::OBJECT_ID_FIELD);
  for (const CertInfo& info : store_.list()) {
    if (info.id == id) return replyMessage(request, rowOf(info));
  }
  replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no such entry"));
}

void CertStoreHandler::cmdGetCount(kv::message& request) {
  kv::message reply;
  reply.set(kv::COUNT_FIELD, static_cast<uint32_t>(store_.list().size()));
  replyMessage(request, reply);
}

void CertStoreHandler::cmdAddObj(kv::message& request) {
  uint32_t id = 0;
  kv::Status st = store_.add(request.get(contract::tls::ENTRY_NAME_FIELD),
                             request.get(contract::tls::CERT_PEM_FIELD),
                             request.get(contract::tls::KEY_PEM_FIELD), id);
  if (!st.isOk()) return replyMessage(request, kv::failedMsg(st.message()));
  kv::message reply;
  reply.set(kv::OBJECT_ID_FIELD, id);
  replyMessage(request, reply);
}

// Only the name changes: an entry's certificates and key are replaced by
// removing it and adding it again.
void CertStoreHandler::cmdSetObj(kv::message& request) {
  kv::Status st = kv::Status::malformed("set changes the name (string 0xfe0010) only");
  if (request.has(contract::tls::ENTRY_NAME_FIELD) &&
      !request.has(contract::tls::CERT_PEM_FIELD) && !request.has(contract::tls::KEY_PEM_FIELD)) {
    st = store_.rename(request.get(kv::OBJECT_ID_FIELD),
                       request.get(contract::tls::ENTRY_NAME_FIELD));
  }
  if (st.kind() == kv::Status::Kind::NotFound) {
    return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, st.message()));
  }
  replyMessage(request, st.isOk() ? kv::message() : kv::failedMsg(st.message()));
}

void CertStoreHandler::cmdRemoveObj(kv::message& request) {
  kv::Status st = store_.remove(request.get(kv::OBJECT_ID_FIELD));
  if (!st.isOk()) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, st.message()));
  replyMessage(request, kv::message());
}

}  // namespace platformd
