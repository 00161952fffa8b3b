// Bus round trips: requests per second and latency between processes.
//
// A hub process serves an echo handler at path [7]; peer processes send it
// requests over the bus socket:
//   1. one peer, one request at a time (latency);
//   2. one peer keeping a window of requests in flight (pipelining);
//   3. several peers at once, each pipelining.
// Prints the figures; asserts nothing.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/looper.h"

namespace {

using Clock = std::chrono::steady_clock;

class Echo : public kv::Handler {
  void handleCmd(kv::message& request, uint32_t) override {
    kv::message reply;
    reply.set(kv::u32_id(1), request.get(kv::u32_id(1)));
    replyMessage(request, reply);
  }
};

kv::message request(uint32_t i) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{7});
  m.set(kv::COMMAND_FIELD, 1u);
  m.set(kv::u32_id(1), i);
  m.set(kv::string_id(2), std::string(64, 'p'));  // a typical small payload
  return m;
}

pid_t startHub(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    kv::LooperOptions options;
    options.mode = kv::LooperOptions::Mode::Hub;
    options.busPath = path;
    options.catchSignals = true;
    kv::Looper hub(options);
    Echo echo;
    hub.addHandler(7, &echo);
    hub.run();
    _exit(0);
  }
  return pid;
}

struct Result {
  double seconds;
  std::vector<double> latenciesUs;
};

// Sends `total` requests keeping at most `window` in flight.
Result runPeer(const std::string& path, uint32_t total, uint32_t window) {
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = path;
  kv::Looper peer(options);
  if (!peer.status().isOk()) {
    fprintf(stderr, "peer: %s\n", peer.status().toString().c_str());
    exit(1);
  }
  Result result{0, {}};
  result.latenciesUs.reserve(total);
  uint32_t sent = 0, done = 0;
  auto start = Clock::now();
  auto sendOne = [&]() {
    auto t0 = Clock::now();
    peer.postMessage(request(sent++), [&, t0](const kv::message&) {
      ++done;
      result.latenciesUs.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }, 6000);
  };
  while (done < total) {
    while (sent < total && sent - done < window) sendOne();
    peer.turn(100);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void report(const char* name, uint32_t total, const Result& r) {
  printf("%-34s %9.0f req/s   latency p50 %7.1f us  p99 %7.1f us\n", name,
         total / r.seconds, percentile(r.latenciesUs, 0.5), percentile(r.latenciesUs, 0.99));
}

void severalPeers(const std::string& path, int peers, uint32_t each, uint32_t window) {
  auto start = Clock::now();
  std::vector<pid_t> children;
  for (int i = 0; i < peers; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      runPeer(path, each, window);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  printf("%d peers, window %-3u                %9.0f req/s   (all peers together)\n", peers,
         window, peers * each / seconds);
}

}  // namespace

int main() {
  char dir[] = "/tmp/bus-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string path = std::string(dir) + "/bus";
  pid_t hub = startHub(path);
  usleep(200 * 1000);  // let the hub bind before the peers connect

  const uint32_t total = 20000;
  report("1 peer, one at a time", total, runPeer(path, total, 1));
  report("1 peer, window 16", total, runPeer(path, total, 16));
  report("1 peer, window 64", total, runPeer(path, total, 64));
  severalPeers(path, 4, total, 16);

  kill(hub, SIGTERM);
  waitpid(hub, nullptr, 0);
  rmdir(dir);
  return 0;
}
