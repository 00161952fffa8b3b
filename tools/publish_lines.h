// publish -l: every line of standard input is one message, published in
// order, with up to PUBLISH_WINDOW requests in flight so that a pipe of
// thousands of lines does not wait for each answer in turn.
//
// The window keeps order: requests travel over one connection and the
// daemon handles them, and queues their PUBLISH packets, in the order they
// come. Standard input is read only while the window has room, and is
// waited on only when nothing is in flight, so a slow producer (a log
// follower) never delays the handling of answers that have arrived.
//
// The first refused or failed line stops the reading: the lines in flight
// are still answered and reported, nothing more is sent, and the exit
// status is that of the first failure. A line longer than
// MAX_PAYLOAD_BYTES is a failure too (status 1).
#pragma once

#include <cstddef>
#include <string>

#include "contracts/mqtt_service.h"
#include "tools/verbs.h"

namespace mqttctl {

constexpr size_t PUBLISH_WINDOW = 64;

// Lines of a descriptor, without their '\n'. A last line without one is a
// line too; an empty input has none.
class LineReader {
 public:
  enum class Result { Line, NotReady, End, TooLong, Error };

  // Does not own `fd`. Lines longer than `maxLine` bytes are TooLong.
  LineReader(int fd, size_t maxLine) : fd_(fd), maxLine_(maxLine) {}

  // The next line. Without `block`, NotReady when no whole line can be had
  // without waiting.
  Result next(std::string& line, bool block);

 private:
  bool takeLine(std::string& line);
  Result fill(bool block);

  int fd_;
  size_t maxLine_;
  std::string buffer_;
  size_t start_ = 0;  // buffer_[start_...] is not handed out yet
  bool end_ = false;
};

// Publishes the lines of session.inputFd, each as `order` with the line for
// its data, to `broker` (its row). With `disconnectAfter`, a disconnect of
// the same broker follows the last answer (when every line went through).
// When the first failure is "Connection failed" or "Timeout occured", the
// broker's last failure follows the lines' failures as the reason.
int publishLines(Session& session, const kv::message& broker,
                 const contract::mqtt_service::PublishOrder& order, bool disconnectAfter);

}  // namespace mqttctl
