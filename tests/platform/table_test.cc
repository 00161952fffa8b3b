#include "platform/amap.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/aholder.h"
#include "platform/looper.h"
#include "support/table_fixture.h"

namespace {

const char* const STORE_PATH = "/korv/store/test/gadgets";
constexpr uint32_t TABLE = 7, HOLDER = 9;

// A row like the service's: a name, a number, a note written only when it
// is not empty.
struct Gadget : Object {
  std::string name, note;
  uint32_t size = 1;
  void writeTo(kv::message& out) const override {
    out.set(kv::NAME_FIELD, name);
    out.set(kv::u32_id(1), size);
    if (!note.empty()) out.set(kv::string_id(3), note);
  }
  void readFrom(const kv::message& in) override {
    name = in.get(kv::NAME_FIELD, name);
    size = in.get(kv::u32_id(1), size);
    note = in.get(kv::string_id(3), note);
  }
};
Gadget& gadget(Object& row) { return static_cast<Gadget&>(row); }
std::unique_ptr<Gadget> make(const std::string& name, uint32_t size = 1) {
  auto g = std::make_unique<Gadget>();
  g->name = name;
  g->size = size;
  return g;
}

// A table whose checks the tests set; it records its notifications.
struct GadgetTable : AMap {
  explicit GadgetTable(int interval = -2, const char* path = STORE_PATH) : AMap(path, 1, interval) {}
  std::function<kv::message(Object&)> onAdd, onRemove;
  std::function<kv::message(Object&, Object&)> onSet;
  std::vector<std::string> events;

  std::unique_ptr<Object> createRow() override { return std::make_unique<Gadget>(); }
  void copyRow(Object& dst, const Object& src) override { gadget(dst) = static_cast<const Gadget&>(src); }
  kv::message checkAdd(Object& r) override { return onAdd ? onAdd(r) : kv::message(); }
  kv::message checkSet(Object& e, Object& r) override { return onSet ? onSet(e, r) : kv::message(); }
  kv::message checkRemove(Object& r) override { return onRemove ? onRemove(r) : kv::message(); }
  void rowAdded(Object& r) override { events.push_back("added " + std::to_string(r.id)); }
  void rowChanged(Object& r) override { events.push_back("changed " + std::to_string(r.id)); }
  void rowRemoved(Object& r) override { events.push_back("removed " + std::to_string(r.id)); }
  std::vector<uint32_t> ids() {
    std::vector<uint32_t> out;
    for (Object& row : *this) out.push_back(row.id);
    return out;
  }
};

class TableTest : public TableFixture {
 protected:
  static kv::message with(uint32_t id, uint32_t size = 0) {
    kv::message m;
    m.set(kv::OBJECT_ID_FIELD, id);
    if (size) m.set(kv::u32_id(1), size);
    return m;
  }
};

TEST_F(TableTest, RowsInIdOrderAndRemovalWhileWalking) {
  GadgetTable table;
  for (uint32_t i = 1; i <= 8; ++i) EXPECT_EQ(i, table.add(make("g", i), i == 8));
  EXPECT_EQ("g", gadget(*table.find(3)).name);
  EXPECT_TRUE(table.find(9) == table.end());
  EXPECT_EQ(nullptr, table.findRow(0));
  std::vector<uint32_t> visited;
  for (AMapIterator it = table.begin(); it != table.end();) {
    visited.push_back(it->id);
    it = it->id % 2 == 0 ? table.remove(it) : std::next(it);
  }
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}), visited);
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 5, 7}), table.ids());
  EXPECT_EQ(9u, table.add(make("h"), false));  // 8 was freed but is not reused
  EXPECT_EQ("added 8", table.events.front());
  EXPECT_EQ("removed 8", table.events.back());
}

TEST_F(TableTest, GenericCommandsAndRefusalsPassedOnUnchanged) {
  GadgetTable table;
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  kv::message lamp = with(7, 40);  // the id of an add request is not used
  lamp.set(kv::NAME_FIELD, "lamp");
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  kv::message row = with(1);
  row.set(kv::NAME_FIELD, "lamp");
  row.set(kv::u32_id(1), 40);
  EXPECT_EQ(row, call(TABLE, kv::CMD_GET_OBJ, with(1)));  // id first, then writeTo order
  Object* stored = table.findRow(1);

  kv::message refusal = kv::failedMsg("Gadget too big");
  refusal.set(kv::u32_id(77), 5);
  table.onAdd = [&](Object& r) { return gadget(r).name == "lamp" ? refusal : kv::message(); };
  table.onSet = [&](Object& old, Object& edited) {
    EXPECT_EQ(40u, gadget(old).size);
    EXPECT_EQ(1u, edited.id);
    return gadget(edited).size > 100 ? refusal : kv::message();
  };
  table.onRemove = [&](Object&) { return kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""); };
  EXPECT_EQ(refusal, call(TABLE, kv::CMD_ADD_OBJ, lamp));
  EXPECT_EQ(refusal, call(TABLE, kv::CMD_SET_OBJ, with(1, 500)));
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), call(TABLE, kv::CMD_REMOVE_OBJ, with(1)));
  EXPECT_EQ(40u, gadget(*stored).size);
  EXPECT_EQ(std::vector<std::string>{"added 1"}, table.events);

  EXPECT_TRUE(call(TABLE, kv::CMD_SET_OBJ, with(1, 75)).empty());
  EXPECT_EQ(stored, table.findRow(1));  // edited in place
  EXPECT_EQ("lamp", gadget(*stored).name);
  EXPECT_EQ(75u, gadget(*stored).size);
  EXPECT_EQ("changed 1", table.events.back());
  EXPECT_EQ(1u, call(TABLE, kv::CMD_GET_COUNT).get(kv::COUNT_FIELD, 9));
  EXPECT_EQ(kv::ERR_NO_SUCH_OBJECT, kv::getErrorCode(call(TABLE, kv::CMD_SET_OBJ, with(4))));
  EXPECT_EQ(kv::ERR_BAD_REQUEST, kv::getErrorCode(call(TABLE, kv::CMD_GET_OBJ)));
  EXPECT_EQ(kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""), call(TABLE, kv::CMD_MOVE_OBJ, with(1)));
}

TEST_F(TableTest, CheckRemoveMayRemoveOtherRowsAndTheRowItself) {
  GadgetTable brokers, subscriptions(-2, "/korv/store/test/gadgets/parts");
  ASSERT_TRUE(loop_->addHandler(TABLE, &brokers));
  brokers.add(make("b1"), false);
  brokers.add(make("b2"), false);
  for (uint32_t owner : {1, 2, 1, 1}) subscriptions.add(make("s", owner), false);
  brokers.onRemove = [&](Object& row) {
    for (AMapIterator it = subscriptions.begin(); it != subscriptions.end();)
      it = gadget(*it).size == row.id ? subscriptions.remove(it) : std::next(it);
    if (row.id == 2) brokers.remove(brokers.find(2));
    return kv::message();
  };
  EXPECT_TRUE(call(TABLE, kv::CMD_REMOVE_OBJ, with(1)).empty());
  EXPECT_EQ(std::vector<uint32_t>{2}, brokers.ids());
  EXPECT_EQ(std::vector<uint32_t>{2}, subscriptions.ids());
  EXPECT_TRUE(call(TABLE, kv::CMD_REMOVE_OBJ, with(2)).empty());  // removed by its own check
  EXPECT_EQ(0u, brokers.size() + subscriptions.size());
  EXPECT_EQ("removed 2", brokers.events.back());
  EXPECT_EQ(2u, brokers.events.size());
}

TEST_F(TableTest, GetAllPagesInIdOrder) {
  GadgetTable table;
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  EXPECT_EQ(0u, call(TABLE, kv::CMD_GET_ALL).get(kv::ROWS_FIELD).size());
  // Three rows of 300 KiB fit a 1 MiB page; a 1.5 MiB row fills one alone.
  for (size_t i = 1; i <= 10; ++i) {
    auto g = make("g", 0);
    g->note.assign(i == 5 ? 1536 * 1024 : 300 * 1024, static_cast<char>('a' + i));
    table.add(std::move(g), false);
  }
  table.remove(table.find(2));
  std::vector<uint32_t> seen;
  std::vector<size_t> pages;
  kv::message request;
  for (bool more = true; more && pages.size() < 10;) {
    kv::message reply = call(TABLE, kv::CMD_GET_ALL, request);
    std::vector<kv::message> rows = reply.get(kv::ROWS_FIELD);
    pages.push_back(rows.size());
    for (const kv::message& row : rows) seen.push_back(row.get(kv::OBJECT_ID_FIELD));
    EXPECT_EQ(gadget(*table.find(seen.back())).note, rows.back().get(kv::string_id(3)));
    request.set(kv::AFTER_ID_FIELD, seen.back());
    more = reply.get(kv::MORE_FIELD);
  }
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 4, 5, 6, 7, 8, 9, 10}), seen);
  EXPECT_EQ((std::vector<size_t>{3, 1, 3, 2}), pages);
}

TEST_F(TableTest, RowsSurviveARestartAndADamagedStoreKeepsWhatItCan) {
  {
    GadgetTable table;
    ASSERT_TRUE(table.init().isOk());
    for (const char* name : {"a", "b", "c", "d"}) table.add(make(name), false);
    table.remove(table.find(2));
    gadget(*table.find(4)).note = std::string("nul\0in", 6);
    table.markChanged();
  }  // what is pending is written by the destructor: the whole rows file
  const std::string file = root_ + STORE_PATH + "/rows";
  {
    GadgetTable table;
    ASSERT_TRUE(table.init().isOk());
    ASSERT_EQ((std::vector<uint32_t>{1, 3, 4}), table.ids());
    EXPECT_EQ(std::string("nul\0in", 6), gadget(*table.find(4)).note);
    EXPECT_EQ(5u, table.add(make("e"), false));  // above the highest stored id; journalled
  }
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(-2, std::ios::end).put('!');
  GadgetTable table;
  EXPECT_EQ(kv::Status::Kind::Malformed, table.init().kind());
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 5}), table.ids());  // row 4 is lost, the journal still applies
  ASSERT_EQ(1u, platformLog_.size());
  EXPECT_NE(std::string::npos, platformLog_[0].find("CRC mismatch")) << platformLog_[0];
  EXPECT_TRUE(std::filesystem::exists(file + ".corrupt-" + std::to_string(clock_.wallSeconds())));
  GadgetTable reread;  // a good file was written at once
  EXPECT_TRUE(reread.init().isOk());
  EXPECT_EQ(3u, reread.size());
}

TEST_F(TableTest, RepliesWaitForOneSyncPerTurnAndReadsForThem) {
  GadgetTable table;
  ASSERT_TRUE(table.init().isOk());
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, kv::message()));  // creates the journal: 2 syncs
  table.events.clear();
  std::vector<kv::message> replies;
  auto post = [&](uint32_t command, kv::message fields) {
    fields.set(kv::PATH_FIELD, std::vector<uint32_t>{TABLE});
    fields.set(kv::COMMAND_FIELD, command);
    loop_->postMessage(fields, [&](const kv::message& r) { replies.push_back(r); }, 1000);
  };
  for (uint32_t round = 1; round <= 2; ++round) {
    for (int i = 0; i < 10; ++i) post(kv::CMD_ADD_OBJ, kv::message());
    post(kv::CMD_SET_OBJ, with(1, 5 + round));
    post(kv::CMD_GET_COUNT, kv::message());
    loop_->turn();  // delivered: applied in memory, nothing stored or answered
    EXPECT_EQ(1 + 10 * round, table.size());
    EXPECT_EQ(5 + round, gadget(*table.findRow(1)).size);
    EXPECT_EQ(nullptr, table.findRow(10 * round));  // an added row: not by id before it is stored
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(round, table.saveCount());
    EXPECT_TRUE(table.events.empty());
    loop_->turn();  // the commit: one append, one sync
    EXPECT_NE(nullptr, table.findRow(10 * round));
    EXPECT_EQ(round + 1, table.saveCount());
    EXPECT_EQ(round + 2, table.storeStats().syncs);
    EXPECT_EQ(11u, table.events.size());  // notified once stored
    loop_->turn();
    ASSERT_EQ(12u, replies.size());
    for (const kv::message& r : replies) EXPECT_FALSE(kv::isError(r)) << kv::getError(r);
    EXPECT_EQ(1 + 10 * round, replies.back().get(kv::COUNT_FIELD));  // answered after the commit
    replies.clear();
    table.events.clear();
  }
}

TEST_F(TableTest, TheJournalIsFoldedIntoTheRowsFileOnceItOutgrowsIt) {
  namespace fs = std::filesystem;
  GadgetTable table;
  ASSERT_TRUE(table.init().isOk());
  const std::string dir = root_ + STORE_PATH;
  for (int i = 0; i < 40; ++i) {
    auto g = make("g");
    g->note.assign(5000, static_cast<char>('a' + i % 26));
    table.add(std::move(g), false);
    if (i % 3 == 0) table.remove(table.begin());
    loop_->turn();
    const uint64_t rows = fs::exists(dir + "/rows") ? fs::file_size(dir + "/rows") : 0;
    const uint64_t journal = fs::exists(dir + "/journal") ? fs::file_size(dir + "/journal") : 0;
    EXPECT_LE(journal, std::max(AMap::JOURNAL_COMPACT_BYTES, rows)) << i;
  }
  EXPECT_GT(fs::file_size(dir + "/rows"), AMap::JOURNAL_COMPACT_BYTES);
  GadgetTable reread;
  ASSERT_TRUE(reread.init().isOk());
  EXPECT_EQ(table.ids(), reread.ids());
  EXPECT_EQ(gadget(*table.find(40)).note, gadget(*reread.find(40)).note);
}

// Files of more than one byte cannot grow while this lives, as on a full
// disk: writes fail with EFBIG ("File too large") instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved_;
    tiny.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &tiny);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(TableTest, AChangeThatCannotBeStoredIsAnsweredWithTheCauseAndUndone) {
  GadgetTable brokers, parts(-2, "/korv/store/test/gadgets/parts");
  ASSERT_TRUE(brokers.init().isOk() && parts.init().isOk());
  ASSERT_TRUE(loop_->addHandler(TABLE, &brokers));
  kv::message lamp = with(0, 40);
  lamp.set(kv::NAME_FIELD, "lamp");
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  EXPECT_EQ(with(2), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  for (uint32_t owner : {1, 2, 1}) parts.add(make("p", owner), false);
  brokers.onRemove = [&](Object& row) {  // like a broker's removal: its parts go with it
    for (AMapIterator it = parts.begin(); it != parts.end();)
      it = gadget(*it).size == row.id ? parts.remove(it) : std::next(it);
    return kv::message();
  };
  loop_->turn();
  brokers.events.clear();
  Object* first = brokers.findRow(1);
  const std::vector<uint32_t> partIds = parts.ids();
  {
    FileSizeLimit full;
    kv::message added, count;  // the count is asked in the add's turn: answered after the undo
    for (auto* out : {&added, &count}) {
      kv::message request = out == &added ? lamp : kv::message();
      request.set(kv::PATH_FIELD, std::vector<uint32_t>{TABLE});
      request.set(kv::COMMAND_FIELD, out == &added ? kv::CMD_ADD_OBJ : kv::CMD_GET_COUNT);
      loop_->postMessage(request, [out](const kv::message& r) { *out = r; }, 1000);
    }
    for (int turns = 0; count.empty() && turns < 10; ++turns) loop_->turn();
    for (const kv::message& reply : {added, call(TABLE, kv::CMD_SET_OBJ, with(1, 7)),
                                     call(TABLE, kv::CMD_REMOVE_OBJ, with(1))}) {
      EXPECT_NE(std::string::npos, kv::getError(reply).find("not stored: write ")) << kv::getError(reply);
      EXPECT_NE(std::string::npos, kv::getError(reply).find("File too large")) << kv::getError(reply);
    }
    EXPECT_EQ(2u, count.get(kv::COUNT_FIELD));
  }
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), brokers.ids());
  EXPECT_EQ(first, brokers.findRow(1));  // put back as it was, where it was
  EXPECT_EQ(40u, gadget(*first).size);
  EXPECT_EQ(partIds, parts.ids());
  EXPECT_TRUE(brokers.events.empty());
  EXPECT_NE(std::string::npos, platformLog_.at(0).find("save failed")) << platformLog_[0];

  EXPECT_EQ(with(4), call(TABLE, kv::CMD_ADD_OBJ, lamp));  // stored again: the whole file
  EXPECT_NE(std::string::npos, platformLog_.back().find("saved again")) << platformLog_.back();
  EXPECT_TRUE(call(TABLE, kv::CMD_REMOVE_OBJ, with(2)).empty());
  GadgetTable reread, rereadParts(-2, "/korv/store/test/gadgets/parts");
  ASSERT_TRUE(reread.init().isOk() && rereadParts.init().isOk());
  EXPECT_EQ((std::vector<uint32_t>{1, 4}), reread.ids());
  EXPECT_EQ((std::vector<uint32_t>{1, 3}), rereadParts.ids());
}

TEST_F(TableTest, CommandsThatBuiltOnAnUndoneOneAreUndoneToo) {
  const std::string partsPath = std::string(STORE_PATH) + "/parts";
  GadgetTable brokers, parts(-2, partsPath.c_str());
  ASSERT_TRUE(brokers.init().isOk() && parts.init().isOk());
  ASSERT_TRUE(loop_->addHandler(TABLE, &brokers));
  brokers.onAdd = [&](Object& row) {
    for (Object& other : brokers)
      if (gadget(other).name == gadget(row).name) return kv::failedMsg("name in use");
    return kv::message();
  };
  brokers.onRemove = [&](Object& row) {
    for (AMapIterator it = parts.begin(); it != parts.end();)
      it = gadget(*it).size == row.id ? parts.remove(it) : std::next(it);
    return kv::message();
  };
  kv::message lamp;
  lamp.set(kv::NAME_FIELD, "lamp");
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  parts.add(make("p", 1), false);
  loop_->turn();
  // The parts must write their whole file next, and cannot.
  std::filesystem::create_directories(root_ + partsPath + "/rows.tmp");
  parts.markChanged();
  // The removal takes the parts and fails; the add reuses the name it freed.
  std::vector<kv::message> replies(2);
  for (size_t i = 0; i < 2; ++i) {
    kv::message request = i == 0 ? with(1) : lamp;
    request.set(kv::PATH_FIELD, std::vector<uint32_t>{TABLE});
    request.set(kv::COMMAND_FIELD, i == 0 ? kv::CMD_REMOVE_OBJ : kv::CMD_ADD_OBJ);
    loop_->postMessage(request, [&replies, i](const kv::message& r) { replies[i] = r; }, 1000);
  }
  for (int turns = 0; turns < 5; ++turns) loop_->turn();
  for (const kv::message& reply : replies)
    EXPECT_NE(std::string::npos, kv::getError(reply).find("Is a directory")) << kv::getError(reply);
  EXPECT_EQ(std::vector<uint32_t>{1}, brokers.ids());
  EXPECT_EQ(std::vector<uint32_t>{1}, parts.ids());
  GadgetTable reread;
  ASSERT_TRUE(reread.init().isOk());
  EXPECT_EQ(std::vector<uint32_t>{1}, reread.ids());  // rewritten after the removal was taken back
}

struct GadgetHolder : AHolder {
  GadgetHolder() : AHolder("settings") {}
  std::unique_ptr<Object> createObject() override { return make("default", 3); }
  void copyObject(Object& dst, const Object& src) override { gadget(dst) = static_cast<const Gadget&>(src); }
  kv::message checkSet(Object&, Object& e) override { return gadget(e).size ? kv::message() : kv::failedMsg("no"); }
};

TEST_F(TableTest, HolderServesGetAndSet) {
  GadgetHolder holder;
  ASSERT_TRUE(loop_->addHandler(HOLDER, &holder));
  holder.init();
  Object* object = holder.getObject();
  EXPECT_TRUE(call(HOLDER, kv::CMD_SET, with(0, 9)).empty());
  kv::message zero;
  zero.set(kv::u32_id(1), 0);
  EXPECT_EQ(kv::failedMsg("no"), call(HOLDER, kv::CMD_SET, zero));
  EXPECT_EQ(object, holder.getObject());
  kv::message got = call(HOLDER, kv::CMD_GET);
  EXPECT_EQ(9u, got.get(kv::u32_id(1)));
  EXPECT_EQ("default", got.get(kv::NAME_FIELD));
}

}  // namespace
