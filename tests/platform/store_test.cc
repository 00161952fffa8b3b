// The table store's files: their bytes, what a damaged or torn file loads
// as, and the journal replayed over the rows file.
#include "platform/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/bytes.h"
#include "platform/journal.h"
#include "platform/message_codec.h"
#include "support/table_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
// A new file each time: rewriting one in place makes the file system flush it.
void writeFile(const std::string& path, const std::string& bytes) {
  fs::remove(path);
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
  message m;
  m.set(OBJECT_ID_FIELD, 1);
  m.set(string_id(1), "ab");
  TableStore nested("/s/t/u");  // a store path below another's
  ASSERT_TRUE(nested.save({m}).isOk());
  EXPECT_EQ(2u, nested.stats().syncs);  // the file, then its directory
  const std::string record("\0\0\0\x18" "\x2b\xf1\x17\xfb"       // length 24, CRC-32
                           "\0\0\0\2"                            // two fields
                           "\2\0\xfe\0\x11\0\0\0\1"              // u32 0xfe0011 = 1
                           "\5\0\0\0\1\0\0\0\2" "ab", 32);       // string 1 = "ab"
  // Magic, version 3, generation 1, the header's CRC-32.
  EXPECT_EQ(std::string("KVT1\0\0\0\3\0\0\0\1\x13\x3d\x7a\x13", 16) + record,
            readFile(root_ + "/s/t/u/rows"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(root_ + "/s/t/u/rows").permissions() & fs::perms::all);
  StoreLoadReport report;
  EXPECT_EQ(0u, load(report).size());  // no file yet at "/s"
  writeFile(file_, std::string("KVT1\0\0\0\1", 8) + record);  // version 1: no generation
  writeFile(file_ + ".tmp", "left by a save that was cut short");
  std::vector<message> loaded;
  store_.load([&](uint32_t, const message& r) { loaded.push_back(r); });
  EXPECT_EQ(std::vector<message>{m}, loaded);
  EXPECT_FALSE(fs::exists(file_ + ".tmp"));
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
    if (pos < 8) expectDamage(bad, 0, pos < 4 ? 0 : 4);
    else if (pos < STORE_HEADER_BYTES) expectDamage(bad, 0, 12, "header CRC mismatch");
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
  expectDamage(header.substr(0, 7) + '\4' + first, 0, 4, "unsupported version 4");
}

// A rows file of ROWS[0], ROWS[1] and a journal of changes to it, each
// appended and synced on its own (as a commit does).
class JournalTest : public StoreTest {
 protected:
  using State = std::map<uint32_t, message>;
  struct Change {
    uint32_t removedId;  // 0: a put of `row`
    message row;
  };

  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(store_.save({ROWS[0], ROWS[1]}).isOk());
    State state{{1, ROWS[0]}, {2, ROWS[1]}};
    states_.push_back(state);
    const Change changes[] = {{0, ROWS[3]}, {0, row(1, "changed")}, {2, message()},
                              {0, row(7, std::string(300, 'x'))}, {1, message()}, {0, row(9, "z")}};
    for (const Change& c : changes) {
      std::string record;
      if (c.removedId) {
        appendDeleteRecord(record, c.removedId);
        state.erase(c.removedId);
      } else {
        ASSERT_TRUE(appendPutRecord(record, c.row).isOk());
        state[c.row.get(OBJECT_ID_FIELD)] = c.row;
      }
      ASSERT_TRUE(store_.appendJournal(record).isOk());
      states_.push_back(state);
      ends_.push_back(store_.journalBytes());
    }
    rows_ = readFile(file_);
    journal_ = readFile(store_.journalPath());
  }
  // Loads `journal` beside the rows file with a fresh store.
  State loadWith(const std::string& journal, StoreLoadReport& report) {
    writeFile(file_, rows_);
    writeFile(store_.journalPath(), journal);
    platformLog_.clear();
    TableStore fresh("/s");
    State loaded;
    report = fresh.load([&](uint32_t id, const message& m) { loaded[id] = m; });
    setAside_.clear();
    for (const auto& entry : fs::directory_iterator(root_ + "/s")) {
      if (entry.path().string().find(".corrupt-") == std::string::npos) continue;
      setAside_.push_back(readFile(entry.path()));
      fs::remove(entry.path());
    }
    return loaded;
  }
  // `file` (rows or journal, in the current version) with another
  // generation and a header CRC that matches it.
  static std::string withGeneration(std::string file, uint32_t generation) {
    storeU32(reinterpret_cast<uint8_t*>(&file[8]), generation);
    storeU32(reinterpret_cast<uint8_t*>(&file[12]), crc32(file.data(), 12));
    return file;
  }
  // `file` in the version before header checksums (rows 2, journal 1).
  static std::string oldVersion(std::string file) {
    file[7] = static_cast<char>(file[7] - 1);
    return file.erase(12, 4);
  }
  // Whether `journal` is still in the directory, in place or set aside.
  bool kept(const std::string& journal) const {
    return readFile(store_.journalPath()) == journal ||
           std::find(setAside_.begin(), setAside_.end(), journal) != setAside_.end();
  }

  std::vector<State> states_;  // before the changes, then after each
  std::vector<uint64_t> ends_;  // journal length after each change
  std::string rows_, journal_;
  std::vector<std::string> setAside_;  // what the last loadWith set aside
};

TEST_F(JournalTest, EveryPrefixLoadsAsTheTableAfterTheChangesItHoldsWhole) {
  for (size_t length = 0; length <= journal_.size(); ++length) {
    const size_t whole = std::upper_bound(ends_.begin(), ends_.end(), length) - ends_.begin();
    const bool boundary = length == JOURNAL_HEADER_BYTES || (whole > 0 && ends_[whole - 1] == length);
    StoreLoadReport report;
    EXPECT_EQ(states_[whole], loadWith(journal_.substr(0, length), report)) << length;
    EXPECT_FALSE(report.damaged) << length << ": " << report.problem;
    EXPECT_EQ(!boundary, report.tornJournal) << length;
    EXPECT_EQ(boundary ? 0u : 1u, platformLog_.size()) << length;
  }
  const size_t last = ends_.size() - 1;
  for (size_t pos = ends_[last - 1]; pos < ends_[last]; ++pos) {
    std::string flipped = journal_;
    flipped[pos] = static_cast<char>(flipped[pos] ^ 0x41);
    StoreLoadReport report;
    EXPECT_EQ(states_[last], loadWith(flipped, report)) << pos;  // only the last change is gone
    EXPECT_TRUE(report.rewrite()) << pos;
  }
}

TEST_F(JournalTest, TornEndsAreDroppedAndDamageElsewhereIsSetAside) {
  const size_t n = ends_.size();
  std::string record;
  appendDeleteRecord(record, 5);
  std::string badCrc = record, unknownKind = record, noId;
  badCrc[6] = static_cast<char>(badCrc[6] ^ 1);
  unknownKind[8] = 9;
  appendDeleteRecord(noId, 0);
  for (std::string* r : {&unknownKind, &noId}) storeU32(reinterpret_cast<uint8_t*>(&(*r)[4]), crc32(r->data() + 8, 5));
  // The rows file is generation 1.
  const std::string stale = withGeneration(journal_, 0), foreign = withGeneration(journal_, 7);
  std::string flipped = journal_;  // generation 0 but for the header's CRC: not a stale journal
  flipped[11] = static_cast<char>(flipped[11] ^ 1);
  const struct {
    const char* what;
    std::string journal;
    size_t changes;  // applied
    bool torn, damaged, journalStays;
  } cases[] = {
      {"zeros after the last record", journal_ + std::string(4096, '\0'), n, true, false, true},
      {"a whole last record with a bad CRC", journal_ + badCrc, n, true, false, true},
      {"a bad CRC before the end", journal_.substr(0, ends_[1]) + badCrc + journal_.substr(ends_[1]), 2, false, true, false},
      {"an unknown record kind", journal_ + unknownKind, n, false, true, false},
      {"a delete of no object", journal_ + noId, n, false, true, false},
      {"bad magic", "KVJ2" + journal_.substr(4), 0, false, true, false},
      {"a journal the rows file already holds", stale, 0, false, false, false},
      {"a journal of another rows file", foreign, 0, false, true, false},
      {"a flipped bit in the generation", flipped, 0, false, true, false},
  };
  for (const auto& c : cases) {
    StoreLoadReport report;
    EXPECT_EQ(states_[c.changes], loadWith(c.journal, report)) << c.what;
    EXPECT_EQ(c.torn, report.tornJournal) << c.what;
    EXPECT_EQ(c.damaged, report.damaged) << c.what << ": " << report.problem;
    EXPECT_EQ(c.torn || c.damaged ? 1u : 0u, platformLog_.size()) << c.what;
    EXPECT_EQ(c.journalStays, fs::exists(store_.journalPath())) << c.what;
    EXPECT_TRUE(!c.damaged || kept(c.journal)) << c.what << ": damage is set aside, never deleted";
  }
  rows_[3] = '9';  // a rows file whose generation cannot be read: its journal is not replayed
  StoreLoadReport report;
  EXPECT_EQ(State(), loadWith(journal_, report));
  EXPECT_EQ(2u, platformLog_.size());
  EXPECT_FALSE(fs::exists(store_.journalPath()));
  EXPECT_TRUE(kept(journal_));
}

TEST_F(JournalTest, FilesWrittenBeforeHeaderChecksumsLoadButAStaleJournalIsNeverDeleted) {
  const size_t n = ends_.size();
  const std::string rows = rows_;
  const struct {
    const char* what;
    std::string rows, journal;
    size_t changes;  // applied
    bool damaged;
  } cases[] = {
      {"old rows, old journal", oldVersion(rows), oldVersion(journal_), n, false},
      {"old rows, new journal", oldVersion(rows), journal_, n, false},
      {"new rows, old journal", rows, oldVersion(journal_), n, false},
      {"an old journal one generation behind", rows, oldVersion(withGeneration(journal_, 0)), 0, true},
      {"old rows one generation ahead", oldVersion(withGeneration(rows, 2)), journal_, 0, true},
  };
  for (const auto& c : cases) {
    rows_ = c.rows;
    StoreLoadReport report;
    EXPECT_EQ(states_[c.changes], loadWith(c.journal, report)) << c.what;
    EXPECT_EQ(c.damaged, report.damaged) << c.what << ": " << report.problem;
    EXPECT_TRUE(report.rewrite()) << c.what;  // into the current version
    EXPECT_TRUE(kept(c.journal)) << c.what;
  }
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
