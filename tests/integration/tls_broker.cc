#include "tls_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace harness {

namespace {

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

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

TlsBroker::TlsBroker() {
  char tmpl[] = "/tmp/tls-broker-XXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
}

TlsBroker::~TlsBroker() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty() && system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
  }
}

bool TlsBroker::start() {
  if (dir_.empty()) {
    why_ = "no temporary directory";
    return false;
  }
  if (!makeCertificates() || !writeConfig()) return false;
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execlp("mosquitto", "mosquitto", "-c", (dir_ + "/mosquitto.conf").c_str(), nullptr);
    _exit(127);
  }
  return waitForListeners();
}

bool TlsBroker::makeCertificates() {
  std::ofstream(dir_ + "/make.sh") << CERTIFICATES_SCRIPT;
  std::string cmd = "cd '" + dir_ + "' && sh make.sh >make.log 2>&1";
  if (system(cmd.c_str()) != 0) {
    why_ = "the openssl command failed; see " + dir_ + "/make.log";
    return false;
  }
  return true;
}

bool TlsBroker::writeConfig() {
  const char* certs[LISTENERS] = {"server", "expired", "misnamed", "stranger", "server"};
  std::ofstream conf(dir_ + "/mosquitto.conf");
  conf << "per_listener_settings false\nallow_anonymous true\npersistence false\n"
       << "user root\nlog_dest none\n";
  for (int i = 0; i < LISTENERS; ++i) {
    ports_[i] = freePort();
    conf << "listener " << ports_[i] << " 127.0.0.1\n"
         << "cafile " << dir_ << "/ca.pem\n"
         << "certfile " << dir_ << "/" << certs[i] << ".pem\n"
         << "keyfile " << dir_ << "/" << certs[i] << ".key\n";
    if (i == CLIENT_AUTH) conf << "require_certificate true\n";
  }
  return conf.good();
}

// Guards a broken start only; nothing is timed.
bool TlsBroker::waitForListeners() {
  for (int attempt = 0; attempt < 300; ++attempt) {
    int fd = connectLoopback(ports_[LISTENERS - 1]);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      why_ = "mosquitto exited";
      return false;
    }
    usleep(20 * 1000);
  }
  why_ = "mosquitto does not listen";
  return false;
}

std::string TlsBroker::pem(const std::string& file) const {
  std::ifstream in(dir_ + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace harness
