#include "platform/bus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/descriptor.h"
#include "platform/message_codec.h"
#include "platform/root.h"

namespace kv {

// One bus connection: to a peer (hub side) or to the hub (peer side).
//
//   out: [written | waiting to be written ...]
//        0        outStart                   out.size()
// Stream positions (`received`, `outBase`, OutboundDescriptor) count bytes
// since the connection opened: out[0] is the stream byte `outBase`.
// Destroying a connection closes the descriptors of frames it has not sent
// and of frames it has not read whole.
struct Bus::Connection {
  // A frame in `out` that carries a descriptor: stream bytes [at, end).
  struct OutboundDescriptor {
    uint64_t at, end;
    int fd;
  };

  Connection(uint32_t connId, int socketFd, uint32_t peerRights, size_t maxFrame)
      : id(connId), fd(socketFd), rights(peerRights), reader(maxFrame) {}
  ~Connection() {
    for (const OutboundDescriptor& d : outFds) ::close(d.fd);
  }
  uint32_t id;
  int fd;
  uint32_t rights;
  FrameReader reader;
  uint64_t received = 0;
  InboundDescriptors inFds;
  std::string out;
  size_t outStart = 0;
  uint64_t outBase = 0;
  std::deque<OutboundDescriptor> outFds;
  uint32_t outstanding = 0;  // requests from this peer not yet answered
  Ticks lastRequestTick = 0;  // when this peer connected or last sent a request
  bool closing = false;
  bool writeQueued = false;  // in Bus::unwritten_, written before the loop waits

  size_t waiting() const { return out.size() - outStart; }
  void dropWritten() {
    outBase += out.size();
    out.clear();
    outStart = 0;
  }
  size_t held() const { return reader.buffered() + waiting(); }
};

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;
// The encoded bytes of the three fields the bus stamps on a request it
// reads (origin, request id, rights), which the frame did not count: its
// size in the inbox is then known without encoding it again.
constexpr size_t STAMP_BYTES = 3 * (1 + 4 + 4);
// Output a connection gathers within a loop turn before it is written at
// once rather than before the loop waits: a turn that sends a lot holds
// little.
constexpr size_t MAX_GATHERED_BYTES = 64 * 1024;
// Bytes read from one connection per readable event, so that one busy peer
// cannot hold the loop.
constexpr size_t READ_BUDGET = 256 * 1024;

void closeFd(int fd, int) { ::close(fd); }

// The destination of a request, read in place; empty when it names none.
const Bus::Path& pathOf(const message& msg) {
  static const Bus::Path none;
  const Bus::Path* path = msg.find(PATH_FIELD);
  return path ? *path : none;
}

Status fillAddress(const std::string& path, sockaddr_un& addr) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    return Status::io("bus socket path too long: " + path);
  }
  memcpy(addr.sun_path, path.data(), path.size());
  return Status::ok();
}

uint32_t rightsOf(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return RIGHT_READ;
  if (cred.uid == 0 || cred.uid == geteuid()) return RIGHTS_ALL;
  return RIGHT_READ;
}

}  // namespace

Bus::Bus(Looper& loop, const LooperOptions& options)
    : loop_(loop), options_(options), self_(std::make_shared<Bus*>(this)) {}

Bus::~Bus() {
  *self_ = nullptr;  // a queued writeGathered finds no bus
  writeGathered();   // best effort: what can go without waiting
  drainTimer_.cancel();
  for (const InboxItem& item : inbox_) closeCarriedDescriptor(item.msg);
  for (const Held& h : held_) closeCarriedDescriptor(h.msg);
  for (auto& entry : pending_) loop_.runner().removeTimer(entry.second.timer);
  for (auto& entry : connections_) {
    loop_.runner().removeSocket(entry.second->fd);
    ::close(entry.second->fd);
  }
  if (listenFd_ >= 0) {
    loop_.runner().removeSocket(listenFd_);
    ::close(listenFd_);
    ::unlink(listenPath_.c_str());
  }
}

Status Bus::start() {
  path_ = options_.busPath.empty() ? rootPath(BUS_SOCKET_PATH) : options_.busPath;
  switch (options_.mode) {
    case LooperOptions::Mode::Hub: return startHub();
    case LooperOptions::Mode::Peer: return startPeer();
    case LooperOptions::Mode::Standalone: return Status::ok();
  }
  return Status::ok();
}

Status Bus::listenOn(const std::string& path) {
  sockaddr_un addr;
  Status st = fillAddress(path, addr);
  if (!st.isOk()) return st;
  st = makeParentDirs(path);
  if (!st.isOk()) return st;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Status::fromErrno("socket", errno);
  // A socket file left by a loop that died is removed; one that still
  // accepts connections belongs to a live hub and is left alone.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ::close(fd);
    return Status::io("another process serves the bus at " + path);
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(path.c_str(), options_.socketMode) != 0 || ::listen(fd, 64) != 0) {
    Status err = Status::fromErrno("bus socket " + path, errno);
    ::close(fd);
    return err;
  }
  listenFd_ = fd;
  listenPath_ = path;
  loop_.runner().addSocket(fd, POLLIN, [this](int, int) { onAccept(); });
  return Status::ok();
}

Status Bus::connectTo(const std::string& path) {
  sockaddr_un addr;
  Status st = fillAddress(path, addr);
  if (!st.isOk()) return st;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Status::fromErrno("socket", errno);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Status err = Status::fromErrno("connect " + path, errno);
    ::close(fd);
    return err;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  hubConnection_ = addConnection(fd, RIGHTS_ALL)->id;
  return Status::ok();
}

void Bus::onAccept() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or an error that the next event retries
    if (connections_.size() >= MAX_PEERS && !dropIdlePeer()) {
      loop_.log(LOG_LEVEL_WARNING, "bus: too many peers; refusing a connection");
      sendNotice(fd, "bus full: " + std::to_string(MAX_PEERS) +
                         " peers are connected and none is idle long enough to give way");
      ::close(fd);
      continue;
    }
    addConnection(fd, rightsOf(fd));
  }
}

// Frees a slot on a full bus: closes the idle peer that has gone longest
// without a request, when that is at least idlePeerSeconds. Peers that are
// busy or serve a path never give way, so services and working clients keep
// their connections; only forgotten ones are dropped, and only when someone
// needs the slot.
bool Bus::dropIdlePeer() {
  if (options_.idlePeerSeconds == 0) return false;
  const Connection* oldest = nullptr;
  for (const auto& entry : connections_) {
    const Connection& c = *entry.second;
    if (isIdle(c) && (!oldest || c.lastRequestTick < oldest->lastRequestTick)) oldest = &c;
  }
  const Ticks now = loop_.clock().now();
  const Ticks tps = loop_.clock().ticksPerSecond();
  if (!oldest || now - oldest->lastRequestTick < Ticks{options_.idlePeerSeconds} * tps) {
    return false;
  }
  const std::string idle = std::to_string((now - oldest->lastRequestTick) / tps) + " s";
  sendNotice(oldest->fd, "closed to make room on a full bus: no request for " + idle);
  closeConnection(oldest->id, "no request for " + idle + "; closed to make room for a new peer");
  return true;
}

bool Bus::isIdle(const Connection& c) const {
  if (c.closing || c.outstanding > 0 || c.waiting() > 0) return false;
  for (const auto& route : served_) {
    if (route.second == c.id) return false;
  }
  for (const auto& entry : pending_) {
    if (entry.second.connection == c.id) return false;
  }
  return true;
}

// Best effort, straight to the socket: the notice is small and the
// connection is closed right after it.
void Bus::sendNotice(int fd, const std::string& text) {
  std::string frame;
  encodeFrame(FrameKind::Reply, 0, errorMsg(ERR_BUSY, text), frame);
  ssize_t written = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)written;
}

Bus::Connection* Bus::addConnection(int fd, uint32_t rights) {
  uint32_t id = nextConnection_++;
  if (nextConnection_ == 0 || nextConnection_ == ReplyAddress::NOWHERE) nextConnection_ = 1;
  auto conn = std::make_unique<Connection>(id, fd, rights, options_.maxFrameBytes);
  Connection* c = conn.get();
  c->lastRequestTick = loop_.clock().now();
  connections_[id] = std::move(conn);
  loop_.runner().addSocket(fd, POLLIN, [this, id](int, int events) { onSocket(id, events); });
  return c;
}

void Bus::onSocket(uint32_t id, int events) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  if (events & POLLOUT) writeTo(c);
  if (!c.closing && (events & (POLLIN | POLLHUP | POLLERR))) readFrom(c);
}

void Bus::readFrom(Connection& c) {
  char buf[READ_CHUNK];
  size_t budget = READ_BUDGET;
  // Decoded frames waiting for the next turn are not read past: the
  // socket stays readable and is read again once they are delivered.
  while (budget > 0 && !c.closing && inboxBytes_ < MAX_INBOX_BYTES) {
    std::vector<int> fds;
    bool truncated = false;
    ssize_t n = receiveWithDescriptors(c.fd, buf, sizeof buf, fds, truncated);
    if (n == 0) return closeConnection(c.id, "");
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return closeConnection(c.id, std::string("read: ") + strerror(errno));
    }
    if (!makeRoom(c, static_cast<size_t>(n))) {
      for (int fd : fds) ::close(fd);
      return;
    }
    const uint64_t from = c.received;
    c.received += static_cast<uint64_t>(n);
    c.reader.append(buf, static_cast<size_t>(n));
    budget -= std::min(budget, static_cast<size_t>(n));
    if (!keepDescriptors(c, fds, truncated, from)) {
      return closeConnection(c.id, "malformed frame (too many descriptors)");
    }
    Frame frame;
    Status err;
    for (;;) {
      const uint64_t start = c.received - c.reader.buffered();
      FrameReader::Result r = c.reader.next(frame, err);
      if (r == FrameReader::Result::NeedMore) break;
      if (r == FrameReader::Result::Error) {
        return closeConnection(c.id, "malformed frame (" + err.message() + ")");
      }
      std::string why;
      if (!attachDescriptor(c, frame, start, c.received - c.reader.buffered(), why)) {
        return closeConnection(c.id, "malformed frame (" + why + ")");
      }
      onFrame(c, frame);
      if (c.closing) return;
    }
  }
}

// One frame carries one descriptor at most; the kernel hands over what one
// sendmsg attached with one read.
bool Bus::keepDescriptors(Connection& c, const std::vector<int>& fds, bool truncated,
                          uint64_t from) {
  bool ok = !truncated && fds.size() <= 1;
  for (int fd : fds) {
    if (!ok) {
      ::close(fd);
    } else if (!c.inFds.add(fd, from, c.received)) {
      ok = false;
    }
  }
  return ok;
}

// Gives `frame` the descriptor that came with it, in place of the sender's
// number in SOCKET_FIELD. False, with the reason, when the frame and the
// descriptors that arrived do not match.
bool Bus::attachDescriptor(Connection& c, Frame& frame, uint64_t start, uint64_t end,
                           std::string& why) {
  int fd = -1;
  InboundDescriptors::Match match = c.inFds.take(start, end, fd);
  bool announced = frame.msg.has(SOCKET_FIELD);
  if (match == InboundDescriptors::Match::Taken && announced) {
    frame.msg.set(SOCKET_FIELD, static_cast<uint32_t>(fd));
    return true;
  }
  if (match == InboundDescriptors::Match::None && !announced) return true;
  if (fd >= 0) ::close(fd);
  why = match == InboundDescriptors::Match::None
            ? "the frame announces a descriptor and carries none"
            : "a descriptor without a frame that announces it";
  return false;
}

void Bus::onFrame(Connection& c, Frame& frame) {
  if (frame.kind == FrameKind::Request) return onRequestFrame(c, frame);
  if (frame.requestId == 0 && c.id == hubConnection_) {  // the hub's notice
    hubNotice_ = getError(frame.msg);
    return;
  }
  auto it = pending_.find(frame.requestId);
  // A reply must come from where its request went; anything else (late,
  // duplicate or forged) is dropped.
  if (it == pending_.end() || it->second.connection != c.id) {
    closeCarriedDescriptor(frame.msg);
    return;
  }
  enqueue(InboxItem{false, frame.requestId, std::move(frame.msg), frame.msgBytes});
}

void Bus::onRequestFrame(Connection& c, Frame& frame) {
  message& msg = frame.msg;
  uint32_t rights = c.id == hubConnection_ ? msg.get(RIGHTS_FIELD, RIGHT_READ) : c.rights;
  msg.set(ORIGIN_FIELD, c.id);
  msg.set(REQUEST_ID_FIELD, frame.requestId);
  msg.set(RIGHTS_FIELD, rights);
  c.lastRequestTick = loop_.clock().now();
  if (c.outstanding >= MAX_OUTSTANDING_PER_PEER) {
    closeCarriedDescriptor(msg);
    send(c, FrameKind::Reply, frame.requestId,
         errorMsg(ERR_BUSY, "too many requests in progress"));
    return;
  }
  ++c.outstanding;
  const Path& path = pathOf(msg);
  if (localHandler(path)) {
    return enqueue(InboxItem{true, 0, std::move(msg), frame.msgBytes + STAMP_BYTES});
  }
  // The hub forwards to the peer that serves the path; during its start-up
  // grace also a request for a path nobody serves yet (post holds it).
  uint32_t target = routeRemote(path);
  bool servedElsewhere = target != 0 && target != c.id;
  if (c.id != hubConnection_ && (servedElsewhere || (target == 0 && inGrace_))) {
    return forward(c, std::move(msg));
  }
  closeCarriedDescriptor(msg);
  reply(msg, noRoute());
}

// The hub passes a request between two peers: it posts a copy on the
// sender's behalf and answers the sender with whatever comes back. While
// it waits, the hub keeps only the way back (origin and request id), not
// the request itself. Posting duplicates the request's descriptor, so the
// hub closes the one it received; likewise the answer's once the reply has
// duplicated it.
void Bus::forward(Connection& from, message request) {
  message wayBack;
  wayBack.set(ORIGIN_FIELD, request.get(ORIGIN_FIELD));
  wayBack.set(REQUEST_ID_FIELD, request.get(REQUEST_ID_FIELD));
  request.erase(ORIGIN_FIELD);
  request.erase(REQUEST_ID_FIELD);
  const int received = carriedDescriptor(request);
  uint32_t timeout = options_.forwardTimeoutSeconds * loop_.clock().ticksPerSecond();
  int id = post(std::move(request), [this, wayBack](const message& answer) {
    reply(wayBack, answer);
    closeCarriedDescriptor(answer);
  }, timeout, from.rights);
  if (received >= 0) ::close(received);
  if (id < 0) reply(wayBack, errorMsg(ERR_BUSY, "the serving peer cannot take requests"));
}

uint32_t Bus::routeRemote(const Path& path) const {
  if (options_.mode == LooperOptions::Mode::Peer) {
    return connections_.count(hubConnection_) ? hubConnection_ : 0;
  }
  auto it = served_.find(path);
  return it == served_.end() ? 0 : it->second;
}

// On success the connection owns the descriptor `msg` carries (it closes
// it once sent); on failure the caller still does.
bool Bus::send(Connection& c, FrameKind kind, uint32_t requestId, const message& msg) {
  if (c.closing) return false;
  size_t size = FRAME_LENGTH_BYTES + FRAME_HEAD_BYTES + encodedSize(msg);
  if (size > options_.maxFrameBytes + FRAME_LENGTH_BYTES) return false;
  if (c.waiting() + size > options_.maxPeerOutputBytes) return false;
  const int fd = carriedDescriptor(msg);
  if (fd >= 0 && c.outFds.size() >= MAX_OUTBOUND_DESCRIPTORS) return false;
  if (!makeRoom(c, size)) return false;
  if (c.waiting() == 0) c.dropWritten();
  const uint64_t at = c.outBase + c.out.size();
  encodeFrame(kind, requestId, msg, c.out);
  if (fd >= 0) c.outFds.push_back(Connection::OutboundDescriptor{at, at + size, fd});
  writeSoon(c);
  return true;
}

// The frames a connection is sent in one loop turn go out together, in one
// write before the loop waits again (or at once past MAX_GATHERED_BYTES):
// a turn that answers 64 requests of a peer writes once, not 64 times.
// Nothing waits past the turn that made it.
void Bus::writeSoon(Connection& c) {
  if (c.waiting() >= MAX_GATHERED_BYTES) return writeTo(c);
  if (!c.writeQueued) {
    c.writeQueued = true;
    unwritten_.push_back(c.id);
  }
  if (gatheredQueued_) return;
  gatheredQueued_ = true;
  std::shared_ptr<Bus*> self = self_;
  loop_.runner().runBeforeWait([self] {
    if (*self) (*self)->writeGathered();
  });
}

void Bus::writeGathered() {
  gatheredQueued_ = false;
  std::vector<uint32_t> ids;
  ids.swap(unwritten_);
  for (uint32_t id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    it->second->writeQueued = false;
    if (!it->second->closing) writeTo(*it->second);
  }
}

// A frame's descriptor goes with the sendmsg call that writes the frame's
// first byte, and that call writes nothing beyond the frame (see
// platform/descriptor.h); once it went, the kernel holds its own reference.
void Bus::writeTo(Connection& c) {
  while (c.waiting() > 0) {
    const uint64_t pos = c.outBase + c.outStart;
    size_t len = c.waiting();
    int fd = -1;
    if (!c.outFds.empty()) {
      const Connection::OutboundDescriptor& next = c.outFds.front();
      if (next.at == pos) fd = next.fd;
      len = static_cast<size_t>(std::min<uint64_t>(len, (fd >= 0 ? next.end : next.at) - pos));
    }
    const char* data = c.out.data() + c.outStart;
    ssize_t n = fd >= 0 ? sendWithDescriptor(c.fd, data, len, fd)
                        : ::send(c.fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      const std::string why = std::string("write: ") + strerror(errno);
      if (c.id != hubConnection_) return closeLater(c, why);
      // The next loop turn reads what the hub sent before it went.
      c.closing = true;
      const uint32_t id = c.id;
      loop_.runner().addTimer(0, [this, id, why]() { closeAfterWriteError(id, why); });
      return;
    }
    if (fd >= 0) {
      ::close(fd);
      c.outFds.pop_front();
    }
    c.outStart += static_cast<size_t>(n);
  }
  if (c.waiting() == 0) {
    c.dropWritten();
    // A large buffer is given back once empty, so memory follows what is
    // held rather than the most that ever was.
    if (c.out.capacity() > READ_CHUNK) std::string().swap(c.out);
  }
  loop_.runner().changeSocket(c.fd, c.waiting() ? (POLLIN | POLLOUT) : POLLIN);
}

// A peer whose hub has gone may still find in its socket what the hub sent
// before going: replies, and the notice that says why (a full bus closes a
// newcomer at once, often before its first request is written).
void Bus::closeAfterWriteError(uint32_t id, const std::string& why) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second->closing = false;
  readFrom(*it->second);  // may close it itself, at the end of the stream
  closeConnection(id, why);
}

void Bus::closeConnection(uint32_t id, const std::string& why) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  std::unique_ptr<Connection> conn = std::move(it->second);
  connections_.erase(it);
  if (!why.empty()) {
    loop_.log(LOG_LEVEL_WARNING, "bus: closing connection " + std::to_string(id) + ": " + why);
  }
  loop_.runner().removeSocket(conn->fd, closeFd);
  for (auto route = served_.begin(); route != served_.end();) {
    route = route->second == id ? served_.erase(route) : std::next(route);
  }
  failPendingOf(id);
  if (id == hubConnection_) {
    hubConnection_ = 0;
    if (options_.reconnectSeconds > 0) {
      loop_.log(LOG_LEVEL_WARNING, "bus: lost the hub; trying again every " +
                                       std::to_string(options_.reconnectSeconds) + " s");
      retryHubLater();
    }
  }
}

// Closing at once could pull the connection out from under a caller that
// is still using it; the next loop turn does it. Its buffers go now.
void Bus::closeLater(Connection& c, const std::string& why) {
  if (c.closing) return;
  c.closing = true;
  c.reader = FrameReader(options_.maxFrameBytes);
  std::string().swap(c.out);
  c.outStart = 0;
  const uint32_t id = c.id;
  loop_.runner().addTimer(0, [this, id, why]() { closeConnection(id, why); });
}

size_t Bus::bufferedBytes() const {
  size_t total = 0;
  for (const auto& entry : connections_) total += entry.second->held();
  return total;
}

// Makes room for `bytes` more held by `c` within maxBusBufferedBytes by
// closing the connections that hold the most, `c` included: whoever piles
// up data goes first, and a peer with a small request still gets through
// while others hold large partial frames. False when `c` itself went.
bool Bus::makeRoom(Connection& c, size_t bytes) {
  for (;;) {
    const size_t total = bufferedBytes();
    if (total + bytes <= options_.maxBusBufferedBytes) return true;
    Connection* largest = &c;
    size_t largestHeld = c.held() + bytes;
    for (auto& entry : connections_) {
      Connection& other = *entry.second;
      if (!other.closing && other.held() > largestHeld) {
        largest = &other;
        largestHeld = other.held();
      }
    }
    closeLater(*largest, "bus buffers full (" + std::to_string(total) + " bytes held, " +
                             std::to_string(largestHeld) + " of them for this connection)");
    if (largest == &c) return false;
  }
}

void Bus::failPendingOf(uint32_t connection) {
  const std::string text =
      connection == hubConnection_ ? disconnectedText() : std::string("peer disconnected");
  for (auto& entry : pending_) {
    if (entry.second.connection != connection) continue;
    entry.second.connection = 0;  // completes locally from now on
    enqueue(InboxItem{false, entry.first, errorMsg(ERR_PEER_GONE, text)});
  }
}

std::string Bus::disconnectedText() const {
  return hubNotice_.empty() ? "peer disconnected" : "peer disconnected: " + hubNotice_;
}

// ---- Posting, replying, delivering ----------------------------------------

uint32_t Bus::newRequestId() {
  uint32_t id;
  do {
    id = nextRequest_++;
    if (nextRequest_ > 0x7fffffffu) nextRequest_ = 1;  // ids fit an int
  } while (pending_.count(id));
  return id;
}

int Bus::post(message msg, ReplyFn callback, uint32_t timeoutTicks, uint32_t rights) {
  if (!msg.has(PATH_FIELD)) return -1;
  if (msg.has(SOCKET_FIELD)) {
    int fd = duplicateDescriptor(msg.get(SOCKET_FIELD));
    if (fd < 0) return -1;
    msg.set(SOCKET_FIELD, static_cast<uint32_t>(fd));
  }
  msg.erase(ORIGIN_FIELD);
  msg.erase(REQUEST_ID_FIELD);
  msg.set(RIGHTS_FIELD, rights);
  uint32_t id = newRequestId();
  uint32_t target = 0;
  if (!dispatch(id, msg, target)) {
    closeCarriedDescriptor(msg);
    return -1;
  }
  Pending p{std::move(callback), nullptr, target};
  if (timeoutTicks > 0) {
    p.timer = loop_.runner().addTimer(timeoutTicks, [this, id]() {
      complete(id, dropHeld(id) ? noRoute() : errorMsg(ERR_TIMEOUT, "timeout"));
    });
  }
  pending_[id] = std::move(p);
  return static_cast<int>(id);
}

// Sends request `id` on its way: to a handler of this loop, to the
// connection that serves its path (`target`), into the start-up hold, or
// back to its sender as ERR_PEER_GONE (a peer whose hub has gone) or
// ERR_NO_ROUTE. False, with `msg` untouched, when the serving connection
// cannot take it.
bool Bus::dispatch(uint32_t id, message& msg, uint32_t& target) {
  const Path& path = pathOf(msg);
  target = 0;
  if (localHandler(path)) {
    msg.set(ORIGIN_FIELD, 0u);
    msg.set(REQUEST_ID_FIELD, id);
    enqueue(InboxItem{true, 0, std::move(msg)});
    return true;
  }
  target = routeRemote(path);
  if (target != 0) return send(*connections_[target], FrameKind::Request, id, msg);
  if (inGrace_ && held_.size() < MAX_HELD_REQUESTS) {
    held_.push_back(Held{id, std::move(msg)});
    return true;
  }
  closeCarriedDescriptor(msg);
  const bool hubGone = options_.mode == LooperOptions::Mode::Peer;  // everything goes through it
  enqueue(InboxItem{false, id, hubGone ? errorMsg(ERR_PEER_GONE, disconnectedText()) : noRoute()});
  return true;
}

message Bus::noRoute() { return errorMsg(ERR_NO_ROUTE, "no handler at this path"); }

ReplyAddress Bus::addressOf(const message& request) {
  ReplyAddress address;
  if (const std::optional<uint32_t> requestId = request.find(REQUEST_ID_FIELD)) {
    address.origin = request.get(ORIGIN_FIELD);
    address.requestId = *requestId;
  }
  return address;
}

void Bus::reply(const message& request, const message& answer) {
  replyTo(addressOf(request), answer);
}

void Bus::replyTo(const ReplyAddress& address, const message& answer) {
  if (address.origin == ReplyAddress::NOWHERE) return;  // not delivered by a bus
  const uint32_t requestId = address.requestId;
  const uint32_t origin = address.origin;
  message withFd;  // the answer with the bus's own copy of its descriptor
  const message* out = &answer;
  if (answer.has(SOCKET_FIELD)) {
    withFd = ownedCopy(answer);
    out = &withFd;
  }
  if (origin == 0) return enqueue(InboxItem{false, requestId, *out});
  auto it = connections_.find(origin);
  if (it == connections_.end()) {  // the sender has gone
    closeCarriedDescriptor(*out);
    return;
  }
  Connection& c = *it->second;
  if (c.outstanding > 0) --c.outstanding;
  if (send(c, FrameKind::Reply, requestId, *out)) return;
  closeCarriedDescriptor(*out);
  if (FRAME_LENGTH_BYTES + FRAME_HEAD_BYTES + encodedSize(*out) > options_.maxFrameBytes) {
    send(c, FrameKind::Reply, requestId, errorMsg(ERR_BAD_REQUEST, "reply too large"));
    return;
  }
  // The peer does not read what it is sent: cut it off rather than buffer
  // without bound.
  closeLater(c, "output limit reached; the peer does not read");
}

// `answer` with a duplicate of its descriptor, or, when that cannot be
// made, an error reply that says so.
message Bus::ownedCopy(const message& answer) {
  int fd = duplicateDescriptor(answer.get(SOCKET_FIELD));
  if (fd < 0) {
    return errorMsg(ERR_BAD_REQUEST, std::string("cannot pass the descriptor: ") + strerror(errno));
  }
  message copy = answer;
  copy.set(SOCKET_FIELD, static_cast<uint32_t>(fd));
  return copy;
}

void Bus::cancel(int requestId) {
  auto it = pending_.find(static_cast<uint32_t>(requestId));
  if (it == pending_.end()) return;
  loop_.runner().removeTimer(it->second.timer);
  pending_.erase(it);
}

void Bus::enqueue(InboxItem item) {
  if (item.bytes == 0) item.bytes = encodedSize(item.msg);
  inboxBytes_ += item.bytes;
  inbox_.push_back(std::move(item));
  if (!drainTimer_.pending()) {
    drainTimer_ = Timer(loop_.runner(), 0, [this]() { drainInbox(); });
  }
}

void Bus::drainInbox() {
  // Items queued while draining wait for the next turn, like any other
  // work caused by a callback.
  size_t n = inbox_.size();
  while (n-- > 0 && !inbox_.empty()) {
    InboxItem item = std::move(inbox_.front());
    inbox_.pop_front();
    inboxBytes_ -= item.bytes;
    if (item.isRequest) {
      deliver(item.msg);
    } else {
      complete(item.requestId, item.msg);
    }
  }
  if (!inbox_.empty() && !drainTimer_.pending()) {
    drainTimer_ = Timer(loop_.runner(), 0, [this]() { drainInbox(); });
  }
}

void Bus::complete(uint32_t requestId, const message& answer) {
  auto it = pending_.find(requestId);
  if (it == pending_.end()) {  // timed out, cancelled or answered
    closeCarriedDescriptor(answer);
    return;
  }
  Pending p = std::move(it->second);
  pending_.erase(it);
  loop_.runner().removeTimer(p.timer);
  if (p.callback) p.callback(answer);
}

void Bus::deliver(message& request) {
  Handler* handler = localHandler(pathOf(request));
  if (!handler) {
    closeCarriedDescriptor(request);
    reply(request, noRoute());
    return;
  }
  handler->handle(request);
}

// ---- Routes --------------------------------------------------------------------

bool Bus::addRoute(const Path& path, Handler* handler) {
  if (local_.count(path)) return false;
  local_[path] = handler;
  lastHandler_ = nullptr;
  if (options_.mode == LooperOptions::Mode::Peer && hubConnection_ != 0) serve(path);
  releaseHeld(path);
  return true;
}

void Bus::removeRoutes(Handler* handler) {
  lastHandler_ = nullptr;
  for (auto it = local_.begin(); it != local_.end();) {
    it = it->second == handler ? local_.erase(it) : std::next(it);
  }
}

Handler* Bus::localHandler(const Path& path) const {
  if (lastHandler_ && path == lastPath_) return lastHandler_;
  auto it = local_.find(path);
  if (it == local_.end()) return nullptr;
  lastPath_ = path;
  lastHandler_ = it->second;
  return lastHandler_;
}

std::vector<Handler*> Bus::localHandlers() const {
  std::vector<Handler*> handlers;
  for (const auto& entry : local_) handlers.push_back(entry.second);
  return handlers;
}

void Bus::handleServe(const message& request) {
  uint32_t origin = request.get(ORIGIN_FIELD);
  const std::vector<uint32_t>* path = request.find(SERVE_PATH_FIELD);
  if (origin == 0 || !connections_.count(origin)) {
    return reply(request, errorMsg(ERR_BAD_REQUEST, "only a bus peer can serve a path"));
  }
  if (!path || path->empty()) {
    return reply(request, errorMsg(ERR_BAD_REQUEST, "a path to serve is required"));
  }
  if (!(request.get(RIGHTS_FIELD) & RIGHT_WRITE)) {
    return reply(request, errorMsg(ERR_NOT_ALLOWED, "write permission required"));
  }
  auto served = served_.find(*path);
  if (local_.count(*path) || (served != served_.end() && served->second != origin)) {
    return reply(request, errorMsg(ERR_BUSY, "path already served"));
  }
  served_[*path] = origin;
  reply(request, message());
  releaseHeld(*path);
}


}  // namespace kv
