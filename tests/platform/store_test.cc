#include "platform/store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/looper.h"
#include "platform/message_codec.h"
#include "platform/root.h"
#include "platform/system.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

const char* const STORE_PATH = "/korv/store/test/widgets";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

message row(uint32_t id, const std::string& name, uint32_t value) {
  message m;
  m.set(OBJECT_ID_FIELD, id);
  m.set(NAME_FIELD, name);
  m.set(u32_id(1), value);
  m.set(bool_id(2), value % 2 == 1);
  return m;
}

std::vector<message> sampleRows() {
  return {row(1, "first", 10), row(2, "second", 21), row(5, std::string("nul\0byte", 8), 5),
          row(9, "", 0), row(300, "last", 0xFFFFFFFF)};
}

// A temporary root directory, a standalone loop on a manual clock (so the
// set-aside names are predictable) and the captured platform log.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvstore-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    setenv(ROOT_ENV, root_.c_str(), 1);
    LooperOptions options;
    options.clock = &clock_;
    options.log = [this](int, const std::string& text) { log_.push_back(text); };
    loop_ = std::make_unique<Looper>(options);
  }
  void TearDown() override {
    loop_.reset();
    unsetenv(ROOT_ENV);
    fs::remove_all(root_);
  }

  std::string dir() const { return root_ + STORE_PATH; }
  std::string rowsFile() const { return dir() + "/rows"; }

  std::vector<message> load(StoreLoadReport* reportOut = nullptr) {
    std::vector<message> rows;
    TableStore store(STORE_PATH);
    StoreLoadReport report = store.load([&](uint32_t id, const message& m) {
      EXPECT_EQ(id, m.get(OBJECT_ID_FIELD));
      rows.push_back(m);
    });
    EXPECT_EQ(report.rows, rows.size());
    if (reportOut) *reportOut = report;
    return rows;
  }

  // Byte offsets where each record of a rows file starts, and its end.
  static std::vector<size_t> recordStarts(const std::string& bytes) {
    std::vector<size_t> starts;
    size_t pos = STORE_HEADER_BYTES;
    while (pos < bytes.size()) {
      starts.push_back(pos);
      pos += STORE_RECORD_HEAD_BYTES + loadU32(reinterpret_cast<const uint8_t*>(&bytes[pos]));
    }
    starts.push_back(bytes.size());
    return starts;
  }

  size_t setAsideCount() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir())) {
      if (entry.path().filename().string().rfind("rows.corrupt-", 0) == 0) ++n;
    }
    return n;
  }

  ManualClock clock_;
  std::string root_;
  std::unique_ptr<Looper> loop_;
  std::vector<std::string> log_;
};

TEST(Crc32Test, MatchesTheStandardCheckValues) {
  EXPECT_EQ(0xCBF43926u, crc32("123456789", 9));
  EXPECT_EQ(0u, crc32("", 0));
  EXPECT_EQ(crc32("123456789", 9), crc32("6789", 4, crc32("12345", 5)));
}

TEST_F(StoreTest, SavedRowsLoadBackInOrder) {
  TableStore store(STORE_PATH);
  ASSERT_TRUE(store.save(sampleRows()).isOk());
  StoreLoadReport report;
  std::vector<message> loaded = load(&report);
  EXPECT_EQ(sampleRows(), loaded);
  EXPECT_TRUE(report.found);
  EXPECT_FALSE(report.damaged);
  EXPECT_TRUE(log_.empty());
  EXPECT_FALSE(fs::exists(dir() + "/rows.tmp"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(rowsFile()).permissions() & fs::perms::all);

  ASSERT_TRUE(store.save({row(7, "only", 1)}).isOk());  // replaces, not appends
  EXPECT_EQ(std::vector<message>{row(7, "only", 1)}, load());
}

TEST_F(StoreTest, FileBytesAreTheSameOnEveryHost) {
  message m;
  m.set(OBJECT_ID_FIELD, 1);
  m.set(string_id(1), "ab");
  ASSERT_TRUE(TableStore(STORE_PATH).save({m}).isOk());
  const std::string expected(
      "KVT1\x00\x00\x00\x01"                     // magic, version 1
      "\x00\x00\x00\x18" "\x2b\xf1\x17\xfb"      // length 24, CRC-32
      "\x00\x00\x00\x02"                         // two fields
      "\x02\x00\xfe\x00\x11\x00\x00\x00\x01"     // u32 0xfe0011 = 1
      "\x05\x00\x00\x00\x01\x00\x00\x00\x02" "ab",  // string 1 = "ab"
      40);
  EXPECT_EQ(expected, readFile(rowsFile()));
}

TEST_F(StoreTest, MissingFileIsAnEmptyTableAndNestedStorePathsAreSeparate) {
  StoreLoadReport report;
  EXPECT_TRUE(load(&report).empty());
  EXPECT_FALSE(report.found);
  EXPECT_FALSE(report.damaged);

  // One table's path below another's: both directories hold their own rows.
  TableStore outer("/korv/store/iot/mqtt/subscriptions");
  TableStore inner("/korv/store/iot/mqtt/subscriptions/recv");
  ASSERT_TRUE(inner.save({row(1, "inner", 1)}).isOk());
  ASSERT_TRUE(outer.save({row(1, "outer", 2), row(2, "outer", 3)}).isOk());
  size_t innerRows = 0, outerRows = 0;
  inner.load([&](uint32_t, const message&) { ++innerRows; });
  outer.load([&](uint32_t, const message&) { ++outerRows; });
  EXPECT_EQ(1u, innerRows);
  EXPECT_EQ(2u, outerRows);
  EXPECT_EQ(root_ + "/korv/store/iot/mqtt/subscriptions/recv/rows", inner.rowsPath());
}

TEST_F(StoreTest, WriterRefusesRowsThatWouldMakeABadFile) {
  TableStore store(STORE_PATH);
  StoreWriter writer(store);
  ASSERT_TRUE(writer.open().isOk());
  ASSERT_TRUE(writer.append(row(4, "a", 1)).isOk());
  message noId;
  noId.set(u32_id(1), 1);
  EXPECT_EQ(Status::Kind::Malformed, writer.append(noId).kind());
  EXPECT_EQ(Status::Kind::Malformed, writer.append(row(0, "zero", 1)).kind());
  EXPECT_EQ(Status::Kind::Malformed, writer.append(row(0xFFFFFFFF, "none", 1)).kind());
  EXPECT_EQ(Status::Kind::Malformed, writer.append(row(4, "again", 1)).kind());
  EXPECT_EQ(Status::Kind::Malformed, writer.append(row(3, "lower", 1)).kind());
  message huge = row(6, "", 0);
  huge.set(string_id(3), std::string(MAX_ENCODED_MESSAGE, 'x'));
  EXPECT_EQ(Status::Kind::TooLarge, writer.append(huge).kind());
  ASSERT_TRUE(writer.append(row(8, "b", 2)).isOk());
  ASSERT_TRUE(writer.commit().isOk());
  EXPECT_EQ((std::vector<message>{row(4, "a", 1), row(8, "b", 2)}), load());
}

TEST_F(StoreTest, AnUncommittedSaveLeavesTheStoredRowsAlone) {
  TableStore store(STORE_PATH);
  ASSERT_TRUE(store.save(sampleRows()).isOk());
  {
    StoreWriter writer(store);
    ASSERT_TRUE(writer.open().isOk());
    ASSERT_TRUE(writer.append(row(1, "unfinished", 1)).isOk());
  }
  EXPECT_FALSE(fs::exists(dir() + "/rows.tmp"));
  EXPECT_EQ(sampleRows(), load());
}

// Every byte of the file flipped in turn: the rows of the records before
// the damaged one are kept, nothing else, and the damaged file is kept
// aside byte for byte.
TEST_F(StoreTest, FlippedByteKeepsTheRowsBeforeTheDamage) {
  ASSERT_TRUE(TableStore(STORE_PATH).save(sampleRows()).isOk());
  const std::string good = readFile(rowsFile());
  const std::vector<size_t> starts = recordStarts(good);
  ASSERT_EQ(sampleRows().size() + 1, starts.size());
  size_t record = 0;
  for (size_t pos = 0; pos < good.size(); ++pos) {
    while (record + 1 < starts.size() && pos >= starts[record + 1]) ++record;
    const bool inHeader = pos < STORE_HEADER_BYTES;
    std::string bad = good;
    bad[pos] = static_cast<char>(bad[pos] ^ 0x41);
    writeFile(rowsFile(), bad);
    log_.clear();
    StoreLoadReport report;
    std::vector<message> loaded = load(&report);
    const size_t kept = inHeader ? 0 : record;
    ASSERT_TRUE(report.damaged) << "byte " << pos;
    ASSERT_EQ(kept, loaded.size()) << "byte " << pos;
    EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), sampleRows().begin()));
    ASSERT_EQ(1u, log_.size());
    const size_t at = inHeader ? (pos < 4 ? 0 : 4) : starts[record];
    const std::string where = " at byte " + std::to_string(at) + ";";
    EXPECT_NE(std::string::npos, log_[0].find(rowsFile())) << log_[0];
    EXPECT_NE(std::string::npos, log_[0].find(where)) << log_[0];
    EXPECT_NE(std::string::npos, log_[0].find("kept " + std::to_string(kept) + " rows")) << log_[0];
    EXPECT_FALSE(fs::exists(rowsFile()));
    EXPECT_EQ(bad, readFile(report.setAsidePath));
    fs::remove(report.setAsidePath);
  }
}

TEST_F(StoreTest, TruncatedFileKeepsTheCompleteRecords) {
  ASSERT_TRUE(TableStore(STORE_PATH).save(sampleRows()).isOk());
  const std::string good = readFile(rowsFile());
  const std::vector<size_t> starts = recordStarts(good);
  for (size_t length = 0; length < good.size(); ++length) {
    writeFile(rowsFile(), good.substr(0, length));
    StoreLoadReport report;
    std::vector<message> loaded = load(&report);
    size_t complete = 0;
    while (complete + 1 < starts.size() && starts[complete + 1] <= length) ++complete;
    ASSERT_EQ(complete, loaded.size()) << "length " << length;
    // A cut exactly between records reads as a shorter table.
    const bool atBoundary = length >= STORE_HEADER_BYTES && length == starts[complete];
    ASSERT_EQ(!atBoundary, report.damaged) << "length " << length;
    if (report.damaged) {
      EXPECT_EQ(good.substr(0, length), readFile(report.setAsidePath));
      fs::remove(report.setAsidePath);
    }
  }
}

TEST_F(StoreTest, WellFormedRecordsWithBadContentAreDamage) {
  auto record = [](const std::string& body) {
    std::string r;
    putU32(r, static_cast<uint32_t>(body.size()));
    putU32(r, crc32(body.data(), body.size()));
    return r + body;
  };
  message noId;
  noId.set(u32_id(1), 5);
  const std::string header("KVT1\0\0\0\1", 8);
  const std::string first = record(encodeMessage(row(3, "ok", 1)));
  fs::create_directories(dir());
  const struct {
    std::string second;
    const char* problem;
  } cases[] = {
      {record(std::string("\0\0\0\1\x63\0\0\0\1", 9)), "row does not decode"},
      {record(encodeMessage(noId)), "row without an object id"},
      {record(encodeMessage(row(0, "zero", 1))), "invalid object id"},
      {record(encodeMessage(row(0xFFFFFFFF, "none", 1))), "invalid object id"},
      {record(encodeMessage(row(3, "twice", 1))), "appears twice"},
      {std::string("\0\0\0\3\0\0\0\0abc", 11), "bad record length 3"},
      {std::string("\x01\0\0\1\0\0\0\0", 8), "bad record length"},
  };
  for (const auto& c : cases) {
    writeFile(rowsFile(), header + first + c.second + first);
    log_.clear();
    StoreLoadReport report;
    EXPECT_EQ(1u, load(&report).size()) << c.problem;
    EXPECT_NE(std::string::npos, report.problem.find(c.problem)) << report.problem;
    EXPECT_EQ(header.size() + first.size(), report.damageOffset) << c.problem;
    ASSERT_EQ(1u, log_.size());
    fs::remove(report.setAsidePath);
  }
  writeFile(rowsFile(), std::string("KVT1\0\0\0\2", 8) + first);
  StoreLoadReport report;
  EXPECT_TRUE(load(&report).empty());
  EXPECT_NE(std::string::npos, report.problem.find("unsupported version 2"));
}

TEST_F(StoreTest, SetAsideNeverReplacesAnEarlierDamagedFile) {
  const std::string base = rowsFile() + ".corrupt-" + std::to_string(clock_.wallSeconds());
  fs::create_directories(dir());
  writeFile(rowsFile(), "first damaged file");
  StoreLoadReport report;
  load(&report);
  EXPECT_EQ(base, report.setAsidePath);
  writeFile(rowsFile(), "second damaged file");
  load(&report);  // same second
  EXPECT_EQ(base + "-2", report.setAsidePath);
  EXPECT_EQ("first damaged file", readFile(base));
  EXPECT_EQ("second damaged file", readFile(base + "-2"));
  EXPECT_EQ(2u, setAsideCount());
}

TEST_F(StoreTest, ADamagedFileThatCannotBeSetAsideIsNotSavedOver) {
  const std::string base = rowsFile() + ".corrupt-" + std::to_string(clock_.wallSeconds());
  fs::create_directories(dir());
  writeFile(base, "x");
  for (int n = 2; n <= 100; ++n) writeFile(base + "-" + std::to_string(n), "x");
  writeFile(rowsFile(), "damaged");
  TableStore store(STORE_PATH);
  StoreLoadReport report = store.load([](uint32_t, const message&) {});
  EXPECT_TRUE(report.damaged);
  EXPECT_TRUE(report.setAsidePath.empty());
  ASSERT_EQ(1u, log_.size());
  EXPECT_NE(std::string::npos, log_[0].find("cannot set the damaged file aside")) << log_[0];
  EXPECT_FALSE(store.save(sampleRows()).isOk());
  EXPECT_EQ("damaged", readFile(rowsFile()));
}

TEST(StoreLogTest, GoesToStandardErrorWithoutALoop) {
  ASSERT_EQ(nullptr, getLooper());
  ::testing::internal::CaptureStderr();
  storeLog(LOG_LEVEL_ERROR, "store: a line");
  EXPECT_EQ("kv: store: a line\n", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace kv
