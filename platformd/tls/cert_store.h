// The platform's certificate stores: a root-mapped directory of PEM files,
// one entry per file.
//
//   trusted  /korv/store/platform/tls/trusted   certificates that TLS
//            server chains are verified against (mode 0644 files)
//   clients  /korv/store/platform/tls/clients   client certificates, each
//            file the private key then the certificate chain (mode 0600
//            files in a 0700 directory)
//
// An entry's file is named "<id>.<name>.pem": the id (a decimal number
// from 1, never reused while the entry exists) is what broker rows keep,
// the name is what people use. Files named "<id>.pem", from before entries
// had names, are entries without a name until one is given (rename). A
// rename is one rename(2); an add writes a temporary file and renames it.
//
// Entries are added, renamed and removed from the console
// (CertStoreHandler) or by putting files there. Files whose name is not of
// that form, that repeat an id or a name already taken (the file that
// sorts first keeps it), larger than 64 KiB or without a certificate are
// left out, with one log line each. Nothing here ever hands a private key
// out over the bus.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "contracts/tls.h"
#include "platform/handler.h"
#include "platform/looper.h"
#include "platformd/tls/openssl_util.h"

namespace platformd {

constexpr const char* TRUSTED_STORE_DIR = "/korv/store/platform/tls/trusted";
constexpr const char* CLIENT_STORE_DIR = "/korv/store/platform/tls/clients";

// What the console sees of an entry.
struct CertInfo {
  uint32_t id = 0;
  std::string name;  // "" for an entry from before names
  // Of the entry's first certificate.
  std::string subject, issuer, notBefore, notAfter, fingerprint;
  uint32_t certificates = 0;
};

// An entry's name: 1 to 64 letters, digits, '.', '_' and '-', starting
// with a letter or digit; not a number (a number names an id) and not
// "none" (a broker's "no certificate"). The message says which rule fails.
kv::Status checkEntryName(const std::string& name);

class CertStore {
 public:
  enum class Kind { Trusted, Client };
  static constexpr size_t MAX_ENTRIES = 256;
  static constexpr size_t MAX_FILE_BYTES = contract::tls::MAX_PEM_BYTES;
  static constexpr size_t MAX_CHAIN = 16;

  // `devicePath` is mapped under the root directory.
  CertStore(Kind kind, const std::string& devicePath, kv::LogFn log);

  std::vector<CertInfo> list() const;
  // Validates and stores a new entry under a name no other entry has;
  // `keyPem` only for a client entry, whose key must match its first
  // certificate. Sets `id`.
  kv::Status add(const std::string& name, const std::string& certPem, const std::string& keyPem,
                 uint32_t& id);
  // Gives entry `id` another name (its id stays).
  kv::Status rename(uint32_t id, const std::string& name);
  kv::Status remove(uint32_t id);

  // Every certificate of every trusted entry.
  std::vector<X509Ptr> allCertificates() const;
  // The chain and key of client entry `id`.
  kv::Status loadClient(uint32_t id, std::vector<X509Ptr>& chain, KeyPtr& key) const;
  // Changes whenever an entry is added or removed, here or by hand.
  std::string version() const;

 private:
  struct File {
    uint32_t id;
    std::string name, path;
  };
  // The entries' files in id order, without the ones left out; the
  // highest id of any file, left out or not, in `highestId` when given.
  std::vector<File> files(uint32_t* highestId = nullptr) const;
  std::string pathOf(uint32_t id, const std::string& name) const;
  kv::Status checkNameIsFree(const std::vector<File>& existing, const std::string& name) const;
  bool read(const File& file, std::vector<X509Ptr>& chain, KeyPtr* key) const;
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
  void cmdSetObj(kv::message& request) override;
  void cmdRemoveObj(kv::message& request) override;

 private:
  CertStore& store_;
};

}  // namespace platformd
