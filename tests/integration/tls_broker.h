// A real mosquitto (the shared fixture, tests/support/mosquitto.h) with TLS
// listeners on loopback, and the certificates it and the tests use, made
// with the openssl command in a temporary directory:
//   ca          the test CA; it signs:
//   server      CN localhost, names localhost and 127.0.0.1
//   expired     the same names, no longer valid
//   misnamed    names other.example only
//   client      a client certificate
//   wrongca     another CA; it signs:
//   stranger    the same names as server
// Listeners, each on a free port of 127.0.0.1: good (server), expired,
// misnamed, stranger, and clientauth (server, and a client certificate
// from ca required).
#pragma once

#include <memory>
#include <string>

#include "harness.h"
#include "support/mosquitto.h"

namespace harness {

class TlsBroker {
 public:
  enum Listener { GOOD, EXPIRED, MISNAMED, STRANGER, CLIENT_AUTH, LISTENERS };

  TlsBroker() = default;
  TlsBroker(const TlsBroker&) = delete;
  TlsBroker& operator=(const TlsBroker&) = delete;

  // Makes the certificates and starts mosquitto; false (with why()) when
  // either fails.
  bool start();
  const std::string& why() const { return why_; }
  int port(Listener listener) const { return ports_[listener]; }
  // The PEM text of a file of the directory ("ca.pem", "client.key", ...).
  std::string pem(const std::string& file) const;

 private:
  bool makeCertificates();
  std::vector<std::string> listenerConfig();
  bool waitForListeners();

  TempRoot dir_;
  std::string why_;
  int ports_[LISTENERS] = {};
  std::unique_ptr<testsupport::Mosquitto> mosquitto_;
};

// A TCP connection to 127.0.0.1:port (blocking); -1 on failure.
int connectLoopback(int port);

}  // namespace harness
