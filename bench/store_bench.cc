// The cost of storing table rows.
//
// Rows are shaped like broker rows: a dozen fields, short strings.
//
// A 100-row table, each figure the mean over many repetitions:
//   encode  building the 100 records in memory (message, encoding, CRC-32)
//   save    a whole rows file: rows.tmp written, fsync, rename, directory fsync
//   load    a fresh table reading the file back (read, CRC, decode, rows)
//
// Adds through the bus: a hub process serves a table loaded from an empty
// store, and this process adds rows to it as a bus peer, one at a time and
// then 1000 at once in flight. Per add: the bytes the table's store wrote
// and its syncs (its own counts), the bytes the hub dirtied in the page
// cache (/proc/self/io write_bytes: whole pages, what the file system will
// write out), and the time from request to reply.
//
// The files go under $KV_ROOT when it is set, else a temporary directory in
// /tmp; fsync costs depend on the file system there.
//
//   store_bench [saves [loads]]
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/amap.h"
#include "platform/looper.h"
#include "platform/bytes.h"
#include "platform/message_codec.h"
#include "platform/root.h"
#include "platform/system.h"

namespace {

using Clock = std::chrono::steady_clock;

class BrokerLikeRow : public Object {
 public:
  std::string name, address, clientId, user, password;
  uint32_t port = 1883, keepAlive = 60, scriptLimit = 0, certificate = 0xFFFFFFFF;
  bool useSsl = false, autoConnect = true, connected = false;

  void writeTo(kv::message& out) const override {
    out.set(kv::NAME_FIELD, name);
    out.set(kv::string_id(1), address);
    out.set(kv::u32_id(2), port);
    out.set(kv::bool_id(3), useSsl);
    out.set(kv::bool_id(9), autoConnect);
    out.set(kv::bool_id(8), connected);
    out.set(kv::u32_id(10), keepAlive);
    out.set(kv::u32_id(15), scriptLimit);
    out.set(kv::string_id(4), clientId);
    out.set(kv::string_id(5), user);
    out.set(kv::string_id(6), password);
    out.set(kv::u32_id(7), certificate);
  }
  void readFrom(const kv::message& in) override {
    name = in.get(kv::NAME_FIELD, name);
    address = in.get(kv::string_id(1), address);
    port = in.get(kv::u32_id(2), port);
    useSsl = in.get(kv::bool_id(3), useSsl);
    clientId = in.get(kv::string_id(4), clientId);
    user = in.get(kv::string_id(5), user);
    password = in.get(kv::string_id(6), password);
    certificate = in.get(kv::u32_id(7), certificate);
    autoConnect = in.get(kv::bool_id(9), autoConnect);
    scriptLimit = in.get(kv::u32_id(15), scriptLimit);
    keepAlive = in.get(kv::u32_id(10), keepAlive);
  }
};

class BenchTable : public AMap {
 public:
  BenchTable() : AMap("/korv/store/bench/brokers", 1, -2) {}
  std::unique_ptr<Object> createRow() override { return std::make_unique<BrokerLikeRow>(); }
  void copyRow(Object& dst, const Object& src) override {
    static_cast<BrokerLikeRow&>(dst) = static_cast<const BrokerLikeRow&>(src);
  }
};

void fill(BenchTable& table, int rows) {
  for (int i = 0; i < rows; ++i) {
    auto row = std::make_unique<BrokerLikeRow>();
    row->name = "broker-" + std::to_string(i);
    row->address = "mqtt" + std::to_string(i) + ".example.net";
    row->clientId = "router-" + std::to_string(1000 + i);
    row->user = "user" + std::to_string(i);
    row->password = "secret" + std::to_string(i * 7919);
    row->port = 1883 + static_cast<uint32_t>(i % 2) * 7000;
    row->useSsl = i % 2 == 1;
    table.add(std::move(row), false);
  }
}

double microsPerRep(Clock::time_point start, int reps) {
  std::chrono::duration<double, std::micro> spent = Clock::now() - start;
  return spent.count() / reps;
}

// The records as the store writes them, built in memory only.
double benchEncode(BenchTable& table, int reps, size_t& fileBytes) {
  std::string out, encoded;
  const Clock::time_point start = Clock::now();
  for (int r = 0; r < reps; ++r) {
    out.clear();
    for (Object& row : table) {
      kv::message m;
      m.set(kv::OBJECT_ID_FIELD, row.id);
      row.writeTo(m);
      encoded.clear();
      kv::encodeMessage(m, encoded);
      kv::putU32(out, static_cast<uint32_t>(encoded.size()));
      kv::putU32(out, kv::crc32(encoded.data(), encoded.size()));
      out += encoded;
    }
  }
  fileBytes = kv::STORE_HEADER_BYTES + out.size();
  return microsPerRep(start, reps);
}

double benchSave(BenchTable& table, int reps) {
  const Clock::time_point start = Clock::now();
  for (int r = 0; r < reps; ++r) {
    table.markChanged();
    if (!table.flush().isOk()) {
      fprintf(stderr, "save failed\n");
      exit(1);
    }
  }
  return microsPerRep(start, reps);
}

double benchLoad(int reps, size_t rows) {
  const Clock::time_point start = Clock::now();
  for (int r = 0; r < reps; ++r) {
    BenchTable table;
    if (!table.init().isOk() || table.size() != rows) {
      fprintf(stderr, "load failed\n");
      exit(1);
    }
  }
  return microsPerRep(start, reps);
}

// ---- Adds through the bus ---------------------------------------------------

constexpr uint32_t TABLE_PATH = 2;

// What the hub's table wrote while serving.
struct HubFigures {
  uint64_t bytes, syncs, pageBytes, writes;
};

uint64_t dirtiedBytes() {
  FILE* io = fopen("/proc/self/io", "r");
  unsigned long long value = 0;
  char line[128];
  while (io && fgets(line, sizeof line, io)) {
    if (sscanf(line, "write_bytes: %llu", &value) == 1) break;
  }
  if (io) fclose(io);
  return value;
}

// Serves a BenchTable at [TABLE_PATH] until SIGTERM, then writes its figures
// to `out`.
pid_t startHub(const std::string& busPath, int out) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Hub;
  options.busPath = busPath;
  options.catchSignals = true;
  kv::Looper hub(options);
  BenchTable table;
  table.init();
  hub.addHandler(TABLE_PATH, &table);
  const uint64_t pagesBefore = dirtiedBytes();
  hub.run();
  table.flush();
  const HubFigures figures{table.storeStats().bytesWritten, table.storeStats().syncs,
                           dirtiedBytes() - pagesBefore, table.saveCount()};
  _exit(write(out, &figures, sizeof figures) == sizeof figures ? 0 : 1);
}

kv::message addRequest(uint32_t n) {
  BrokerLikeRow row;
  row.name = "broker-" + std::to_string(n);
  row.address = "mqtt" + std::to_string(n) + ".example.net";
  row.clientId = "router-" + std::to_string(1000 + n);
  row.user = "user" + std::to_string(n);
  row.password = "secret" + std::to_string(n * 7919);
  kv::message m;
  row.writeTo(m);
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{TABLE_PATH});
  m.set(kv::COMMAND_FIELD, kv::CMD_ADD_OBJ);
  return m;
}

// A peer of the hub at `busPath`, once it listens.
std::unique_ptr<kv::Looper> connect(const std::string& busPath) {
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.busPath = busPath;
  for (int tries = 0; tries < 500; ++tries) {
    auto peer = std::make_unique<kv::Looper>(options);
    if (peer->status().isOk()) return peer;
    peer.reset();
    usleep(10 * 1000);
  }
  fprintf(stderr, "cannot reach the hub at %s\n", busPath.c_str());
  exit(1);
}

// Sends `total` adds keeping `window` in flight; returns each one's latency.
std::vector<double> sendAdds(kv::Looper& peer, uint32_t total, uint32_t window, double& seconds) {
  std::vector<double> latenciesUs;
  uint32_t sent = 0, done = 0;
  const Clock::time_point start = Clock::now();
  while (done < total) {
    for (; sent < total && sent - done < window; ++sent) {
      const Clock::time_point t0 = Clock::now();
      peer.postMessage(addRequest(sent), [&, t0](const kv::message& reply) {
        if (kv::isError(reply)) fprintf(stderr, "add failed: %s\n", kv::getError(reply).c_str());
        ++done;
        latenciesUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }, 60000);
    }
    peer.turn(100);
  }
  seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return latenciesUs;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// One run against a fresh hub and store under `root`.
void benchAdds(const char* name, const std::string& root, uint32_t total, uint32_t window) {
  setenv(kv::ROOT_ENV, root.c_str(), 1);
  const std::string busPath = root + "/bus";
  std::filesystem::create_directories(root);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) exit(1);
  const pid_t hub = startHub(busPath, pipeFds[1]);
  double seconds = 0;
  std::vector<double> latenciesUs;
  {
    std::unique_ptr<kv::Looper> peer = connect(busPath);
    latenciesUs = sendAdds(*peer, total, window, seconds);
  }
  kill(hub, SIGTERM);
  HubFigures f{};
  if (read(pipeFds[0], &f, sizeof f) != sizeof f) fprintf(stderr, "no figures from the hub\n");
  waitpid(hub, nullptr, 0);
  close(pipeFds[0]);
  close(pipeFds[1]);
  const double n = total;
  printf("  %-16s %5u %10.1f %9.3f %10.0f %9.1f %9.1f %8.0f %7llu\n", name, total, f.bytes / n,
         f.syncs / n, f.pageBytes / n, percentile(latenciesUs, 0.5), percentile(latenciesUs, 0.99),
         n / seconds, static_cast<unsigned long long>(f.writes));
}

}  // namespace

int main(int argc, char** argv) {
  const int saves = argc > 1 ? atoi(argv[1]) : 500;
  const int loads = argc > 2 ? atoi(argv[2]) : 5000;
  std::string tmpRoot;
  if (kv::rootDir().empty()) {
    char tmpl[] = "/tmp/store-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    tmpRoot = tmpl;
    setenv(kv::ROOT_ENV, tmpRoot.c_str(), 1);
  }
  double encodeUs = 0, saveUs = 0, loadUs = 0;
  size_t fileBytes = 0;
  {
    BenchTable table;
    fill(table, 100);
    encodeUs = benchEncode(table, loads, fileBytes);
    saveUs = benchSave(table, saves);
    loadUs = benchLoad(loads, table.size());
  }
  printf("table store, 100 broker-like rows (%zu bytes), files under %s\n", fileBytes,
         kv::rootDir().c_str());
  printf("  encode: %9.1f us per table (%d reps)\n", encodeUs, loads);
  printf("  save:   %9.1f us per save, fsync included (%d reps)\n", saveUs, saves);
  printf("  load:   %9.1f us per load (%d reps)\n", loadUs, loads);
  printf("\nadds through the bus, broker-like rows, per add (latency in us)\n");
  printf("  %-16s %5s %10s %9s %10s %9s %9s %8s %7s\n", "", "adds", "bytes", "syncs",
         "page bytes", "p50", "p99", "adds/s", "writes");
  const std::string base = kv::rootDir();
  benchAdds("one at a time", base + "/single", 1000, 1);
  benchAdds("1000 in flight", base + "/burst", 1000, 1000);
  setenv(kv::ROOT_ENV, base.c_str(), 1);
  if (!tmpRoot.empty()) std::filesystem::remove_all(tmpRoot);
  return 0;
}
