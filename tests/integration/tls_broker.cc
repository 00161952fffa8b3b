#include "tls_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace harness {

namespace {

const char* CERTIFICATES_SCRIPT = R"(set -e
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

}  // namespace

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool TlsBroker::start() {
  if (!makeCertificates()) return false;
  testsupport::MosquittoOptions options;
  options.logTypes = {"error"};
  options.extraConfig = listenerConfig();
  mosquitto_ = std::make_unique<testsupport::Mosquitto>(options);
  if (!mosquitto_->start()) {
    why_ = mosquitto_->startError();
    return false;
  }
  return waitForListeners();
}

bool TlsBroker::makeCertificates() {
  std::ofstream(dir_.path() + "/make.sh") << CERTIFICATES_SCRIPT;
  std::string cmd = "cd '" + dir_.path() + "' && sh make.sh >make.log 2>&1";
  if (system(cmd.c_str()) != 0) {
    why_ = "the openssl command failed: " + pem("make.log");
    return false;
  }
  return true;
}

std::vector<std::string> TlsBroker::listenerConfig() {
  const char* certs[LISTENERS] = {"server", "expired", "misnamed", "stranger", "server"};
  std::vector<std::string> lines;
  for (int i = 0; i < LISTENERS; ++i) {
    ports_[i] = testsupport::freeLoopbackPort();
    lines.push_back("listener " + std::to_string(ports_[i]) + " 127.0.0.1");
    lines.push_back("cafile " + dir_.path() + "/ca.pem");
    lines.push_back("certfile " + dir_.path() + "/" + certs[i] + ".pem");
    lines.push_back("keyfile " + dir_.path() + "/" + certs[i] + ".key");
    if (i == CLIENT_AUTH) lines.push_back("require_certificate true");
  }
  return lines;
}

// The fixture waits for its own listener, which the broker opens first.
// The guard only bounds a broken start.
bool TlsBroker::waitForListeners() {
  for (int attempt = 0; attempt < 500; ++attempt) {
    int fd = connectLoopback(ports_[LISTENERS - 1]);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    usleep(10 * 1000);
  }
  why_ = "mosquitto does not listen on its TLS ports";
  return false;
}

std::string TlsBroker::pem(const std::string& file) const {
  std::ifstream in(dir_.path() + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace harness
