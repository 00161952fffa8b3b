// The TLS service in one process, in virtual time: requests it refuses,
// a handshake that never completes, and store files it leaves out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    kv::message m = request(TLS_PATH, TLS_CONNECT_COMMAND);
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
  serverMode.set(TLS_SERVER_MODE_FIELD, true);
  unverified.set(TLS_VERIFY_FIELD, false);
  unknownCertificate.set(TLS_CLIENT_CERT_FIELD, 7u);
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
  name.set(TLS_VERIFY_NAME_FIELD, "localhost");
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

// Files dropped into a store by hand count when named <id>.pem and hold a
// certificate; anything else is left out, with one log line each.
TEST_F(TlsServiceTest, StoreFilesThatAreNotEntriesAreLeftOut) {
  const std::string dir = kv::rootPath(TRUSTED_STORE_DIR);
  ASSERT_TRUE(kv::writeFileAtomically(dir + "/notes.txt", "hello", 0644).isOk());
  ASSERT_TRUE(kv::writeFileAtomically(dir + "/2.pem", "not a certificate", 0644).isOk());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ask(request(TRUSTED_STORE_PATH, kv::CMD_GET_COUNT)).get(kv::COUNT_FIELD), 0u);
  }
  EXPECT_EQ(logLines.size(), 2u);
}

}  // namespace
}  // namespace platformd
