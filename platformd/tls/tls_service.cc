#include "platformd/tls/tls_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/descriptor.h"

namespace platformd {

namespace {

// The IPv4 address of the socket's peer, as text; "" when it has none.
std::string peerAddressOf(int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) {
    return std::string();
  }
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) ? text : "";
}

}  // namespace

TlsService::TlsService(kv::Looper& loop, kv::LogFn log, const TlsOptions& options)
    : runner_(loop.runner()),
      log_(log),
      options_(options),
      trusted_(CertStore::Kind::Trusted, TRUSTED_STORE_DIR, log),
      clients_(CertStore::Kind::Client, CLIENT_STORE_DIR, log),
      trustedHandler_(trusted_),
      clientsHandler_(clients_) {
  loop.addHandler(contract::tls::PATH, this);
  loop.addHandler(contract::tls::TRUSTED_STORE_PATH, &trustedHandler_);
  loop.addHandler(contract::tls::CLIENT_STORE_PATH, &clientsHandler_);
}

TlsService::~TlsService() = default;

void TlsService::handleCmd(kv::message& request, uint32_t command) {
  const int fd = kv::carriedDescriptor(request);
  if (command == contract::tls::CONNECT_COMMAND && fd >= 0) return connect(request, fd);
  if (fd >= 0) close(fd);
  if (command == contract::tls::CONNECT_COMMAND) {
    return replyMessage(request, kv::errorMsg(kv::ERR_BAD_REQUEST, "a connected socket is required"));
  }
  Handler::handleCmd(request, command);
}

void TlsService::connect(const kv::message& request, int tcpFd) {
  const char* busy = sessions_.size() >= options_.maxConnections ? "too many TLS connections"
                     : handshakes() >= options_.maxHandshakes   ? "too many TLS handshakes"
                                                                : nullptr;
  TlsSettings settings;
  kv::Status st = busy ? kv::Status::io(busy) : settingsFor(request, tcpFd, settings);
  if (!st.isOk()) {
    close(tcpFd);
    return replyMessage(request, busy ? kv::errorMsg(kv::ERR_BUSY, busy) : kv::failedMsg(st.message()));
  }
  const std::string peer = settings.verifyName;
  sessions_.push_back(nullptr);
  auto slot = std::prev(sessions_.end());
  *slot = std::make_unique<TlsSession>(
      runner_,
      [this, request, peer](const kv::message& reply) {
        if (kv::isError(reply)) log_(kv::LOG_LEVEL_WARNING, "tls: " + peer + ": " + kv::getError(reply));
        replyMessage(request, reply);
      },
      [this, slot]() { finished(slot->get()); });
  (*slot)->start(std::move(settings));
}

kv::Status TlsService::settingsFor(const kv::message& request, int tcpFd, TlsSettings& settings) {
  const contract::tls::ConnectOrder order = contract::tls::decodeConnect(request);
  if (order.serverMode) return kv::Status::io("only TLS client connections are offered");
  if (!order.verifyServer) return kv::Status::io("unverified TLS connections are not offered");
  settings.tcpFd = tcpFd;
  settings.serverName = order.serverName;
  settings.verifyName = order.verifyName;
  if (settings.verifyName.empty()) settings.verifyName = peerAddressOf(tcpFd);
  if (settings.verifyName.empty()) return kv::Status::io("the socket is not connected over IPv4");
  if (order.clientCertificate != contract::tls::NO_CERTIFICATE) {
    kv::Status st = clients_.loadClient(order.clientCertificate, settings.clientChain,
                                        settings.clientKey);
    if (!st.isOk()) return st;
  }
  std::string why;
  settings.context = context(why);
  if (!settings.context) return kv::Status::io(why);
  const kv::Ticks tps = runner_.clock().ticksPerSecond();
  settings.handshakeTicks = options_.handshakeSeconds * tps;
  settings.lingerTicks = options_.lingerSeconds * tps;
  return kv::Status::ok();
}

// The client context, built again when the trusted store has changed.
SSL_CTX* TlsService::context(std::string& why) {
  const std::string version = trusted_.version();
  if (context_ && version == contextVersion_) return context_.get();
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    why = "TLS set-up failed: " + takeOpensslError("SSL_CTX_new");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  std::vector<X509Ptr> anchors = trusted_.allCertificates();
  if (anchors.empty()) {
    SSL_CTX_set_default_verify_paths(ctx.get());
  } else {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.get());
    for (const X509Ptr& cert : anchors) X509_STORE_add_cert(store, cert.get());
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
  }
  takeOpensslError("");  // a certificate given twice is not a fault
  context_ = std::move(ctx);
  contextVersion_ = version;
  return context_.get();
}

size_t TlsService::handshakes() const {
  size_t n = 0;
  for (const auto& session : sessions_) n += session && session->handshaking();
  return n;
}

// A session is not destroyed inside its own callback: it goes on the next
// turn.
void TlsService::finished(TlsSession* session) {
  done_.push_back(session);
  if (!reap_.pending()) reap_ = kv::Timer(runner_, 0, [this]() { reap(); });
}

void TlsService::reap() {
  for (TlsSession* session : done_) {
    sessions_.remove_if([session](const std::unique_ptr<TlsSession>& s) { return s.get() == session; });
  }
  done_.clear();
}

}  // namespace platformd
