// A mosquitto with TLS listeners for the black-box tests, and the test
// certificates it presents, made with the openssl command.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "harness.h"

namespace harness {

// The certificates, made with the openssl command in a temporary directory:
//   ca          the test CA; it signs:
//   server      CN localhost, names localhost and 127.0.0.1
//   expired     the same names, no longer valid
//   misnamed    names other.example only
//   client      a client certificate
//   wrongca     another CA; it signs:
//   stranger    the same names as server
inline constexpr const char* CERTIFICATES_SCRIPT = R"(set -e
ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2"
}
leaf() {  # name, signing ca, days of validity, names
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "/CN=$1"
  printf 'subjectAltName=%s\n' "$4" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
    -days "$3" -out "$1.pem" -extfile "$1.ext"
}
names=DNS:localhost,IP:127.0.0.1
ca ca "Test CA"
ca wrongca "Wrong CA"
leaf server ca 30 $names
leaf expired ca -1 $names
leaf misnamed ca 30 DNS:other.example
leaf stranger wrongca 30 $names
leaf client ca 30 DNS:client
)";

// mosquitto with one TLS listener per certificate, each on a free port of
// 127.0.0.1: good (server), expired, misnamed, stranger, and clientauth
// (server, and a client certificate from ca required).
class TlsBroker {
 public:
  enum Listener { GOOD, EXPIRED, MISNAMED, STRANGER, CLIENT_AUTH, LISTENERS };

  // Makes the certificates and starts mosquitto; "" or why it failed.
  std::string start() {
    testsupport::writeFile(dir_.path() + "/make.sh", CERTIFICATES_SCRIPT);
    if (system(("cd '" + dir_.path() + "' && sh make.sh >make.log 2>&1").c_str()) != 0) {
      return "the openssl command failed: " + pem("make.log");
    }
    testsupport::MosquittoOptions options;
    options.logTypes = {"error"};
    const char* certificates[LISTENERS] = {"server", "expired", "misnamed", "stranger", "server"};
    for (int i = 0; i < LISTENERS; ++i) {
      ports_[i] = testsupport::freeLoopbackPort();
      const std::string files = dir_.path() + "/" + certificates[i];
      options.extraConfig.insert(options.extraConfig.end(),
                                 {"listener " + std::to_string(ports_[i]) + " 127.0.0.1",
                                  "cafile " + dir_.path() + "/ca.pem", "certfile " + files + ".pem",
                                  "keyfile " + files + ".key"});
    }
    options.extraConfig.push_back("require_certificate true");  // the last listener's
    mosquitto_ = std::make_unique<testsupport::Mosquitto>(options);
    if (!mosquitto_->start()) return mosquitto_->startError();
    // The broker opens the fixture's plain listener first, these after it.
    const bool up = testsupport::waitUntil([&] {
      const int fd = testsupport::connectLoopback(ports_[LISTENERS - 1]);
      if (fd >= 0) close(fd);
      return fd >= 0;
    });
    return up ? "" : "mosquitto does not listen on its TLS ports";
  }
  uint16_t port(Listener listener) const { return ports_[listener]; }
  // A file of the directory ("ca.pem", "client.key", ...), and its text.
  std::string path(const std::string& file) const { return dir_.path() + "/" + file; }
  std::string pem(const std::string& file) const { return testsupport::readFile(path(file)); }

 private:
  TempRoot dir_;
  uint16_t ports_[LISTENERS] = {};
  std::unique_ptr<testsupport::Mosquitto> mosquitto_;
};

}  // namespace harness
