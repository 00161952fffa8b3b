// Object tables over the bus: row order, the check hooks, paging, the store
// behind them and what a reply promises about it.
#include "platform/amap.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/aholder.h"
#include "platform/allocator.h"
#include "platform/looper.h"
#include "support/table_fixture.h"

namespace {

namespace fs = std::filesystem;
const char* const STORE_PATH = "/korv/store/test/gadgets";
const char* const PARTS_PATH = "/korv/store/test/gadgets/parts";
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
  explicit GadgetTable(const char* path = STORE_PATH) : AMap(path, 1, -2) {}
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
  // Like a broker's removal: the rows of `parts` whose size is the removed
  // row's id go with it.
  void removesPartsOf(GadgetTable& parts) {
    onRemove = [&parts](Object& row) {
      for (AMapIterator it = parts.begin(); it != parts.end();)
        it = gadget(*it).size == row.id ? parts.remove(it) : std::next(it);
      return kv::message();
    };
  }
};

class TableTest : public TableFixture {
 protected:
  static kv::message with(uint32_t id, uint32_t size = 0, const char* name = nullptr) {
    kv::message m;
    m.set(kv::OBJECT_ID_FIELD, id);
    if (size) m.set(kv::u32_id(1), size);
    if (name) m.set(kv::NAME_FIELD, name);
    return m;
  }
  // Posts without waiting: the reply lands in `out`.
  void post(uint32_t command, kv::message fields, kv::message& out) {
    fields.set(kv::PATH_FIELD, std::vector<uint32_t>{TABLE});
    fields.set(kv::COMMAND_FIELD, command);
    loop_->postMessage(fields, [&out](const kv::message& r) { out = r; }, 1000);
  }
};

// Ids grow and are never handed out while in use, also after a wrap past
// the last id and around ids claimed by a load.
TEST(AllocatorTest, WrapsToOneSkippingAllocatedIds) {
  kv::Allocator a;
  EXPECT_FALSE(a.allocate(0u) || a.allocate(kv::Allocator::NONE));
  const uint32_t claims[] = {kv::Allocator::LAST_ID - 30, kv::Allocator::LAST_ID - 2, 1, 2, 4};
  for (uint32_t id : claims) ASSERT_TRUE(a.allocate(id));  // the lower ones do not move it back
  EXPECT_FALSE(a.allocate(4u));
  std::set<uint32_t> used(std::begin(claims), std::end(claims));
  std::vector<uint32_t> order;
  for (int round = 0; round < 60; ++round) {
    uint32_t id = a.allocate();
    order.push_back(id);
    ASSERT_TRUE(kv::Allocator::isValid(id));
    EXPECT_TRUE(used.insert(id).second) << "id " << id << " handed out while allocated";
    if (round % 3 == 0) {
      EXPECT_TRUE(a.free(id));
      EXPECT_FALSE(a.free(id));
      used.erase(id);
    }
  }
  EXPECT_EQ((std::vector<uint32_t>{kv::Allocator::LAST_ID - 1, kv::Allocator::LAST_ID, 3, 5}),
            std::vector<uint32_t>(order.begin(), order.begin() + 4));
  EXPECT_EQ(used.size(), a.count());
}

TEST_F(TableTest, GenericCommandsAndRefusalsPassedOnUnchanged) {
  GadgetTable table;
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  const kv::message lamp = with(7, 40, "lamp");  // the id of an add request is not used
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  kv::message row = with(1, 0, "lamp");
  row.set(kv::u32_id(1), 40);
  EXPECT_EQ(row, call(TABLE, kv::CMD_GET_OBJ, with(1)));  // id first, then writeTo order
  Object* stored = table.findRow(1);

  kv::message refusal = kv::failedMsg("Gadget too big");
  refusal.set(kv::u32_id(77), 5);
  table.onAdd = [&](Object& r) { return gadget(r).name == "lamp" ? refusal : kv::message(); };
  table.onSet = [&](Object& old, Object& edited) {
    EXPECT_EQ(40u, gadget(old).size);
    return gadget(edited).size > 100 ? refusal : kv::message();
  };
  table.onRemove = [&](Object&) { return refusal; };
  EXPECT_EQ(refusal, call(TABLE, kv::CMD_ADD_OBJ, lamp));
  EXPECT_EQ(refusal, call(TABLE, kv::CMD_SET_OBJ, with(1, 500)));
  EXPECT_EQ(refusal, call(TABLE, kv::CMD_REMOVE_OBJ, with(1)));
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
  EXPECT_EQ(kv::ERR_NOT_SUPPORTED, kv::getErrorCode(call(TABLE, kv::CMD_MOVE_OBJ, with(1))));
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
  EXPECT_TRUE(fs::exists(file + ".corrupt-" + std::to_string(clock_.wallSeconds())));
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
  std::vector<kv::message> replies(12);
  for (uint32_t round = 1; round <= 2; ++round) {
    for (int i = 0; i < 10; ++i) post(kv::CMD_ADD_OBJ, kv::message(), replies[i]);
    post(kv::CMD_SET_OBJ, with(1, 5 + round), replies[10]);
    post(kv::CMD_GET_COUNT, kv::message(), replies[11]);
    loop_->turn();  // delivered: applied in memory, nothing stored or answered
    EXPECT_EQ(1 + 10 * round, table.size());
    EXPECT_EQ(5 + round, gadget(*table.findRow(1)).size);
    EXPECT_EQ(nullptr, table.findRow(10 * round));  // an added row: not by id before it is stored
    EXPECT_TRUE(replies[11].empty());
    EXPECT_EQ(round, table.saveCount());
    EXPECT_TRUE(table.events.empty());
    loop_->turn();  // the commit: one append, one sync
    EXPECT_NE(nullptr, table.findRow(10 * round));
    EXPECT_EQ(round + 2, table.storeStats().syncs);
    EXPECT_EQ(11u, table.events.size());  // notified once stored
    loop_->turn();
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(10 * round - 8 + i, replies[i].get(kv::OBJECT_ID_FIELD));
    EXPECT_EQ(1 + 10 * round, replies[11].get(kv::COUNT_FIELD));  // answered after the commit
    replies.assign(12, kv::message());
    table.events.clear();
  }
}

TEST_F(TableTest, TheJournalIsFoldedIntoTheRowsFileOnceItOutgrowsIt) {
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
  GadgetTable brokers, parts(PARTS_PATH);
  ASSERT_TRUE(brokers.init().isOk() && parts.init().isOk());
  ASSERT_TRUE(loop_->addHandler(TABLE, &brokers));
  const kv::message lamp = with(0, 40, "lamp");
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  EXPECT_EQ(with(2), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  for (uint32_t owner : {1, 2, 1}) parts.add(make("p", owner), false);
  brokers.removesPartsOf(parts);
  loop_->turn();
  brokers.events.clear();
  Object* first = brokers.findRow(1);
  const std::vector<uint32_t> partIds = parts.ids();
  {
    FileSizeLimit full;
    kv::message added, count;  // the count is asked in the add's turn: answered after the undo
    post(kv::CMD_ADD_OBJ, lamp, added);
    post(kv::CMD_GET_COUNT, kv::message(), count);
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
  GadgetTable reread, rereadParts(PARTS_PATH);
  ASSERT_TRUE(reread.init().isOk() && rereadParts.init().isOk());
  EXPECT_EQ((std::vector<uint32_t>{1, 4}), reread.ids());
  EXPECT_EQ((std::vector<uint32_t>{1, 3}), rereadParts.ids());
}

// A removal that takes parts whose file cannot be written fails; an add in
// the same turn that reused the name it freed is undone with it.
TEST_F(TableTest, CommandsThatBuiltOnAnUndoneOneAreUndoneToo) {
  GadgetTable brokers, parts(PARTS_PATH);
  ASSERT_TRUE(brokers.init().isOk() && parts.init().isOk());
  ASSERT_TRUE(loop_->addHandler(TABLE, &brokers));
  brokers.onAdd = [&](Object& row) {
    for (Object& other : brokers)
      if (gadget(other).name == gadget(row).name) return kv::failedMsg("name in use");
    return kv::message();
  };
  brokers.removesPartsOf(parts);
  const kv::message lamp = with(0, 0, "lamp");
  EXPECT_EQ(with(1), call(TABLE, kv::CMD_ADD_OBJ, lamp));
  parts.add(make("p", 1), false);
  loop_->turn();
  fs::create_directories(root_ + PARTS_PATH + "/rows.tmp");  // the parts' next whole file fails
  parts.markChanged();
  kv::message removed, added;
  post(kv::CMD_REMOVE_OBJ, with(1), removed);
  post(kv::CMD_ADD_OBJ, lamp, added);
  for (int turns = 0; turns < 5; ++turns) loop_->turn();
  for (const kv::message& reply : {removed, added})
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
