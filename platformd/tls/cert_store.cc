#include "platformd/tls/cert_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "platform/root.h"
#include "platform/files.h"

namespace platformd {

namespace {

// The id of a file named "<id>.pem", or 0.
uint32_t idOfFileName(const std::string& name) {
  const std::string suffix = ".pem";
  if (name.size() <= suffix.size() || name.size() > 14 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string digits = name.substr(0, name.size() - suffix.size());
  if (digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  unsigned long long id = strtoull(digits.c_str(), nullptr, 10);
  return id <= 0xffffffffull ? static_cast<uint32_t>(id) : 0;
}

kv::message rowOf(const CertInfo& info) {
  kv::message row;
  row.set(kv::OBJECT_ID_FIELD, info.id);
  row.set(CERT_SUBJECT_FIELD, info.subject);
  row.set(CERT_ISSUER_FIELD, info.issuer);
  row.set(CERT_NOT_AFTER_FIELD, info.notAfter);
  row.set(CERT_COUNT_FIELD, info.certificates);
  return row;
}

}  // namespace

CertStore::CertStore(Kind kind, const std::string& devicePath, kv::LogFn log)
    : kind_(kind), dir_(kv::rootPath(devicePath)), log_(std::move(log)) {}

std::string CertStore::pathOf(uint32_t id) const { return dir_ + "/" + std::to_string(id) + ".pem"; }

std::vector<uint32_t> CertStore::ids() const {
  std::vector<uint32_t> found;
  DIR* dir = opendir(dir_.c_str());
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    bool temporary = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    if (name == "." || name == ".." || temporary) {
      continue;
    }
    uint32_t id = idOfFileName(name);
    if (id == 0) {
      warnOnce(dir_ + "/" + name, "entries are named <id>.pem");
    } else if (found.size() < MAX_ENTRIES) {
      found.push_back(id);
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

bool CertStore::read(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr* key) const {
  std::string pem;
  kv::Status st = kv::readFile(pathOf(id), MAX_FILE_BYTES, pem);
  if (st.isOk()) chain = parseCertificates(pem, MAX_CHAIN);
  if (st.isOk() && key) *key = parsePrivateKey(pem);
  bool ok = st.isOk() && !chain.empty() && (!key || *key);
  if (!ok && st.kind() != kv::Status::Kind::NotFound) {
    warnOnce(pathOf(id), st.isOk() ? "no certificate or key in it" : st.message());
  }
  return ok;
}

void CertStore::warnOnce(const std::string& path, const std::string& why) const {
  if (!warned_.insert(path).second) return;
  log_(kv::LOG_LEVEL_WARNING, "certificate store: ignoring " + path + " (" + why + ")");
}

std::vector<CertInfo> CertStore::list() const {
  std::vector<CertInfo> infos;
  for (uint32_t id : ids()) {
    std::vector<X509Ptr> chain;
    if (!read(id, chain, nullptr)) continue;
    infos.push_back(CertInfo{id, subjectOf(chain[0].get()), issuerOf(chain[0].get()),
                             notAfterOf(chain[0].get()), static_cast<uint32_t>(chain.size())});
  }
  return infos;
}

kv::Status CertStore::add(const std::string& certPem, const std::string& keyPem, uint32_t& id) {
  if (certPem.size() > MAX_FILE_BYTES || keyPem.size() > MAX_FILE_BYTES) {
    return kv::Status::tooLarge("at most 64 KiB of PEM text");
  }
  std::vector<X509Ptr> chain = parseCertificates(certPem, MAX_CHAIN);
  if (chain.empty()) return kv::Status::malformed("no PEM certificate in string 20");
  std::string text = certificatesToPem(chain);
  const bool client = kind_ == Kind::Client;
  if (!client && !keyPem.empty()) {
    return kv::Status::malformed("a trusted certificate takes no private key");
  }
  if (client) {
    KeyPtr key = parsePrivateKey(keyPem);
    if (!key) return kv::Status::malformed("no unencrypted PEM private key in string 21");
    if (X509_check_private_key(chain[0].get(), key.get()) != 1) {
      takeOpensslError("");
      return kv::Status::malformed("the private key does not match the certificate");
    }
    text = privateKeyToPem(key.get()) + text;
  }
  std::vector<uint32_t> existing = ids();
  if (existing.size() >= MAX_ENTRIES) return kv::Status::tooLarge("the store is full");
  id = existing.empty() ? 1 : existing.back() + 1;
  if (id == 0) return kv::Status::tooLarge("no object id left");
  kv::Status st = kv::makeParentDirs(pathOf(id));
  if (st.isOk() && client) chmod(dir_.c_str(), 0700);
  if (st.isOk()) st = kv::writeFileAtomically(pathOf(id), text, client ? 0600 : 0644);
  warned_.erase(pathOf(id));
  if (st.isOk()) log_(kv::LOG_LEVEL_INFO, "certificate store: added " + pathOf(id));
  return st;
}

kv::Status CertStore::remove(uint32_t id) {
  struct stat st;
  if (id == 0 || stat(pathOf(id).c_str(), &st) != 0) return kv::Status::notFound("no such entry");
  kv::Status removed = kv::removeFile(pathOf(id));
  warned_.erase(pathOf(id));
  if (removed.isOk()) log_(kv::LOG_LEVEL_INFO, "certificate store: removed " + pathOf(id));
  return removed;
}

std::vector<X509Ptr> CertStore::allCertificates() const {
  std::vector<X509Ptr> all;
  for (uint32_t id : ids()) {
    std::vector<X509Ptr> chain;
    if (read(id, chain, nullptr)) {
      for (X509Ptr& cert : chain) all.push_back(std::move(cert));
    }
  }
  return all;
}

kv::Status CertStore::loadClient(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr& key) const {
  if (kind_ != Kind::Client || !read(id, chain, &key)) {
    return kv::Status::notFound("client certificate " + std::to_string(id) + " not found");
  }
  return kv::Status::ok();
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
  kv::Status st = store_.add(request.get(CERT_PEM_FIELD), request.get(KEY_PEM_FIELD), id);
  if (!st.isOk()) return replyMessage(request, kv::failedMsg(st.message()));
  kv::message reply;
  reply.set(kv::OBJECT_ID_FIELD, id);
  replyMessage(request, reply);
}

void CertStoreHandler::cmdRemoveObj(kv::message& request) {
  kv::Status st = store_.remove(request.get(kv::OBJECT_ID_FIELD));
  if (!st.isOk()) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, st.message()));
  replyMessage(request, kv::message());
}

}  // namespace platformd
