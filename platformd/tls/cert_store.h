// The platform's certificate stores: a root-mapped directory of PEM files,
// one entry per file named "<id>.pem" (id a decimal number from 1).
//
//   trusted  /korv/store/platform/tls/trusted   certificates that TLS
//            server chains are verified against (mode 0644 files)
//   clients  /korv/store/platform/tls/clients   client certificates, each
//            file the private key then the certificate chain (mode 0600
//            files in a 0700 directory)
//
// Entries are added and removed from the console (CertStoreHandler) or by
// putting files there. Files not named "<id>.pem", larger than 64 KiB or
// without a certificate are left out, with a log line. Nothing here ever
// hands a private key out over the bus.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/handler.h"
#include "platform/looper.h"
#include "platformd/tls/openssl_util.h"

namespace platformd {

constexpr const char* TRUSTED_STORE_DIR = "/korv/store/platform/tls/trusted";
constexpr const char* CLIENT_STORE_DIR = "/korv/store/platform/tls/clients";

// What the console sees of an entry.
struct CertInfo {
  uint32_t id = 0;
  std::string subject, issuer, notAfter;  // of the entry's first certificate
  uint32_t certificates = 0;
};

class CertStore {
 public:
  enum class Kind { Trusted, Client };
  static constexpr size_t MAX_ENTRIES = 256;
  static constexpr size_t MAX_FILE_BYTES = 64 * 1024;
  static constexpr size_t MAX_CHAIN = 16;

  // `devicePath` is mapped under the root directory.
  CertStore(Kind kind, const std::string& devicePath, kv::LogFn log);

  std::vector<CertInfo> list() const;
  // Validates and stores a new entry; `keyPem` only for a client entry,
  // whose key must match its first certificate. Sets `id`.
  kv::Status add(const std::string& certPem, const std::string& keyPem, uint32_t& id);
  kv::Status remove(uint32_t id);

  // Every certificate of every trusted entry.
  std::vector<X509Ptr> allCertificates() const;
  // The chain and key of client entry `id`.
  kv::Status loadClient(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr& key) const;
  // Changes whenever an entry is added or removed, here or by hand.
  std::string version() const;

 private:
  std::vector<uint32_t> ids() const;
  std::string pathOf(uint32_t id) const;
  bool read(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr* key) const;
  void warnOnce(const std::string& path, const std::string& why) const;

  Kind kind_;
  std::string dir_;
  kv::LogFn log_;
  mutable std::set<std::string> warned_;  // files already logged as left out
};

// The console's way to a store, at [12, 1] (trusted) or [12, 2] (clients),
// with the generic table commands (contracts/tls.h lists them).

class CertStoreHandler : public kv::Handler {
 public:
  explicit CertStoreHandler(CertStore& store) : store_(store) {}
  void cmdGetAll(kv::message& request) override;
  void cmdGetObj(kv::message& request) override;
  void cmdGetCount(kv::message& request) override;
  void cmdAddObj(kv::message& request) override;
  void cmdRemoveObj(kv::message& request) override;

 private:
  CertStore& store_;
};

}  // namespace platformd
