// The page's live view: arriving messages and the brokers' state, pushed to
// every open event stream.
//
// The daemon records arriving messages in its received-message table under
// increasing object ids. While at least one page is open, the feed asks for
// the rows after the last id it has seen every POLL_MILLIS (one small bus
// request when nothing came) and the broker list with each broker's status
// every BROKER_POLL_MILLIS (broker_list.h), and pushes what is new; the
// browser never polls. With no page open it asks nothing.
//
// Events (server-sent, one JSON line each):
//   reset     the page's message views start over; a backlog follows
//   message   one received message (rows_json.h: receivedToJson)
//   brokers   the whole broker list, when it changed; a change of the
//             rows' read-at times alone is none (the page counts the
//             seconds from there itself)
//   problem   {"error": text} when the daemon could not be asked
//
// A new stream gets "reset", the last BACKLOG messages and the broker list
// as last read (at most BROKER_POLL_MILLIS old, so its read-at times are
// fresh).
// When the daemon goes away (its table restarts from id 1 when it comes
// back), the feed starts over and sends "reset" again.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/looper.h"
#include "web/bus_calls.h"
#include "web/http_server.h"

namespace mqttweb {

class LiveFeed {
 public:
  static constexpr size_t MAX_STREAMS = 8;
  static constexpr size_t BACKLOG = 200;
  static constexpr uint32_t POLL_MILLIS = 250;
  static constexpr uint32_t BROKER_POLL_MILLIS = 1000;
  static constexpr uint32_t PING_SECONDS = 15;

  LiveFeed(kv::Looper& loop, BusCalls& bus) : loop_(loop), bus_(bus) {}

  // Adds a stream; false when MAX_STREAMS are open already.
  bool add(const std::shared_ptr<EventStream>& stream);
  size_t streams() const { return streams_.size(); }
  // Asks for the broker list at once (after a change from the page).
  void brokersChanged() { pollBrokers(); }

 private:
  void remove(EventStream* stream);
  void arm();
  void tick();
  void pollMessages();
  void pollBrokers();
  void onMessages(std::vector<kv::message> rows, const std::string& failure);
  void greet(EventStream& stream);
  void broadcast(const std::string& event, const std::string& data);

  kv::Looper& loop_;
  BusCalls& bus_;
  std::vector<std::shared_ptr<EventStream>> streams_;
  std::deque<std::string> backlog_;  // message events, oldest first
  std::string brokers_;              // the last broker list read
  std::string brokersKey_;           // the last one sent, without read-at times
  std::string problem_;              // the last problem sent
  uint32_t lastId_ = 0;
  bool primed_ = false;       // lastId_ and the backlog are current
  bool asking_ = false;       // a message walk is in flight
  bool askingBrokers_ = false;
  uint64_t turns_ = 0;
  kv::Timer timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mqttweb
