// The TLS service: handler path [12], and its certificate stores at
// [12, 1] (trusted certificates) and [12, 2] (client certificates), see
// cert_store.h.
//
// Command 1 sets up a TLS client connection on a socket the requester has
// connected:
//   u32 0xff0015  the connected TCP socket (a descriptor, docs/bus.md)
//   bool 1        false: the service acts as the TLS client (true, a TLS
//                 server, is refused)
//   bool 4        true or absent: verify the server (false is refused:
//                 unverified connections are not offered)
//   string 15     the server name sent with SNI (when the broker address is
//                 a host name)
//   string 7      the name the server's certificate must carry; absent: the
//                 socket's peer IPv4 address must
//   u32 2         a client certificate of the store [12, 2] to present
// The reply carries in u32 0xff0015 the requester's end of a socket pair:
// what it writes there goes out over TLS and what comes in over TLS can be
// read there (TlsSession). A failure says what failed: the handshake,
// verification, its time-out, a missing client certificate.
//
// The server's chain is verified against the trusted store; when that
// store is empty, against the system's CA bundle (OpenSSL's default
// paths). Every certificate in the trusted store is a trust anchor, even
// one that is not self-signed. TLS 1.2 and 1.3 only.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/handler.h"
#include "platform/looper.h"
#include "platformd/tls/cert_store.h"
#include "platformd/tls/tls_session.h"

namespace platformd {

extern const std::vector<uint32_t> TLS_PATH;          // [12]
extern const std::vector<uint32_t> TRUSTED_STORE_PATH;  // [12, 1]
extern const std::vector<uint32_t> CLIENT_STORE_PATH;   // [12, 2]
constexpr uint32_t TLS_CONNECT_COMMAND = 1;
constexpr kv::bool_id TLS_SERVER_MODE_FIELD{1};
constexpr kv::u32_id TLS_CLIENT_CERT_FIELD{2};
constexpr kv::bool_id TLS_VERIFY_FIELD{4};
constexpr kv::string_id TLS_VERIFY_NAME_FIELD{7};
constexpr kv::string_id TLS_SERVER_NAME_FIELD{15};

struct TlsOptions {
  size_t maxConnections = 256;  // handshaking and relaying
  size_t maxHandshakes = 32;
  uint32_t handshakeSeconds = 20;
  uint32_t lingerSeconds = 5;
};

class TlsService : public kv::Handler {
 public:
  TlsService(kv::Looper& loop, kv::LogFn log, const TlsOptions& options = TlsOptions());
  ~TlsService() override;
  bool takesDescriptors() const override { return true; }
  void handleCmd(kv::message& request, uint32_t command) override;
  size_t connections() const { return sessions_.size(); }

 private:
  void connect(const kv::message& request, int tcpFd);
  kv::Status settingsFor(const kv::message& request, int tcpFd, TlsSettings& settings);
  SSL_CTX* context(std::string& why);
  size_t handshakes() const;
  void finished(TlsSession* session);
  void reap();

  kv::ThinRunner& runner_;
  kv::LogFn log_;
  TlsOptions options_;
  CertStore trusted_, clients_;
  CertStoreHandler trustedHandler_, clientsHandler_;
  SslCtxPtr context_;
  std::string contextVersion_;  // of the trusted store it was built from
  std::list<std::unique_ptr<TlsSession>> sessions_;
  std::vector<TlsSession*> done_;
  kv::Timer reap_;
};

}  // namespace platformd
