// kv::lstream: an output stream whose lines go to the system log.
//
// The system log listens on a Unix datagram socket at the root-mapped path
// "/ram/logsocket". Each line written to the stream (ended by '\n' or a
// flush) becomes one datagram, in ASCII:
//
//   "<" level ">" source " " text
//
// e.g. "<5>78 started". `source` names the program (78: the MQTT service),
// `level` is a syslog severity (3 error, 2 critical ... 5 notice), and the
// text carries no end of line. A line longer than MAX_LINE bytes is cut.
// Sending never blocks and never fails the writer: when the log is not
// there or is full, the line is dropped.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace kv {

class LogBuf : public std::streambuf {
 public:
  static constexpr size_t MAX_LINE = 4096;
  LogBuf(int source, int level, const std::string& socketPath);
  ~LogBuf() override;
  LogBuf(const LogBuf&) = delete;
  LogBuf& operator=(const LogBuf&) = delete;

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void send();

  int source_;
  int level_;
  std::string path_;
  int fd_;
  std::string line_;
};

class lstream : public std::ostream {
 public:
  // `flags` is reserved and must be 0.
  lstream(int source, int level, int flags);
  // For tests: a socket path of its own instead of the root-mapped one.
  lstream(int source, int level, const std::string& socketPath);

 private:
  LogBuf buf_;
};

}  // namespace kv
