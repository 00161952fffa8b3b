// The TLS service (contracts/tls.h): handler path [12], and its
// certificate stores at [12, 1] (trusted certificates) and [12, 2] (client
// certificates), see cert_store.h.
//
// A set-up order runs as a TlsSession on the socket handed over. A server
// mode order, and one that does not verify the server, are refused:
// unverified connections are not offered. A failure says what failed: the
// handshake, verification, its time-out, a missing client certificate.
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

#include "contracts/tls.h"
#include "platform/handler.h"
#include "platform/looper.h"
#include "platformd/tls/cert_store.h"
#include "platformd/tls/tls_session.h"

namespace platformd {

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
