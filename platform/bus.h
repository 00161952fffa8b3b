// kv::Bus: routing of requests and replies for one Looper, over the bus
// socket when the destination lives in another process.
//
// Internal to the platform: services use Handler::postMessage and
// Handler::replyMessage, which come here.
//
// Routing of a request by its destination path:
//   1. a handler of this loop registered under the path (the hub's own
//      control handler is the empty path);
//   2. hub: the peer that asked to serve the path (CMD_SERVE);
//      peer: the hub, for every path not served locally;
//   3. hub, during its start-up grace (LooperOptions::startGraceSeconds):
//      held until a peer serves the path, and answered ERR_NO_ROUTE when the
//      grace or the request's own time-out ends first;
//   4. otherwise the request fails with ERR_NO_ROUTE.
// A peer asks the hub to route each of its local paths to it (CMD_SERVE),
// again after every reconnection (LooperOptions::reconnectSeconds).
// The bus stamps every request it delivers with ORIGIN_FIELD,
// REQUEST_ID_FIELD and RIGHTS_FIELD; replyMessage reads them to find the way
// back. Rights of a bus peer come from its credentials (SO_PEERCRED): root
// and the loop's own user may write, everyone else may only read. A peer
// trusts the rights that the hub stamped.
//
// Peer slots: the hub holds at most MAX_PEERS connections. When they are
// all taken, a newcomer takes the slot of the idle peer that has gone
// longest without a request, once that is LooperOptions::idlePeerSeconds
// (see dropIdlePeer); otherwise the newcomer is refused. Either way the
// connection that goes first receives a notice: a reply frame with request
// id 0 carrying an ERR_BUSY error that says why. A peer keeps the notice
// and puts it in the ERR_PEER_GONE text of its requests that fail with the
// connection.
//
// Nothing is delivered inside the call that caused it: requests and
// completions go to an inbox that a zero-delay timer drains on the next
// loop turn, so a handler never runs inside another handler or inside a
// socket callback.
//
// Descriptors (platform/descriptor.h): post and reply duplicate the
// descriptor a message carries in SOCKET_FIELD. From then on every message
// the bus holds with that field owns the descriptor it names (in the
// inbox, in a connection's output, in a frame being read), until it is
// delivered to its handler or callback, which then owns it, or dropped,
// which closes it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus_frame.h"
#include "platform/handler.h"
#include "platform/looper.h"
#include "platform/runner.h"

namespace kv {

class Bus {
 public:
  using Path = std::vector<uint32_t>;

  // Most requests one peer may have in progress before new ones are
  // refused with ERR_BUSY.
  static constexpr uint32_t MAX_OUTSTANDING_PER_PEER = 1024;
  static constexpr size_t MAX_PEERS = 64;
  // Most frames with a descriptor that may wait to be sent on one
  // connection; a post beyond it fails, a reply beyond it is dropped.
  static constexpr size_t MAX_OUTBOUND_DESCRIPTORS = 256;
  // Most requests the hub holds during its start-up grace.
  static constexpr size_t MAX_HELD_REQUESTS = 256;
  // Encoded bytes of decoded frames waiting for delivery above which the
  // bus stops reading sockets until the next turn has delivered them.
  static constexpr size_t MAX_INBOX_BYTES = 1024 * 1024;

  Bus(Looper& loop, const LooperOptions& options);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Hub: bind and listen. Peer: connect. Standalone: nothing.
  Status start();

  bool addRoute(const Path& path, Handler* handler);
  void removeRoutes(Handler* handler);
  Handler* localHandler(const Path& path) const;
  std::vector<Handler*> localHandlers() const;

  // See Handler::postMessage. `rights` is what the receiver is told the
  // sender may do. Fails (-1) also when the descriptor the message carries
  // cannot be duplicated.
  int post(message msg, ReplyFn callback, uint32_t timeoutTicks, uint32_t rights = RIGHTS_ALL);
  void reply(const message& request, const message& reply);
  void replyTo(const ReplyAddress& address, const message& reply);
  // Where the reply to `request` goes; ReplyAddress::NOWHERE as origin
  // when no bus delivered it.
  static ReplyAddress addressOf(const message& request);
  // Forgets a pending request: its callback will not run.
  void cancel(int requestId);

  // CMD_SERVE from a peer (hub only).
  void handleServe(const message& request);

  // Peer: whether the connection to the hub is up.
  bool connectedToHub() const { return hubConnection_ != 0; }
  size_t peerCount() const { return connections_.size(); }
  size_t pendingCount() const { return pending_.size(); }
  // Input and output bytes held for all connections (maxBusBufferedBytes).
  size_t bufferedBytes() const;

 private:
  struct Connection;
  struct Pending {
    ReplyFn callback;
    TimerPtr timer;
    uint32_t connection;  // where the request went; 0 = this process
  };
  struct InboxItem {
    bool isRequest;
    uint32_t requestId;  // completion: the pending id
    message msg;
    size_t bytes = 0;  // encoded size, counted in inboxBytes_; 0: not known yet
  };
  struct Held {  // a request waiting for its path to be served
    uint32_t id;
    message msg;
  };

  Status startHub();
  Status startPeer();
  void retryHubLater();
  void serve(const Path& path);
  Status listenOn(const std::string& path);
  Status connectTo(const std::string& path);
  void onAccept();
  bool dropIdlePeer();
  bool isIdle(const Connection& c) const;
  void sendNotice(int fd, const std::string& text);
  std::string disconnectedText() const;
  Connection* addConnection(int fd, uint32_t rights);
  void onSocket(uint32_t id, int events);
  void readFrom(Connection& c);
  bool keepDescriptors(Connection& c, const std::vector<int>& fds, bool truncated,
                       uint64_t from);
  bool attachDescriptor(Connection& c, Frame& frame, uint64_t start, uint64_t end,
                        std::string& why);
  void writeTo(Connection& c);
  void onFrame(Connection& c, Frame& frame);
  void onRequestFrame(Connection& c, Frame& frame);
  void forward(Connection& from, message request);
  bool send(Connection& c, FrameKind kind, uint32_t requestId, const message& msg);
  void writeSoon(Connection& c);
  void writeGathered();
  void closeConnection(uint32_t id, const std::string& why);
  void closeAfterWriteError(uint32_t id, const std::string& why);
  void closeLater(Connection& c, const std::string& why);
  bool makeRoom(Connection& c, size_t bytes);
  void failPendingOf(uint32_t connection);

  uint32_t routeRemote(const Path& path) const;
  bool dispatch(uint32_t id, message& msg, uint32_t& target);
  static message noRoute();
  void releaseHeld(const Path& path);
  bool dropHeld(uint32_t id);
  void endGrace();
  uint32_t newRequestId();
  message ownedCopy(const message& answer);
  void enqueue(InboxItem item);
  void drainInbox();
  void complete(uint32_t requestId, const message& reply);
  void deliver(message& request);

  Looper& loop_;
  LooperOptions options_;
  std::string path_;  // the bus socket
  int listenFd_ = -1;
  std::string listenPath_;
  uint32_t hubConnection_ = 0;  // peer mode: the connection to the hub
  std::string hubNotice_;       // peer mode: why the hub closed the connection
  uint32_t nextConnection_ = 1;
  uint32_t nextRequest_ = 1;
  std::map<uint32_t, std::unique_ptr<Connection>> connections_;
  std::map<Path, Handler*> local_;
  // The route last found: requests come in runs to one path (a flood of
  // publish commands), and each is routed twice (on arrival and when it is
  // delivered). Forgotten whenever a route changes.
  mutable Path lastPath_;
  mutable Handler* lastHandler_ = nullptr;
  std::map<Path, uint32_t> served_;  // hub: path -> serving connection
  std::map<uint32_t, Pending> pending_;
  std::deque<InboxItem> inbox_;
  size_t inboxBytes_ = 0;
  Timer drainTimer_;
  Timer reconnectTimer_;  // peer: the next attempt to reach the hub
  bool inGrace_ = false;  // hub: within the start-up grace
  Timer graceTimer_;
  std::vector<Held> held_;
  std::vector<uint32_t> unwritten_;  // connections with output gathered this turn
  bool gatheredQueued_ = false;      // writeGathered waits for the loop
  std::shared_ptr<Bus*> self_;       // null once the bus is gone
};

}  // namespace kv
