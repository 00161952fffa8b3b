// The TLS service in one process, in virtual time: requests it refuses,
// a handshake that never completes, entry names in its stores and store
// files it leaves out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/files.h"
#include "platformd/tls/tls_service.h"
#include "../loop_fixture.h"

namespace platformd {
namespace {

class TlsServiceTest : public ::testing::Test, public LoopFixture {
 protected:
  TlsServiceTest() : LoopFixture(true) {
    service = std::make_unique<TlsService>(*loop, logFn());
    // A listener that completes TCP connections and never says a word.
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    silent.sin_family = AF_INET;
    silent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof silent;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&silent), len), 0);
    EXPECT_EQ(listen(listener, 8), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&silent), &len);
  }
  ~TlsServiceTest() override {
    service.reset();
    close(listener);
  }
  int connectSilent() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&silent), sizeof silent), 0);
    return fd;
  }
  // Command 1 with `fd` (closed here once posted) and the fields of `extra`.
  kv::message connectRequest(int fd, const kv::message& extra = kv::message()) {
    kv::message m = request(contract::tls::PATH, contract::tls::CONNECT_COMMAND);
    for (const auto& field : extra.fields()) m.appendRaw(field);
    if (fd >= 0) m.set(kv::SOCKET_FIELD, static_cast<uint32_t>(fd));
    return m;
  }
  std::unique_ptr<TlsService> service;
  int listener = -1;
  sockaddr_in silent{};
};

TEST_F(TlsServiceTest, RequestsItCannotServeAreRefused) {
  kv::message serverMode, unverified, unknownCertificate;
  serverMode.set(contract::tls::SERVER_MODE_FIELD, true);
  unverified.set(contract::tls::VERIFY_SERVER_FIELD, false);
  unknownCertificate.set(contract::tls::CLIENT_CERTIFICATE_FIELD, 7u);
  const struct {
    int fd;
    kv::message fields;
    const char* text;
  } cases[] = {
      {-1, kv::message(), "a connected socket is required"},
      {connectSilent(), serverMode, "only TLS client connections are offered"},
      {connectSilent(), unverified, "unverified TLS connections are not offered"},
      {connectSilent(), unknownCertificate, "client certificate 7 not found"},
      {socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), kv::message(),
       "the socket is not connected over IPv4"},
  };
  for (const auto& c : cases) {
    replies.clear();
    post(connectRequest(c.fd, c.fields));
    if (c.fd >= 0) close(c.fd);
    ASSERT_TRUE(awaitReplies(1)) << c.text;
    EXPECT_EQ(kv::getError(replies[0]), c.text);
  }
  EXPECT_EQ(service->connections(), 0u);
}

TEST_F(TlsServiceTest, AHandshakeWithoutAnAnswerTimesOut) {
  kv::message name;
  name.set(contract::tls::VERIFY_NAME_FIELD, "localhost");
  int fd = connectSilent();
  post(connectRequest(fd, name));
  close(fd);
  settle(20);
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(service->connections(), 1u);
  clock.advance(20 * 100);
  ASSERT_TRUE(awaitReplies(1));
  EXPECT_EQ(kv::getError(replies[0]), "TLS handshake timed out");
  settle(2);
  EXPECT_EQ(service->connections(), 0u);
}

// A self-signed certificate for `cn`, valid for an hour, as PEM.
std::string selfSignedPem(const char* cn) {
  KeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  std::vector<X509Ptr> chain;
  chain.push_back(std::move(cert));
  return certificatesToPem(chain);
}

// Names are checked, unique, kept in the file name and changed by set-obj;
// a file from before names (<id>.pem) is an entry without one until it is
// given one. Files dropped in by hand that are not entries (another name,
// no certificate, an id or a name taken) are left out, with one log line
// each, and a new entry's id is above all of them.
TEST_F(TlsServiceTest, EntriesAreNamedAndUnnamedOldFilesStillLoad) {
  const std::string dir = kv::rootPath(TRUSTED_STORE_DIR), pem = selfSignedPem("Test CA");
  for (const char* file : {"/1.pem", "/2.taken.pem", "/2.twin.pem", "/12.taken.pem", "/notes.txt"}) {
    ASSERT_TRUE(kv::writeFileAtomically(dir + file, pem, 0644).isOk());
  }
  ASSERT_TRUE(kv::writeFileAtomically(dir + "/9.pem", "not a certificate", 0644).isOk());
  const auto add = [&](const std::string& name) {
    kv::message m = request(contract::tls::TRUSTED_STORE_PATH, kv::CMD_ADD_OBJ);
    m.set(contract::tls::ENTRY_NAME_FIELD, name);
    m.set(contract::tls::CERT_PEM_FIELD, pem);
    return ask(m);
  };
  const struct { std::string name; const char* failure; } cases[] = {
      {"", "a name is 1 to 64 letters"},
      {std::string(65, 'a'), "a name is 1 to 64 letters"},
      {"-lead", "starting with a letter or digit"},
      {"a/b", "a name is 1 to 64"},
      {"a b", "a name is 1 to 64"},
      {"42", "a name cannot be a number"},
      {"none", "\"none\" is not a name"},
      {"taken", "name already in use"},
      {"home-ca.v2_1", ""},
      {std::string(64, 'z'), ""},
  };
  for (const auto& c : cases) {
    const std::string error = kv::getError(add(c.name));
    EXPECT_TRUE(*c.failure ? error.find(c.failure) != std::string::npos : error.empty())
        << c.name << ": " << error;
  }
  kv::message legacy = request(contract::tls::TRUSTED_STORE_PATH, kv::CMD_GET_OBJ);
  legacy.set(kv::OBJECT_ID_FIELD, 1u);
  EXPECT_FALSE(ask(legacy).has(contract::tls::ENTRY_NAME_FIELD));
  kv::message rename = request(contract::tls::TRUSTED_STORE_PATH, kv::CMD_SET_OBJ);
  rename.set(kv::OBJECT_ID_FIELD, 1u);
  rename.set(contract::tls::ENTRY_NAME_FIELD, "old");
  EXPECT_FALSE(kv::isError(ask(rename)));
  rename.set(contract::tls::ENTRY_NAME_FIELD, "taken");
  EXPECT_EQ(kv::getError(ask(rename)), "name already in use");

  std::vector<std::string> names;
  for (const kv::message& row : ask(request(contract::tls::TRUSTED_STORE_PATH, kv::CMD_GET_ALL)).get(kv::ROWS_FIELD)) {
    names.push_back(std::to_string(row.get(kv::OBJECT_ID_FIELD)) + " " + row.get(contract::tls::ENTRY_NAME_FIELD));
    EXPECT_EQ(row.get(contract::tls::CERT_SUBJECT_FIELD), "CN=Test CA");
    EXPECT_EQ(row.get(contract::tls::CERT_FINGERPRINT_FIELD).size(), 32u * 3 - 1);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"1 old", "2 taken", "13 home-ca.v2_1",
                                             "14 " + std::string(64, 'z')}));
  EXPECT_TRUE(std::filesystem::exists(dir + "/1.old.pem"));
  EXPECT_EQ(logLines.size(), 4u + 3u) << "four files left out, three changes";
}

}  // namespace
}  // namespace platformd
