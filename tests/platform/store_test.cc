#include "platform/store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/bytes.h"
#include "platform/looper.h"
#include "platform/message_codec.h"
#include "platform/system.h"
#include "support/table_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
message row(uint32_t id, const std::string& name) {
  message m;
  m.set(OBJECT_ID_FIELD, id);
  m.set(NAME_FIELD, name);
  m.set(u32_id(1), id * 7);
  return m;
}
const std::vector<message> ROWS = {row(1, "a"), row(2, std::string("n\0l", 3)), row(5, ""),
                                   row(300, "last")};

// The table fixture's temporary root, loop on a manual clock (predictable
// set-aside names) and captured platform log, with a store at "/s".
class StoreTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    fs::create_directories(root_ + "/s");
    file_ = store_.rowsPath();
  }
  // Loads the store at "/s"; checks the report against the rows returned.
  std::vector<message> load(StoreLoadReport& report) {
    std::vector<message> rows;
    platformLog_.clear();
    report = store_.load([&](uint32_t, const message& m) { rows.push_back(m); });
    EXPECT_EQ(report.rows, rows.size());
    EXPECT_EQ(report.damaged ? 1u : 0u, platformLog_.size());
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), ROWS.begin()));
    return rows;
  }
  // Writes `bytes` as the rows file, loads it, and checks what a damaged
  // file must give: `kept` rows, a log line naming the file and the
  // offset, the file set aside unchanged.
  void expectDamage(const std::string& bytes, size_t kept, uint64_t offset, const char* what = "") {
    writeFile(file_, bytes);
    StoreLoadReport report;
    ASSERT_EQ(kept, load(report).size()) << what;
    ASSERT_TRUE(report.damaged) << what;
    EXPECT_EQ(offset, report.damageOffset) << what;
    EXPECT_NE(std::string::npos, report.problem.find(what)) << report.problem;
    ASSERT_EQ(1u, platformLog_.size());
    EXPECT_NE(std::string::npos, platformLog_[0].find(file_ + ": " + report.problem + " at byte " +
                                              std::to_string(offset) + "; kept " +
                                              std::to_string(kept) + " rows; damaged file set aside"))
        << platformLog_[0];
    EXPECT_EQ(bytes, readFile(report.setAsidePath));
    EXPECT_FALSE(fs::exists(file_));
    fs::remove(report.setAsidePath);
  }
  static std::string record(const std::string& body) {
    std::string r;
    putU32(r, static_cast<uint32_t>(body.size()));
    putU32(r, crc32(body.data(), body.size()));
    return r + body;
  }

  TableStore store_{"/s"};
  std::string file_;
};

TEST_F(StoreTest, SavesAtomicallyInTheSameBytesOnEveryHost) {
  EXPECT_EQ(0xCBF43926u, crc32("123456789", 9));
  message m;
  m.set(OBJECT_ID_FIELD, 1);
  m.set(string_id(1), "ab");
  TableStore nested("/s/t/u");  // a store path below another's
  ASSERT_TRUE(nested.save({m}).isOk());
  EXPECT_EQ(std::string("KVT1\0\0\0\1"                        // magic, version
                        "\0\0\0\x18" "\x2b\xf1\x17\xfb"       // length 24, CRC-32
                        "\0\0\0\2"                            // two fields
                        "\2\0\xfe\0\x11\0\0\0\1"              // u32 0xfe0011 = 1
                        "\5\0\0\0\1\0\0\0\2" "ab", 40),       // string 1 = "ab"
            readFile(root_ + "/s/t/u/rows"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(root_ + "/s/t/u/rows").permissions() & fs::perms::all);
  StoreLoadReport report;
  EXPECT_EQ(0u, load(report).size());  // no file yet at "/s"
  ASSERT_TRUE(store_.save(ROWS).isOk());
  EXPECT_EQ(ROWS, load(report));

  {
    StoreWriter writer(store_);  // refuses rows that would spoil the file
    ASSERT_TRUE(writer.open().isOk());
    EXPECT_TRUE(writer.append(ROWS[0]).isOk());
    EXPECT_FALSE(writer.append(row(0, "zero")).isOk());
    EXPECT_FALSE(writer.append(ROWS[0]).isOk());
  }  // never committed: the stored rows stay
  EXPECT_EQ(ROWS, load(report));
  EXPECT_FALSE(fs::exists(root_ + "/s/rows.tmp"));
}

TEST_F(StoreTest, EveryFlippedByteAndEveryTruncationKeepsTheRowsBefore) {
  ASSERT_TRUE(store_.save(ROWS).isOk());
  const std::string good = readFile(file_);
  std::vector<size_t> starts{STORE_HEADER_BYTES};  // where each record starts, then the end
  while (starts.back() < good.size()) {
    const uint8_t* head = reinterpret_cast<const uint8_t*>(&good[starts.back()]);
    starts.push_back(starts.back() + STORE_RECORD_HEAD_BYTES + loadU32(head));
  }
  ASSERT_EQ(ROWS.size() + 1, starts.size());
  for (size_t pos = 0; pos < good.size(); ++pos) {
    size_t rec = 0;
    while (pos >= starts[rec + 1]) ++rec;
    std::string bad = good;
    bad[pos] = static_cast<char>(bad[pos] ^ 0x41);
    if (pos < STORE_HEADER_BYTES) expectDamage(bad, 0, pos < 4 ? 0 : 4);
    else expectDamage(bad, rec, starts[rec]);
  }
  for (size_t length = 0; length < good.size(); ++length) {
    size_t rec = 0;
    while (rec + 1 < starts.size() && starts[rec + 1] <= length) ++rec;
    if (length < STORE_HEADER_BYTES) expectDamage(good.substr(0, length), 0, 0, "header truncated");
    else if (length != starts[rec]) expectDamage(good.substr(0, length), rec, starts[rec], "truncated");
  }
}

TEST_F(StoreTest, GoodRecordsWithBadContentAreDamage) {
  const std::string header("KVT1\0\0\0\1", 8), first = record(encodeMessage(ROWS[0]));
  message noId;
  noId.set(u32_id(1), 5);
  const std::pair<std::string, const char*> cases[] = {
      {record(std::string("\0\0\0\1\x63\0\0\0\1", 9)), "row does not decode"},
      {record(encodeMessage(noId)), "row without an object id"},
      {record(encodeMessage(row(0xFFFFFFFF, "none"))), "invalid object id"},
      {first, "appears twice"},
      {std::string("\0\0\0\3\0\0\0\0abc", 11), "bad record length 3"},
      {std::string("\1\0\0\1\0\0\0\0", 8), "bad record length"},
  };
  for (const auto& c : cases) expectDamage(header + first + c.first + first, 1, 8 + first.size(), c.second);
  expectDamage("KVT2" + header.substr(4) + first, 0, 0, "bad magic");
  expectDamage(header.substr(0, 7) + '\2' + first, 0, 4, "unsupported version 2");
}

TEST_F(StoreTest, ADamagedFileIsNeverReplaced) {
  const std::string aside = file_ + ".corrupt-" + std::to_string(clock_.wallSeconds());
  StoreLoadReport report;
  for (const char* bytes : {"first", "second"}) {
    writeFile(file_, bytes);
    load(report);
  }
  EXPECT_EQ("first", readFile(aside));  // same second: a new name
  EXPECT_EQ("second", readFile(aside + "-2"));
  for (int n = 3; n <= 100; ++n) writeFile(aside + "-" + std::to_string(n), "");
  writeFile(file_, "third");
  load(report);
  ASSERT_EQ(1u, platformLog_.size());
  EXPECT_NE(std::string::npos, platformLog_[0].find("cannot set the damaged file aside")) << platformLog_[0];
  EXPECT_FALSE(store_.save(ROWS).isOk());
  EXPECT_EQ("third", readFile(file_));
}

}  // namespace
}  // namespace kv
