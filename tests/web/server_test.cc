// The web program's HTTP edge through real sockets: request bounds, the
// login and its slowing down, sessions, CSRF tokens and the read-only role.
// The loop has no bus here, so everything tested is decided before the
// daemon would be asked. Time is virtual: the test turns the clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "platform/looper.h"
#include "web/http_server.h"
#include "web/web_app.h"

namespace mqttweb {
namespace {

const KdfParams FAST{1024, 8, 1};

struct Answer {
  unsigned status = 0;
  std::string head, body;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mqttweb-server-XXXXXX";
    dir_ = mkdtemp(tmpl);
    User admin, viewer;
    admin.name = "admin";
    viewer.name = "viewer";
    viewer.role = Role::ReadOnly;
    ASSERT_TRUE(setPassword(admin, "admin-secret", FAST).isOk());
    ASSERT_TRUE(setPassword(viewer, "viewer-secret", FAST).isOk());
    ASSERT_TRUE(saveUsers(dir_ + "/users", {admin, viewer}).isOk());
    kv::LooperOptions options;
    options.clock = &clock_;
    options.log = [](int, const std::string&) {};
    loop_ = std::make_unique<kv::Looper>(options);
    AppOptions app;
    app.usersPath = dir_ + "/users";
    app.dummyKdf = FAST;
    app_ = std::make_unique<WebApp>(*loop_, app);
    server_ = std::make_unique<HttpServer>(*loop_, *app_);
    ServerOptions so;
    so.port = 0;
    ASSERT_TRUE(server_->start(so).isOk());
  }
  void TearDown() override {
    server_.reset();
    app_.reset();
    loop_.reset();
    std::filesystem::remove_all(dir_);
  }

  int connectClient() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server_->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
  }

  // Sends `raw` and reads one answer (its headers and Content-Length bytes),
  // turning the loop meanwhile; `advanceTicks` moves the clock each turn.
  Answer exchange(const std::string& raw, kv::Ticks advanceTicks = 0, int turns = 20000) {
    int fd = connectClient();
    size_t sent = 0;
    Answer a;
    std::string in;
    for (int guard = 0; guard < turns; ++guard) {
      if (sent < raw.size()) {
        ssize_t n = send(fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent += static_cast<size_t>(n);
      }
      loop_->turn(0);
      clock_.advance(advanceTicks);
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1) == 1) {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
      }
      if (complete(in, a)) break;
    }
    close(fd);
    return a;
  }

  static bool complete(const std::string& in, Answer& a) {
    size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    a.head = in.substr(0, end);
    a.status = static_cast<unsigned>(std::stoul(in.substr(9, 3)));
    size_t at = a.head.find("Content-Length: ");
    if (at == std::string::npos) return true;  // an event stream: the head is enough
    size_t length = std::stoul(a.head.substr(at + 16));
    if (in.size() < end + 4 + length) return false;
    a.body = in.substr(end + 4, length);
    return true;
  }

  static std::string request(const std::string& method, const std::string& path, const std::string& body = "",
                             const std::string& headers = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n" + headers +
           (body.empty() ? "" : "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
           "\r\n" + body;
  }

  // Logs in; returns the cookie and CSRF headers of the session.
  std::string logIn(const std::string& user, const std::string& password) {
    Answer a = exchange(request("POST", "/api/login", "{\"user\":\"" + user + "\",\"password\":\"" + password + "\"}"));
    EXPECT_EQ(200u, a.status) << a.body;
    size_t c = a.head.find("mqttweb_session="), e = a.head.find(';', c);
    size_t t = a.body.find("\"csrf\":\"") + 8;
    return "Cookie: " + a.head.substr(c, e - c) + "\r\nX-CSRF-Token: " + a.body.substr(t, 64) + "\r\n";
  }

  kv::ManualClock clock_{100};
  std::string dir_;
  std::unique_ptr<kv::Looper> loop_;
  std::unique_ptr<WebApp> app_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(ServerTest, MalformedAndOversizedRequestsGetAClear4xx) {
  const struct {
    std::string raw;
    unsigned status;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: t\r\nNoColon\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n\r\n", 400},  // no Host
      {"GET / HTTP/1.1\r\nHost: t\r\nContent-Length: many\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: t\r\nX-Big: " + std::string(40000, 'x') + "\r\n\r\n", 431},
      {"GET /" + std::string(40000, 'x') + " HTTP/1.1\r\nHost: t\r\n\r\n", 414},
      {"POST /api/login HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\nContent-Length: 300000\r\n\r\n", 413},
      {request("POST", "/api/login", "{\"user\":\"admin\"") , 400},
      {request("POST", "/api/login", "[1,2]"), 400},
      {"POST /api/login HTTP/1.1\r\nHost: t\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nhi", 415},
      {request("GET", "/api/login"), 405},
      {request("GET", "/api/nothing"), 404},
      {request("GET", "/nothing.js"), 404},
      {request("GET", "/api/brokers/0"), 404},
      {request("GET", "/api/brokers/4294967295"), 404},
      {request("GET", "/api/brokers"), 401},
      {request("DELETE", "/api/brokers"), 405},
  };
  for (const auto& c : cases) {
    Answer a = exchange(c.raw);
    EXPECT_EQ(c.status, a.status) << c.raw.substr(0, 60) << "\n" << a.head;
  }
  Answer page = exchange(request("GET", "/"));
  EXPECT_EQ(200u, page.status);
  EXPECT_NE(std::string::npos, page.head.find("text/html"));
}

TEST_F(ServerTest, AWrongPasswordIsAnsweredLateAndRepeatedOnesLockTheAddress) {
  const std::string wrong = request("POST", "/api/login", "{\"user\":\"admin\",\"password\":\"guess\"}");
  EXPECT_EQ(0u, exchange(wrong, 0, 500).status);  // no answer while the clock stands still
  for (uint32_t i = 1; i < LoginThrottle::LOCK_AFTER_FAILURES; ++i) {
    Answer a = exchange(wrong, 10);
    EXPECT_EQ(401u, a.status);
    EXPECT_NE(std::string::npos, a.body.find("wrong user name or password"));
  }
  Answer locked = exchange(request("POST", "/api/login", "{\"user\":\"admin\",\"password\":\"admin-secret\"}"));
  EXPECT_EQ(429u, locked.status);
  EXPECT_NE(std::string::npos, locked.head.find("Retry-After: "));
  EXPECT_NE(std::string::npos, locked.body.find("too many failed logins"));
  clock_.advance(30 * 100);
  EXPECT_EQ(401u, exchange(request("POST", "/api/login", "{\"user\":\"nobody\",\"password\":\"admin-secret\"}"), 10).status);
}

TEST_F(ServerTest, ChangesNeedTheSessionsCsrfTokenAndAnAccountThatMayWrite) {
  const std::string admin = logIn("admin", "admin-secret");
  const std::string viewer = logIn("viewer", "viewer-secret");
  const std::string cookieOnly = admin.substr(0, admin.find("X-CSRF"));
  const std::string wrongToken = cookieOnly + "X-CSRF-Token: " + std::string(64, '0') + "\r\n";
  const std::string publish = "{\"brokerId\":1,\"topic\":\"t\",\"payload\":\"x\"}";
  const struct {
    std::string raw;
    unsigned status;
    const char* says;
  } cases[] = {
      {request("GET", "/api/session", "", admin), 200, "\"role\":\"admin\""},
      {request("GET", "/api/session", "", viewer), 200, "\"role\":\"read-only\""},
      {request("POST", "/api/publish", publish, cookieOnly), 403, "CSRF"},
      {request("POST", "/api/publish", publish, wrongToken), 403, "CSRF"},
      {request("POST", "/api/publish", publish, viewer), 403, "read-only"},
      {request("DELETE", "/api/brokers/1", "", viewer), 403, "read-only"},
      {request("POST", "/api/publish", "{\"brokerId\":1,\"topic\":\"t\",\"qos\":3}", admin), 422, "\"field\":\"qos\""},
      {request("POST", "/api/publish", "{\"brokerId\":1,\"topic\":\"t\",\"queueWhileOffline\":1}", admin), 422,
       "\"field\":\"queueWhileOffline\""},
      {request("POST", "/api/brokers", "{\"port\":65536}", admin), 422, "\"field\":\"port\""},
      {request("POST", "/api/brokers", "{\"colour\":\"red\"}", admin), 422, "unknown field"},
      {request("POST", "/api/logout", "", viewer), 200, "{}"},
      {request("GET", "/api/session", "", viewer), 401, "not logged in"},
  };
  for (const auto& c : cases) {
    Answer a = exchange(c.raw);
    EXPECT_EQ(c.status, a.status) << c.raw.substr(0, 40) << "\n" << a.body;
    EXPECT_NE(std::string::npos, a.body.find(c.says)) << a.body;
  }
  EXPECT_NE(std::string::npos, exchange(request("POST", "/api/login",
      "{\"user\":\"admin\",\"password\":\"admin-secret\"}")).head.find("HttpOnly; SameSite=Strict"));
}

TEST_F(ServerTest, LiveEventStreamsAreBounded) {
  const std::string admin = logIn("admin", "admin-secret");
  std::vector<int> open;
  for (size_t i = 0; i <= LiveFeed::MAX_STREAMS; ++i) {
    int fd = connectClient();
    std::string raw = request("GET", "/api/events", "", admin);
    ASSERT_EQ(static_cast<ssize_t>(raw.size()), send(fd, raw.data(), raw.size(), MSG_NOSIGNAL));
    std::string in;
    Answer a;
    for (int guard = 0; guard < 5000 && !complete(in, a); ++guard) {
      loop_->turn(0);
      pollfd p{fd, POLLIN, 0};
      char buf[4096];
      ssize_t n = poll(&p, 1, 1) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
      if (n > 0) in.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(i < LiveFeed::MAX_STREAMS ? 200u : 503u, a.status) << i;
    if (i < LiveFeed::MAX_STREAMS) {
      EXPECT_NE(std::string::npos, a.head.find("text/event-stream"));
    }
    open.push_back(fd);
  }
  for (int fd : open) close(fd);
}

}  // namespace
}  // namespace mqttweb
