// Request and reply over the local bus, for the console.
//
// Requester is the seam between the console's verbs and the bus: a verb
// hands it requests (with PATH_FIELD and COMMAND_FIELD set) and gets back,
// for each, either the reply or the reason there is none. Requests may be
// in flight together (publish -l keeps a window of them); each outcome is
// delivered exactly once, from wait(). BusClient is the real one; tests put
// scripted fakes in its place.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "platform/looper.h"
#include "platform/message.h"

namespace mqttctl {

// The outcome of one request.
struct CallResult {
  // False when the request never got an answer from the bus: not
  // connected, or the request could not be posted.
  bool delivered = false;
  // When delivered: the reply, which may be a failure or error reply
  // (including the error replies of the platform for a time-out, an
  // unknown path or a peer that went away).
  kv::message reply;
  // When not delivered: why, for people.
  std::string problem;
};

using DoneFn = std::function<void(const CallResult&)>;

class Requester {
 public:
  virtual ~Requester() = default;
  // Sends `request`. `done` runs exactly once, from a later wait(), with
  // the outcome.
  virtual void start(const kv::message& request, DoneFn done) = 0;
  // Waits until at least one started request has had its `done` run;
  // returns at once when none is in flight.
  virtual void wait() = 0;
  // Requests started whose `done` has not run yet.
  virtual size_t inFlight() const = 0;
  // Waits about `millis` milliseconds. False when an interrupt (SIGINT or
  // SIGTERM, for a client that catches them) came first or had come.
  virtual bool pause(uint32_t millis) = 0;
  // Monotonic time in milliseconds, from an arbitrary start (for time
  // limits: tests turn it with pause()).
  virtual uint64_t nowMillis() const = 0;

  // start() and wait() until that request's outcome is there.
  CallResult call(const kv::message& request);
};

// Ticks of a clock running at `ticksPerSecond` for `millis` milliseconds,
// rounded up, at least one and at most UINT32_MAX.
uint32_t millisToTicks(uint32_t millis, uint32_t ticksPerSecond);

// Sends each request through a bus loop and turns the loop until replies
// arrive. Every wait ends: the platform answers every posted request
// exactly once, with an ERR_TIMEOUT reply at the latest after the time-out.
class BusClient : public Requester {
 public:
  // Turns the loop, or the loops, once. The default turns `looper`,
  // waiting in poll(2) until something is ready or the next timer is due.
  using TurnFn = std::function<void()>;

  // Does not own `looper`, which must outlive the client and be its own
  // process loop as far as postMessage is concerned. `timeoutTicks` bounds
  // each request. An interrupt is the loop stopping (LooperOptions::
  // catchSignals turns SIGINT and SIGTERM into that).
  BusClient(kv::Looper& looper, uint32_t timeoutTicks, TurnFn turn = nullptr);
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  void start(const kv::message& request, DoneFn done) override;
  void wait() override;
  size_t inFlight() const override { return inFlight_; }
  bool pause(uint32_t millis) override;
  uint64_t nowMillis() const override;

 private:
  void finish(const DoneFn& done, const CallResult& result);

  kv::Looper& looper_;
  uint32_t timeoutTicks_;
  TurnFn turn_;
  size_t inFlight_ = 0;
  uint64_t finished_ = 0;  // outcomes delivered so far
  // Requests that were never posted: their outcomes, for the next wait().
  std::deque<std::pair<DoneFn, CallResult>> unposted_;
};

}  // namespace mqttctl
