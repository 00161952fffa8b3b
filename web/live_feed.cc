#include "web/live_feed.h"

#include <algorithm>

#include "contracts/mqtt_tables.h"
#include "platform/system.h"
#include "web/broker_list.h"
#include "web/rows_json.h"

namespace mqttweb {

bool LiveFeed::add(const std::shared_ptr<EventStream>& stream) {
  if (streams_.size() >= MAX_STREAMS) return false;
  streams_.push_back(stream);
  EventStream* raw = stream.get();
  std::weak_ptr<bool> alive = alive_;
  stream->onClosed = [this, raw, alive] {
    if (!alive.expired()) remove(raw);
  };
  if (primed_) greet(*stream);
  if (!timer_.pending()) {
    pollMessages();
    pollBrokers();
    arm();
  }
  return true;
}

void LiveFeed::remove(EventStream* stream) {
  streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                [stream](const auto& s) { return s.get() == stream; }),
                 streams_.end());
  if (!streams_.empty()) return;
  // Nobody watches: stop asking, and start afresh for the next page.
  timer_.cancel();
  primed_ = false;
  backlog_.clear();
  brokers_.clear();
  brokersKey_.clear();
  problem_.clear();
}

void LiveFeed::arm() {
  const kv::Ticks ticks = std::max<kv::Ticks>(1, POLL_MILLIS * loop_.clock().ticksPerSecond() / 1000);
  timer_ = kv::Timer(loop_.runner(), ticks, [this] { tick(); });
}

void LiveFeed::tick() {
  ++turns_;
  pollMessages();
  if (turns_ % (BROKER_POLL_MILLIS / POLL_MILLIS) == 0) pollBrokers();
  if (turns_ % (PING_SECONDS * 1000 / POLL_MILLIS) == 0) {
    for (auto& s : std::vector<std::shared_ptr<EventStream>>(streams_)) s->ping();
  }
  if (!streams_.empty()) arm();
}

void LiveFeed::pollMessages() {
  if (asking_) return;
  asking_ = true;
  std::weak_ptr<bool> alive = alive_;
  bus_.readRows({contract::received::HANDLER}, primed_ ? lastId_ : 0,
                [this, alive](std::vector<kv::message> rows, std::string failure) {
                  if (alive.expired()) return;
                  asking_ = false;
                  onMessages(std::move(rows), failure);
                });
}

void LiveFeed::onMessages(std::vector<kv::message> rows, const std::string& failure) {
  if (!failure.empty()) {
    primed_ = false;  // the daemon may come back with a fresh table
    if (failure != problem_) broadcast("problem", dumpJson(Json{{"error", failure}}));
    problem_ = failure;
    return;
  }
  problem_.clear();
  const bool first = !primed_;
  if (first) backlog_.clear();
  for (const kv::message& row : rows) {
    lastId_ = std::max(lastId_, row.get(kv::OBJECT_ID_FIELD));
    backlog_.push_back(dumpJson(receivedToJson(row)));
    if (backlog_.size() > BACKLOG) backlog_.pop_front();
    if (!first) broadcast("message", backlog_.back());
  }
  if (first) {
    if (rows.empty()) lastId_ = 0;
    primed_ = true;
    for (auto& s : std::vector<std::shared_ptr<EventStream>>(streams_)) greet(*s);
  }
}

void LiveFeed::greet(EventStream& stream) {
  stream.send("reset", "{}");
  for (const std::string& m : backlog_) stream.send("message", m);
  if (!brokers_.empty()) stream.send("brokers", brokers_);
}

void LiveFeed::pollBrokers() {
  if (askingBrokers_) return;
  askingBrokers_ = true;
  std::weak_ptr<bool> alive = alive_;
  readBrokerList(bus_, [this, alive](Json list, std::string failure) {
    if (alive.expired()) return;
    askingBrokers_ = false;
    if (!failure.empty()) return;  // the message poll reports it
    brokers_ = dumpJson(list);
    std::string key = dumpJson(withoutReadTimes(std::move(list)));
    if (key == brokersKey_) return;
    brokersKey_ = std::move(key);
    broadcast("brokers", brokers_);
  });
}

void LiveFeed::broadcast(const std::string& event, const std::string& data) {
  // A stream that overflows closes, and its onClosed edits streams_.
  for (auto& s : std::vector<std::shared_ptr<EventStream>>(streams_)) s->send(event, data);
}

}  // namespace mqttweb
