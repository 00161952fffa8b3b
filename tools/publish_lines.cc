#include "tools/publish_lines.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "tools/mqtt_verbs.h"
#include "tools/status.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

namespace svc = contract::mqtt_service;

constexpr size_t READ_CHUNK = 64 * 1024;

// What the lines' answers have come to so far.
struct Progress {
  int firstFailure = EXIT_SUCCESS_REPLY;
  std::string firstRefusal;  // the daemon's text of the first failure, if it was a refusal
};

// Reports a failed line as "mqttctl: line N: <what reportFailure says>".
void reportLine(Session& s, uint64_t lineNo, const CallResult& result, Progress& progress) {
  std::ostringstream err;
  const Output output{s.output.out, err, s.output.json, s.output.timeoutMillis};
  const int status = reportFailure(result, output);
  if (progress.firstFailure == EXIT_SUCCESS_REPLY) {
    progress.firstFailure = status;
    progress.firstRefusal = result.delivered ? kv::getError(result.reply) : "";
  }
  const std::string text = err.str();
  const std::string prefix = "mqttctl: ";
  s.output.err << prefix << "line " << lineNo << ": " << text.substr(prefix.size());
}

}  // namespace

bool LineReader::takeLine(std::string& line) {
  const size_t newline = buffer_.find('\n', start_);
  if (newline == std::string::npos) {
    if (!end_ || start_ == buffer_.size()) return false;
    line = buffer_.substr(start_);  // the last line, without a newline
    start_ = buffer_.size();
    return true;
  }
  line = buffer_.substr(start_, newline - start_);
  start_ = newline + 1;
  return true;
}

LineReader::Result LineReader::fill(bool block) {
  // Waiting in poll(2) rather than in read(2) also serves a descriptor
  // that was left non-blocking.
  pollfd ready{fd_, POLLIN, 0};
  const int polled = poll(&ready, 1, block ? -1 : 0);
  if (polled == 0 || (polled < 0 && errno == EINTR)) return Result::NotReady;
  if (start_ > READ_CHUNK) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  char chunk[READ_CHUNK];
  ssize_t n;
  do {
    n = ::read(fd_, chunk, sizeof chunk);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? Result::NotReady : Result::Error;
  if (n == 0) end_ = true;
  buffer_.append(chunk, static_cast<size_t>(n));
  return Result::Line;  // something changed: look again
}

LineReader::Result LineReader::next(std::string& line, bool block) {
  for (;;) {
    if (takeLine(line)) return line.size() > maxLine_ ? Result::TooLong : Result::Line;
    if (buffer_.size() - start_ > maxLine_) return Result::TooLong;
    if (end_) return Result::End;
    Result r = fill(block);
    if (r != Result::Line) return r;
  }
}

// The broker's last failure, when the lines failed for a connection that
// did not come up while they were sent.
void reportReason(Session& s, const kv::message& broker, const Progress& progress,
                  uint64_t elapsedMillis) {
  if (!needsReason(progress.firstRefusal)) return;
  BrokerStatus status;
  bool read = false;
  const std::string reason = reasonFor(s, broker, elapsedMillis, status, read);
  if (reason.empty()) return;
  const std::string name = escapeBytes(broker.get(kv::NAME_FIELD), false);
  fail(s.output, progress.firstFailure, "publish " + name + ": " + progress.firstRefusal + ": " +
                                            escapeBytes(reason, false));
}

int publishLines(Session& s, const kv::message& broker, const svc::PublishOrder& order,
                 bool disconnectAfter) {
  const uint64_t start = s.bus.nowMillis();
  auto progress = std::make_shared<Progress>();
  LineReader lines(s.inputFd, MAX_PAYLOAD_BYTES);
  uint64_t lineNo = 0;
  bool reading = true;
  while (reading || s.bus.inFlight() > 0) {
    std::string line;
    const bool room = reading && s.bus.inFlight() < PUBLISH_WINDOW;
    const LineReader::Result r =
        room ? lines.next(line, s.bus.inFlight() == 0) : LineReader::Result::NotReady;
    if (r == LineReader::Result::Line) {
      svc::PublishOrder publish = order;
      publish.data = std::move(line);
      const uint64_t n = ++lineNo;
      s.bus.start(svc::encode(publish), [&s, n, progress](const CallResult& result) {
        if (exitStatusFor(result) != EXIT_SUCCESS_REPLY) reportLine(s, n, result, *progress);
      });
    } else if (r == LineReader::Result::NotReady) {
      s.bus.wait();
    } else {
      reading = false;
      if (r == LineReader::Result::TooLong) {
        progress->firstFailure = fail(s.output, EXIT_ERROR_REPLY,
                                      "line " + std::to_string(lineNo + 1) + ": longer than " +
                                          std::to_string(MAX_PAYLOAD_BYTES) + " bytes; not sent");
      } else if (r == LineReader::Result::Error) {
        progress->firstFailure = fail(s.output, EXIT_ERROR_REPLY, "cannot read standard input");
      }
    }
    if (progress->firstFailure != EXIT_SUCCESS_REPLY) reading = false;
  }
  reportReason(s, broker, *progress, s.bus.nowMillis() - start);
  if (progress->firstFailure != EXIT_SUCCESS_REPLY || !disconnectAfter) {
    return progress->firstFailure;
  }
  return sendChange(s, svc::encode(svc::DisconnectOrder{order.brokerId}));
}

}  // namespace mqttctl
