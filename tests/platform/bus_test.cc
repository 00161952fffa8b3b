// Requests and replies on the local bus: in one process, between loops,
// and against raw sockets that misbehave.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus.h"
#include "platform/bus_frame.h"
#include "platform/descriptor.h"
#include "platform/looper.h"

namespace kv {
namespace {

using Messages = std::vector<message>;
using Codes = std::vector<uint32_t>;

// Answers command 1 with its argument doubled and the sender's rights,
// holds command 2 unanswered, answers command 3 twice, and needs write
// permission for command 4.
class EchoHandler : public Handler {
 public:
  EchoHandler() { policies_.add_policy(4, policies::NEEDS_WRITE); }
  void handleCmd(message& request, uint32_t command) override {
    ++calls;
    message reply;
    switch (command) {
      case 1:
        reply.set(u32_id(1), 2 * request.get(u32_id(1)));
        reply.set(u32_id(2), request.get(RIGHTS_FIELD));
        return replyMessage(request, reply);
      case 2: return held.push_back(request);
      case 3: replyMessage(request, reply); return replyMessage(request, failedMsg("second"));
      case 4: return replyMessage(request, reply);
      default: return Handler::handleCmd(request, command);
    }
  }
  int calls = 0;
  Messages held;
};

message request(std::vector<uint32_t> path, uint32_t command, uint32_t arg = 0) {
  message m;
  m.set(PATH_FIELD, std::move(path));
  m.set(COMMAND_FIELD, command);
  m.set(u32_id(1), arg);
  return m;
}
ReplyFn into(Messages& out) {
  return [&out](const message& r) { out.push_back(r); };
}
Codes codes(const Messages& replies) {
  Codes out;
  for (const message& r : replies) out.push_back(getErrorCode(r));
  return out;
}
std::string frameBytes(const message& msg, uint32_t requestId = 1) {
  std::string out;
  encodeFrame(FrameKind::Request, requestId, msg, out);
  return out;
}

// A hub with the echo handler at [7], its peers, and raw connections to it,
// all on one manual clock.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvbus-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/bus";
    hub = makeLoop(LooperOptions::Mode::Hub);
    ASSERT_TRUE(hub->status().isOk()) << hub->status().toString();
    hub->addHandler(7, &echo);
  }
  void TearDown() override {
    peers.clear();
    hub.reset();
    rmdir(dir.c_str());
  }
  std::unique_ptr<Looper> makeLoop(LooperOptions::Mode mode,
                                   std::function<void(LooperOptions&)> tweak = nullptr) {
    LooperOptions options;
    options.mode = mode;
    options.clock = &clock;
    options.busPath = path;
    options.maxPeerOutputBytes = 256 * 1024;
    options.maxBusBufferedBytes = BUFFER_LIMIT;
    options.log = [this](int, const std::string& text) { logLines.push_back(text); };
    if (tweak) tweak(options);
    return std::make_unique<Looper>(options);
  }
  Looper& addPeer(std::function<void(LooperOptions&)> tweak = nullptr) {
    peers.push_back(makeLoop(LooperOptions::Mode::Peer, tweak));
    EXPECT_TRUE(peers.back()->status().isOk()) << peers.back()->status().toString();
    return *peers.back();
  }
  void turnAll(int n = 4) {
    for (int i = 0; i < n; ++i) {
      if (hub) hub->turn(0);
      for (auto& p : peers) p->turn(0);
    }
  }
  int rawConnect() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  }
  void sendFrame(int fd, const message& m, uint32_t requestId = 1) {
    const std::string frame = frameBytes(m, requestId);
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  // Writes all of `bytes` without blocking, turning the loops while the
  // socket is full.
  void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    for (int guard = 0; done < bytes.size() && guard < 10000; ++guard) {
      ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) return;
      if (n > 0) done += static_cast<size_t>(n);
      turnAll(1);
    }
  }
  size_t count(const std::string& logged) const {
    return std::count_if(logLines.begin(), logLines.end(), [&](const std::string& line) {
      return line.find(logged) != std::string::npos;
    });
  }

  static constexpr size_t BUFFER_LIMIT = 1024 * 1024;
  ManualClock clock{100};
  std::string dir, path;
  std::unique_ptr<Looper> hub;
  std::vector<std::unique_ptr<Looper>> peers;
  EchoHandler echo;
  Messages got;
  std::vector<std::string> logLines;
};

// ---- In one process ---------------------------------------------------------

// The handler runs on the turn after the post, the reply on the one after
// that; whatever happens, each request is answered exactly once.
TEST_F(BusTest, EachRequestIsAnsweredOnceOnALaterTurn) {
  auto gone = std::make_unique<EchoHandler>();  // destroyed before delivery
  hub->addHandler(8, gone.get());
  EXPECT_FALSE(hub->addHandler(8, &echo));  // path taken
  const struct {
    uint32_t path, command, rights, code;
    const char* text;  // null: not checked
  } cases[] = {
      {7, 1, RIGHTS_ALL, 0, ""},
      {7, 3, RIGHTS_ALL, 0, ""},  // answered twice: the first answer counts
      {99, 1, RIGHTS_ALL, ERR_NO_ROUTE, "no handler at this path"},
      {8, 1, RIGHTS_ALL, ERR_NO_ROUTE, "no handler at this path"},
      {7, 0x1234, RIGHTS_ALL, ERR_UNKNOWN_COMMAND, "unknown command 0x1234"},
      {7, CMD_GET_OBJ, RIGHTS_ALL, ERR_NOT_SUPPORTED, nullptr},
      {7, 4, RIGHT_READ, ERR_NOT_ALLOWED, "write permission required"},
      {7, CMD_ADD_OBJ, RIGHT_READ, ERR_NOT_ALLOWED, "write permission required"},
      {7, 4, RIGHTS_ALL, 0, ""},
      {7, 1, RIGHT_READ, 0, ""},
  };
  std::vector<Messages> replies(std::size(cases));
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_GT(hub->bus().post(request({cases[i].path}, cases[i].command, 21), into(replies[i]),
                              100, cases[i].rights), 0);
  }
  gone.reset();
  EXPECT_EQ(echo.calls, 0);
  turnAll(1);
  EXPECT_GT(echo.calls, 0);
  EXPECT_TRUE(replies[0].empty());
  turnAll(3);
  for (size_t i = 0; i < replies.size(); ++i) {
    ASSERT_EQ(replies[i].size(), 1u) << i;
    EXPECT_EQ(getErrorCode(replies[i][0]), cases[i].code) << i;
    EXPECT_TRUE(!cases[i].text || getError(replies[i][0]) == cases[i].text)
        << i << ": " << getError(replies[i][0]);
  }
  EXPECT_EQ(replies[0][0].get(u32_id(1)), 42u);
  EXPECT_EQ(replies[0][0].get(u32_id(2)), RIGHTS_ALL);
  EXPECT_EQ(replies.back()[0].get(u32_id(2)), RIGHT_READ);

  message noPath;
  noPath.set(COMMAND_FIELD, 1u);
  EXPECT_EQ(hub->postMessage(noPath, into(got), 100), -1);
  turnAll(2);
  EXPECT_TRUE(got.empty());
}

// A time-out answers once, on its tick, and a late reply is dropped; an
// exchange waits for the reply or, moving virtual time, for the time-out.
TEST_F(BusTest, TimeOutsAnswerOnceAndExchangesWaitForThem) {
  hub->postMessage(request({7}, 2), into(got), 300);
  turnAll(2);
  ASSERT_EQ(echo.held.size(), 1u);
  clock.advance(299);
  turnAll(2);
  EXPECT_TRUE(got.empty());
  clock.advance(1);
  turnAll(1);
  echo.replyMessage(echo.held[0], message());
  turnAll(3);
  EXPECT_EQ(codes(got), Codes{ERR_TIMEOUT});

  Handler client;
  EXPECT_EQ(client.exchangeCmd(request({7}, 0, 5), 1, 100).get(u32_id(1)), 10u);
  Ticks before = clock.now();
  EXPECT_EQ(getErrorCode(client.exchangeCmd(request({7}, 0), 2, 6000)), ERR_TIMEOUT);
  EXPECT_EQ(clock.now() - before, 6000u);
}

// ---- Between processes' loops, over the socket ----------------------------

// Each reply finds its request; what a loop sends within a turn is written
// before it waits, or, when the loop goes first, as it goes: requests
// posted just before a peer is destroyed still reach the hub, in order.
TEST_F(BusTest, RequestsFromAPeerFindTheirRepliesAndOutliveThePeer) {
  Looper& peer = addPeer();
  Messages answers(200);
  for (uint32_t i = 0; i < answers.size(); ++i) {
    peer.postMessage(request({7}, 1, i), [&answers, i](const message& r) { answers[i] = r; }, 1000);
  }
  turnAll(10);
  for (uint32_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].get(u32_id(1)), 2 * i) << i;
    EXPECT_EQ(answers[i].get(u32_id(2)), RIGHTS_ALL) << i;  // the hub's own user
  }
  for (uint32_t i = 1; i <= 3; ++i) peer.postMessage(request({7}, 2, i), into(got), 1000);
  peers.clear();
  turnAll();
  ASSERT_EQ(echo.held.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(echo.held[i].get(u32_id(1)), i + 1);
}

// A peer that goes: requests it serves fail at once (and only once), its
// paths go with it, and a reply meant for it is dropped quietly and never
// reaches a later peer.
TEST_F(BusTest, APeerThatGoesFailsWhatItServesAndMissesItsReplies) {
  EchoHandler slow;
  Looper& gone = addPeer();
  gone.addHandler(14, &slow);
  gone.postMessage(request({7}, 2), into(got), 1000);
  turnAll();
  hub->postMessage(request({14}, 2), into(got), 1000);
  turnAll();
  ASSERT_EQ(slow.held.size(), 1u);
  ASSERT_EQ(echo.held.size(), 1u);
  peers.clear();
  got.clear();  // the gone peer's own request failed with it
  turnAll();
  EXPECT_EQ(codes(got), Codes{ERR_PEER_GONE});
  clock.advance(1000);
  echo.replyMessage(echo.held[0], message());
  turnAll();
  EXPECT_EQ(got.size(), 1u);  // the time-out does not answer again
  EXPECT_TRUE(logLines.empty());
  EXPECT_EQ(hub->bus().peerCount(), 0u);
  hub->postMessage(request({14}, 1), into(got), 100);
  addPeer().postMessage(request({7}, 1, 3), into(got), 100);
  turnAll();
  EXPECT_EQ(codes(got), (Codes{ERR_PEER_GONE, ERR_NO_ROUTE, 0}));
  EXPECT_EQ(got.back().get(u32_id(1)), 6u);
}

// During the hub's start-up grace a request for a path nobody serves yet
// waits; it gets ERR_NO_ROUTE when its own time-out or the grace ends
// first. A served path cannot be taken by another peer. (That a waiting
// request reaches the peer that comes to serve its path, the black-box
// tests see whenever the daemon starts before the platform.)
TEST_F(BusTest, TheHubHoldsRequestsUntilAPathIsServedDuringItsStartUpGrace) {
  hub.reset();
  hub = makeLoop(LooperOptions::Mode::Hub, [](LooperOptions& o) { o.startGraceSeconds = 5; });
  Messages shortWait, unserved;
  hub->postMessage(request({15}, 1), into(shortWait), 100);
  hub->postMessage(request({16}, 1), into(unserved), 6000);
  turnAll();
  clock.advance(100);
  turnAll();
  EXPECT_EQ(codes(shortWait), Codes{ERR_NO_ROUTE});

  EchoHandler resolver, squatter;
  addPeer().addHandler(14, &resolver);
  turnAll();
  addPeer().addHandler(14, &squatter);
  turnAll();
  EXPECT_EQ(count("path already served"), 1u);
  EXPECT_TRUE(unserved.empty());
  clock.advance(400);  // the grace ends
  turnAll();
  EXPECT_EQ(codes(unserved), Codes{ERR_NO_ROUTE});
  hub->postMessage(request({16}, 1), into(unserved), 6000);
  turnAll(1);
  EXPECT_EQ(unserved.size(), 2u);  // at once from now on
}

// A peer that starts before its hub waits for it, and fails its requests
// with "peer disconnected" when the hub goes (also those made while it is
// away). (That it connects again and serves its paths once more, the
// black-box tests see when the daemon restarts under a running platform.)
TEST_F(BusTest, APeerWaitsForItsHubAndFailsItsRequestsWhenTheHubGoes) {
  hub.reset();
  Looper& service = addPeer([](LooperOptions& o) { o.reconnectSeconds = 1; });
  hub = makeLoop(LooperOptions::Mode::Hub);
  hub->addHandler(7, &echo);
  turnAll();
  EXPECT_FALSE(service.bus().connectedToHub());  // not before a second has passed
  clock.advance(100);
  turnAll();
  ASSERT_TRUE(service.bus().connectedToHub());
  service.postMessage(request({7}, 2), into(got), 1000);
  turnAll();
  hub.reset();
  turnAll();
  service.postMessage(request({7}, 1), into(got), 100);
  turnAll();
  EXPECT_EQ(codes(got), (Codes{ERR_PEER_GONE, ERR_PEER_GONE}));  // not "no route"
  EXPECT_EQ(count("bus: lost the hub; trying again every 1 s"), 1u);
}

// Sends `bytes` on a raw connection with `n` descriptors attached (copies
// of standard input).
void sendAttached(int sock, const std::string& bytes, int n) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  if (n > 0) {
    mh.msg_control = control;
    mh.msg_controllen = CMSG_SPACE(static_cast<size_t>(n) * sizeof(int));
    cmsghdr* cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(static_cast<size_t>(n) * sizeof(int));
    const int fds[2] = {0, 0};
    memcpy(CMSG_DATA(cm), fds, static_cast<size_t>(n) * sizeof(int));
  }
  ASSERT_EQ(sendmsg(sock, &mh, 0), static_cast<ssize_t>(bytes.size()));
}

// Each bad stream costs its own connection, with one log line; the hub
// goes on serving the others. An oversized length is refused from the
// header alone, before the frame arrives. A descriptor must come with the
// first byte of the one frame that announces it (SOCKET_FIELD).
TEST_F(BusTest, ABadFrameClosesOnlyThatConnection) {
  Looper& good = addPeer();
  message announcing = request({7}, 1);
  announcing.set(SOCKET_FIELD, 0u);
  const std::string plain = frameBytes(request({7}, 1)), announced = frameBytes(announcing);
  // Each part is sent in one call with that many descriptors attached, and
  // read by the hub before the next is sent; the last part is the rest.
  using Parts = std::vector<std::pair<size_t, int>>;
  const size_t rest = std::string::npos;
  const struct {
    std::string bytes;
    Parts parts;
    const char* why;
  } cases[] = {
      {std::string("\0\0\0\x09\x01\0\0\0\x01\xff\xff\xff\xff", 13), {{rest, 0}}, "malformed frame"},
      {std::string("\0\x40\0\x01\x01", 5), {{rest, 0}}, "frame length 4194305"},
      {std::string("\0\0\0\x04\x01\0\0\0", 8), {{rest, 0}}, "frame length 4"},
      {std::string("\0\0\0\x09\x03\0\0\0\x01\0\0\0\0", 13), {{rest, 0}}, "frame kind 3"},
      {announced, {{rest, 0}}, "announces a descriptor and carries none"},
      {plain, {{rest, 1}}, "a descriptor without a frame that announces it"},
      {announced, {{9, 0}, {rest, 1}}, "a descriptor without a frame that announces it"},
      {announced, {{9, 1}, {rest, 1}}, "a descriptor without a frame that announces it"},
      {announced, {{rest, 2}}, "too many descriptors"},
  };
  for (const auto& c : cases) {
    logLines.clear();
    int bad = rawConnect();
    turnAll();
    size_t at = 0;
    for (const auto& part : c.parts) {
      sendAttached(bad, c.bytes.substr(at, part.first), part.second);
      at += part.first;
      turnAll();
    }
    ASSERT_EQ(logLines.size(), 1u) << c.why;
    EXPECT_NE(logLines[0].find(c.why), std::string::npos) << logLines[0];
    char byte;
    EXPECT_EQ(read(bad, &byte, 1), 0) << c.why;  // closed by the hub
    close(bad);
  }
  good.postMessage(request({7}, 1, 1), into(got), 100);
  turnAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].get(u32_id(1)), 2u);
}

// What the hub sent on `fd` before it closed it; "open" when it did not.
std::string untilClosed(int fd) {
  std::string bytes;
  char buf[512];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) bytes.append(buf, n);
  return n == 0 ? bytes : "open";
}
// The notice a connection gets when the hub closes it to make room.
std::string notice(const std::string& text) {
  std::string frame;
  encodeFrame(FrameKind::Reply, 0, errorMsg(ERR_BUSY, text), frame);
  return frame;
}

// With every slot taken, a newcomer is refused until some peer has gone
// idlePeerSeconds (60 by default) without a request; then the longest idle
// one gives way. Busy peers and peers serving a path never do.
TEST_F(BusTest, AFullBusGivesTheSlotOfTheLongestIdlePeer) {
  std::vector<int> fds;
  for (size_t i = 0; i < Bus::MAX_PEERS; ++i) fds.push_back(rawConnect());
  turnAll();
  ASSERT_EQ(hub->bus().peerCount(), Bus::MAX_PEERS);
  message serve = request({}, CMD_SERVE);
  serve.set(SERVE_PATH_FIELD, std::vector<uint32_t>{50});
  sendFrame(fds[0], serve);            // serves a path
  sendFrame(fds[1], request({7}, 2));  // its request stays in progress
  turnAll();
  clock.advance(30 * 100);
  sendFrame(fds[2], request({7}, 1));  // answered: idle from 30 s on
  turnAll();

  clock.advance(50 * 100);  // 80 s: fds[3] on have been idle since 0, fds[2] since 30 s
  for (size_t i = 3; i < 6; ++i) {
    int newcomer = rawConnect();
    turnAll();
    EXPECT_EQ(untilClosed(fds[i]), notice("closed to make room on a full bus: no request for 80 s"))
        << i;
    EXPECT_EQ(untilClosed(newcomer), "open");
    fds[i] = newcomer;
  }
  EXPECT_EQ(hub->bus().peerCount(), Bus::MAX_PEERS);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(untilClosed(fds[i]), "open") << i;
  for (int fd : fds) close(fd);
}

// Memory the hub holds for peers is bounded: a peer that does not read its
// replies is cut off at its own output limit, and peers that each send the
// start of a large frame and stop share one limit: the ones holding the
// most are closed with a log line each, and a small peer is served
// throughout.
TEST_F(BusTest, BufferedBytesStayWithinThePeerAndTheBusLimits) {
  class Big : public Handler {
    void handleCmd(message& r, uint32_t) override {
      message reply;
      reply.set(string_id(1), std::string(64 * 1024, 'x'));
      replyMessage(r, reply);
    }
  } big;
  hub->addHandler(8, &big);
  int lazy = rawConnect();
  for (uint32_t i = 1; i <= 40; ++i) sendFrame(lazy, request({8}, 1), i);
  turnAll(10);
  EXPECT_EQ(count("output limit"), 1u);
  close(lazy);

  Looper& good = addPeer();
  constexpr size_t PARTIAL = 192 * 1024;  // of a frame of 1 MiB
  std::string start("\0\x10\0\0\x01\0\0\0\x01", 9);
  start.resize(PARTIAL, '\0');
  std::vector<int> hogs;
  size_t maxHeld = 0;
  for (int i = 0; i < 8; ++i) {
    hogs.push_back(rawConnect());
    writeAll(hogs.back(), start);
    maxHeld = std::max(maxHeld, hub->bus().bufferedBytes());
    good.postMessage(request({7}, 1, i), into(got), 100);
    turnAll();
    maxHeld = std::max(maxHeld, hub->bus().bufferedBytes());
  }
  EXPECT_LE(maxHeld, BUFFER_LIMIT);
  EXPECT_GT(maxHeld, BUFFER_LIMIT - PARTIAL);  // the limit, not something else, was reached
  EXPECT_EQ(got.size(), 8u);
  size_t closed = 0;
  for (int fd : hogs) {
    char byte;
    closed += recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    close(fd);
  }
  EXPECT_GE(closed, 8 - BUFFER_LIMIT / PARTIAL);
  EXPECT_EQ(count("bus buffers full"), closed);
  EXPECT_EQ(hub->bus().peerCount(), 9 - closed);
}

// ---- Descriptors -----------------------------------------------------------

size_t openDescriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

std::string readAvailable(int fd) {
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Takes descriptors. Command 1 reads what has arrived through the
// request's descriptor, closes it and answers with one end of a new socket
// pair, keeping the other end; command 2 holds the request unanswered;
// command 3 (which carries none) is answered at once.
class PairHandler : public Handler {
 public:
  ~PairHandler() override { closeKept(); }
  bool takesDescriptors() const override { return true; }
  void handleCmd(message& request, uint32_t command) override {
    if (command == 2) return held.push_back(request);
    if (command == 3) return replyMessage(request, message());
    int fd = carriedDescriptor(request);
    args.push_back(request.get(u32_id(1)));
    got.push_back(readAvailable(fd));
    close(fd);
    answerWithPair(request);
  }
  void answerWithPair(const message& request) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    message reply;
    reply.set(SOCKET_FIELD, static_cast<uint32_t>(sv[0]));
    replyMessage(request, reply);
    close(sv[0]);  // the bus has its own copy
    kept.push_back(sv[1]);
  }
  void closeKept() {
    for (int fd : kept) close(fd);
    kept.clear();
    for (const message& m : held) closeCarriedDescriptor(m);
    held.clear();
  }
  std::vector<uint32_t> args;
  std::vector<std::string> got;
  std::vector<int> kept;
  Messages held;
};

class DescriptorBusTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    hub->addHandler(20, &onHub);
    addPeer().addHandler(21, &onPeer);
    turnAll();
  }
  void TearDown() override {
    onHub.closeKept();
    onPeer.closeKept();
    BusTest::TearDown();
  }
  // Posts command `command` to [target] from `sender` with one end of a new
  // socket pair, which is closed at once; returns the other end.
  int postPair(Looper& sender, uint32_t target, uint32_t command, ReplyFn fn, uint32_t timeout,
               uint32_t arg = 0) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    message m = request({target}, command, arg);
    m.set(SOCKET_FIELD, static_cast<uint32_t>(sv[0]));
    EXPECT_GT(sender.postMessage(m, std::move(fn), timeout), 0);
    close(sv[0]);
    return sv[1];
  }
  PairHandler onHub, onPeer;
};

// Bytes written on the far end of the pair are read through the descriptor
// that arrived, for a request and for its reply, on every route. Frames with
// descriptors that queue behind a frame the socket cannot take at once each
// still reach their own request.
TEST_F(DescriptorBusTest, ADescriptorCrossesTheBusEveryWayAndKeepsToItsFrame) {
  Looper& client = addPeer();
  turnAll();  // the hub accepts it
  const size_t before = openDescriptors();
  const struct {
    Looper* sender;
    uint32_t path;
    PairHandler* server;
    const char* way;
  } cases[] = {
      {hub.get(), 21, &onPeer, "hub->peer"},
      {&client, 20, &onHub, "peer->hub"},
      {&client, 21, &onPeer, "peer->hub->peer"},
      {hub.get(), 20, &onHub, "within one process"},
  };
  for (const auto& c : cases) {
    int answer = -1;
    int mine = postPair(*c.sender, c.path, 1, [&answer](const message& r) {
      answer = carriedDescriptor(r);
    }, 100);
    ASSERT_EQ(write(mine, c.way, strlen(c.way)), static_cast<ssize_t>(strlen(c.way)));
    turnAll(8);
    ASSERT_FALSE(c.server->got.empty()) << c.way;
    EXPECT_EQ(c.server->got.back(), c.way);
    ASSERT_GE(answer, 0) << c.way;
    ASSERT_EQ(write(c.server->kept.back(), "back", 4), 4);
    EXPECT_EQ(readAvailable(answer), "back") << c.way;
    close(answer);
    close(mine);
  }
  onHub.closeKept();
  onPeer.closeKept();
  EXPECT_EQ(openDescriptors(), before);

  onPeer.got.clear();
  onPeer.args.clear();
  message big = request({21}, 3);
  big.set(string_id(2), std::string(100 * 1024, 'x'));
  for (int i = 0; i < 3; ++i) ASSERT_GT(hub->postMessage(big, into(got), 1000), 0);
  std::vector<int> mine;
  for (uint32_t i = 0; i < 40; ++i) {
    mine.push_back(postPair(*hub, 21, 1, into(got), 1000, i));
    std::string marker = std::to_string(i);
    ASSERT_EQ(write(mine.back(), marker.data(), marker.size()), static_cast<ssize_t>(marker.size()));
  }
  for (int i = 0; i < 20 && got.size() < 43; ++i) turnAll();
  ASSERT_EQ(onPeer.got.size(), 40u);
  for (size_t k = 0; k < onPeer.got.size(); ++k) {
    EXPECT_EQ(onPeer.got[k], std::to_string(onPeer.args[k])) << k;
  }
  for (const message& r : got) closeCarriedDescriptor(r);
  for (int fd : mine) close(fd);
}

// Every message the bus drops takes its descriptor with it.
TEST_F(DescriptorBusTest, ADroppedDescriptorIsClosed) {
  const size_t before = openDescriptors();
  auto ignore = [](const message&) {};
  // Replies that come after their request timed out, from another process
  // and from this one.
  close(postPair(*hub, 21, 2, ignore, 50));
  close(postPair(*hub, 20, 2, ignore, 50));
  turnAll();
  clock.advance(50);
  turnAll();
  ASSERT_EQ(onPeer.held.size(), 1u);
  ASSERT_EQ(onHub.held.size(), 1u);
  onPeer.answerWithPair(onPeer.held[0]);
  onHub.answerWithPair(onHub.held[0]);
  turnAll();
  onHub.closeKept();
  // A reply to a peer that has gone.
  std::unique_ptr<Looper> gone = makeLoop(LooperOptions::Mode::Peer);
  close(postPair(*gone, 20, 2, ignore, 1000));
  for (int i = 0; i < 3; ++i) {
    gone->turn(0);
    hub->turn(0);
  }
  gone.reset();
  turnAll();
  ASSERT_EQ(onHub.held.size(), 1u);
  onHub.answerWithPair(onHub.held[0]);
  // Requests refused: a handler that takes none, a path nobody serves.
  Messages refused;
  close(postPair(*peers[0], 7, 1, into(got), 100));
  close(postPair(*hub, 99, 1, into(refused), 100));
  // A frame that never arrives whole.
  int raw = rawConnect();
  message m = request({20}, 1);
  m.set(SOCKET_FIELD, 0u);
  std::string bytes = frameBytes(m);
  sendAttached(raw, bytes.substr(0, bytes.size() - 1), 1);
  turnAll();
  close(raw);
  // Frames never sent: a peer that serves a path and reads nothing.
  int lazy = rawConnect();
  message serve = request({}, CMD_SERVE);
  serve.set(SERVE_PATH_FIELD, std::vector<uint32_t>{30});
  sendFrame(lazy, serve);
  turnAll();
  message heavy = request({30}, 1);
  heavy.set(string_id(2), std::string(64 * 1024, 'x'));
  heavy.set(SOCKET_FIELD, 0u);
  int posted = 0;
  while (posted < 16 && hub->postMessage(heavy, ignore, 1000) > 0) ++posted;
  ASSERT_GT(posted, 4);  // some wait in the hub's output
  close(lazy);
  turnAll(8);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(getError(got[0]), "this handler takes no descriptor");
  EXPECT_EQ(codes(refused), Codes{ERR_NO_ROUTE});
  onHub.closeKept();
  onPeer.closeKept();
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace kv
