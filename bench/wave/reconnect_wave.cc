// Reconnect waves: how a daemon with many brokers comes back to a broker
// that went away.
//
// N broker rows (each its own client identifier, automatic connection on)
// are connected to one mosquitto on loopback. The broker is stopped, and a
// listener of the benchmark's own takes its address and records when each
// connection arrives:
//
//   first wave   the reconnections that follow the broker's stop; the
//                listener accepts each and holds it (no CONNACK), so no
//                client tries twice
//   second wave  the listener then closes every held connection and from
//                then on closes each one as it accepts it; the attempts that
//                follow those closes
//
// For each wave: how many arrived, the first and last arrival after the
// event that caused them, the spread (first to last) and the most arrivals
// in any 100 ms. Nothing is asserted.
//
//   wave_bench [--rows N] [--wave-seconds S]
//     N  broker rows (default 500)
//     S  the longest the listener waits for one wave (default 60)
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "broker/daemon.h"
#include "platform/system.h"
#include "support/mosquitto.h"

namespace {

constexpr uint32_t BURST_WINDOW_US = 100 * 1000;

int64_t monotonicUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct Settings {
  uint32_t rows = 500;
  uint32_t waveSeconds = 60;
};

bool parseSettings(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--rows" && hasValue) {
      settings.rows = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--wave-seconds" && hasValue) {
      settings.waveSeconds = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
    } else {
      fprintf(stderr, "usage: wave_bench [--rows N] [--wave-seconds S]\n");
      return false;
    }
  }
  return settings.rows > 0 && settings.waveSeconds > 0;
}

// ---- The daemon's rows ----------------------------------------------------------

kv::message request(uint32_t handler) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{handler});
  return m;
}

// Adds `rows` broker rows for 127.0.0.1:`port` with automatic connection
// and connects each by command (a row added while the daemon runs connects
// by itself only once a command has named it).
bool addConnectedRows(BenchDaemon& daemon, uint16_t port, uint32_t rows) {
  for (uint32_t i = 1; i <= rows; ++i) {
    kv::message row = request(2);
    row.set(kv::NAME_FIELD, "wave-" + std::to_string(i));
    row.set(kv::string_id(1), "127.0.0.1");
    row.set(kv::u32_id(2), uint32_t{port});
    row.set(kv::string_id(4), "wave-" + std::to_string(i));
    row.set(kv::bool_id(9), true);
    const kv::message added = daemon.exchange(row, kv::CMD_ADD_OBJ);
    kv::message connect = request(1);
    connect.set(kv::u32_id(1), added.get(kv::OBJECT_ID_FIELD, 0));
    const kv::message connected = kv::isError(added) ? added : daemon.exchange(connect, 2);
    if (kv::isError(connected)) {
      fprintf(stderr, "wave_bench: row %u: %s\n", i, kv::getError(connected).c_str());
      return false;
    }
  }
  return true;
}

// ---- The listener ---------------------------------------------------------------

// Listens on 127.0.0.1:port and stamps every connection it accepts.
class ArrivalListener {
 public:
  explicit ArrivalListener(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, SOMAXCONN) != 0) {
      fprintf(stderr, "wave_bench: listen on port %u: %s\n", port, strerror(errno));
      close(fd_);
      fd_ = -1;
    }
  }
  ~ArrivalListener() {
    closeHeld();
    if (fd_ >= 0) close(fd_);
  }
  ArrivalListener(const ArrivalListener&) = delete;
  ArrivalListener& operator=(const ArrivalListener&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Accepts until `count` connections have arrived or `deadlineUs` passes;
  // their arrival times. Held connections stay open until closeHeld().
  std::vector<int64_t> collect(uint32_t count, int64_t deadlineUs, bool hold) {
    std::vector<int64_t> arrivals;
    while (arrivals.size() < count) {
      const int64_t left = deadlineUs - monotonicUs();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left / 1000 + 1, 1000))) <= 0) continue;
      while (arrivals.size() < count) {
        const int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) break;
        arrivals.push_back(monotonicUs());
        if (hold) {
          held_.push_back(conn);
        } else {
          close(conn);
        }
      }
    }
    return arrivals;
  }

  void closeHeld() {
    for (int conn : held_) close(conn);
    held_.clear();
  }

 private:
  int fd_ = -1;
  std::vector<int> held_;
};

// ---- Figures --------------------------------------------------------------------

// The most arrivals within any BURST_WINDOW_US. REQUIRES: sorted.
size_t mostInWindow(const std::vector<int64_t>& arrivals) {
  size_t most = 0;
  for (size_t first = 0, last = 0; last < arrivals.size(); ++last) {
    while (arrivals[last] - arrivals[first] >= BURST_WINDOW_US) ++first;
    most = std::max(most, last - first + 1);
  }
  return most;
}

void printWave(const char* name, const std::vector<int64_t>& arrivals, int64_t sinceUs,
               uint32_t rows) {
  printf("  %s: %zu of %u arrived", name, arrivals.size(), rows);
  if (arrivals.empty()) {
    printf("\n");
    return;
  }
  const double first = (arrivals.front() - sinceUs) / 1e6, last = (arrivals.back() - sinceUs) / 1e6;
  const size_t most = mostInWindow(arrivals);
  printf(", first +%.3f s, last +%.3f s\n", first, last);
  printf("    spread (first to last)     %10.1f ms\n", (arrivals.back() - arrivals.front()) / 1e3);
  printf("    most arrivals in 100 ms    %10zu  (%.1f%% of the rows)\n", most,
         100.0 * static_cast<double>(most) / rows);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parseSettings(argc, argv, settings)) return 2;
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  testsupport::MosquittoOptions options;
  options.logTypes = {"error", "warning"};
  testsupport::Mosquitto broker(options);
  if (!broker.start()) {
    fprintf(stderr, "wave_bench: %s\n", broker.startError().c_str());
    return 1;
  }
  BenchDaemon daemon(MQTTD_BIN, {});
  if (!daemon.launch() || !addConnectedRows(daemon, broker.port(), settings.rows)) return 1;
  printf("%u broker rows with automatic connection, connected to mosquitto on 127.0.0.1:%u\n",
         settings.rows, broker.port());

  broker.stop();
  const int64_t dropped = monotonicUs();
  ArrivalListener listener(broker.port());
  if (!listener.ok()) return 1;
  const int64_t waveUs = int64_t{settings.waveSeconds} * 1000000;
  const std::vector<int64_t> first = listener.collect(settings.rows, dropped + waveUs, true);
  const int64_t closed = monotonicUs();
  listener.closeHeld();
  const std::vector<int64_t> second = listener.collect(settings.rows, closed + waveUs, false);

  printWave("first wave, after the broker stopped", first, dropped, settings.rows);
  printWave("second wave, after the listener closed the first", second, closed, settings.rows);
  return 0;
}
