// Request and reply over the local bus, for the console.
//
// Requester is the seam between the console's commands and the bus: the
// commands hand it a request (with PATH_FIELD and COMMAND_FIELD set) and get
// back either the reply or the reason there is none. BusClient is the real
// one; tests put scripted fakes in its place.
#pragma once

#include <cstdint>
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

class Requester {
 public:
  virtual ~Requester() = default;
  // Sends `request` and waits for its outcome.
  virtual CallResult call(const kv::message& request) = 0;
};

// Ticks of a clock running at `ticksPerSecond` for `millis` milliseconds,
// rounded up, at least one and at most UINT32_MAX.
uint32_t millisToTicks(uint32_t millis, uint32_t ticksPerSecond);

// Sends each request through a bus loop and turns the loop until the reply
// arrives. The wait always ends: the platform answers every posted request
// exactly once, with an ERR_TIMEOUT reply at the latest after the time-out.
class BusClient : public Requester {
 public:
  // Turns the loop, or the loops, once. The default turns `looper`,
  // waiting in poll(2) until something is ready or the next timer is due.
  using TurnFn = std::function<void()>;

  // Does not own `looper`, which must outlive the client and be its own
  // process loop as far as postMessage is concerned. `timeoutTicks` bounds
  // each request.
  BusClient(kv::Looper& looper, uint32_t timeoutTicks, TurnFn turn = nullptr);
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  CallResult call(const kv::message& request) override;

 private:
  kv::Looper& looper_;
  uint32_t timeoutTicks_;
  TurnFn turn_;
};

}  // namespace mqttctl
