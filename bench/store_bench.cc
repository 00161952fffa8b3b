// The cost of saving and loading a 100-row table in the table store.
//
// Rows are shaped like broker rows: a dozen fields, short strings. Three
// figures, each the mean over many repetitions:
//   encode  building the 100 records in memory (message, encoding, CRC-32)
//   save    a whole save: rows.tmp written, fsync, rename, directory fsync
//   load    a fresh table reading the file back (read, CRC, decode, rows)
// The files go under $KV_ROOT when it is set, else a temporary directory in
// /tmp; fsync costs depend on the file system there.
//
//   store_bench [saves [loads]]
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/amap.h"
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
  if (!tmpRoot.empty()) std::filesystem::remove_all(tmpRoot);
  return 0;
}
