#include "tables/typed_table.h"

#include <gtest/gtest.h>

#include "table_fixture.h"

namespace {

constexpr uint32_t TABLE = 9;

struct Note : Object {
  std::string text = "blank";
  void writeTo(kv::message& out) const override { out.set(kv::string_id(1), text); }
  void readFrom(const kv::message& in) override { text = in.get(kv::string_id(1), text); }
};

using NoteTable = TypedTable<Note>;

std::unique_ptr<Note> note(const std::string& text) {
  auto n = std::make_unique<Note>();
  n->text = text;
  return n;
}

class TypedTableTest : public TableFixture {};

TEST_F(TypedTableTest, RefusesEveryChangeByCommandUnlessTheTableAllowsIt) {
  NoteTable table("/korv/store/test/notes", 0, -2);
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  const uint32_t id = table.add(note("kept"), false);
  kv::message edit;
  edit.set(kv::string_id(1), "changed");
  const kv::message refused = kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
  EXPECT_EQ(refused, addRow(TABLE, edit));
  EXPECT_EQ(refused, setRow(TABLE, id, edit));
  EXPECT_EQ(refused, removeRow(TABLE, id));
  EXPECT_EQ("kept", table.findRow(id)->text);
  EXPECT_EQ(1u, table.size());
  EXPECT_EQ("kept", getRow(TABLE, id).get(kv::string_id(1)));
}

TEST_F(TypedTableTest, RowsAreCreatedCopiedAndWalkedAsTheirOwnClass) {
  NoteTable table("/korv/store/test/notes", 0, -2);
  std::unique_ptr<Object> fresh = table.createRow();
  EXPECT_EQ(Object::NO_ID, fresh->id);
  EXPECT_EQ("blank", static_cast<Note&>(*fresh).text);
  Note source;
  source.id = 12;
  source.text = "copied";
  table.copyRow(*fresh, source);
  EXPECT_EQ(12u, fresh->id);
  EXPECT_EQ("copied", static_cast<Note&>(*fresh).text);

  for (const char* text : {"a", "b", "c", "d"}) table.add(note(text), false);
  std::string walked;
  for (NoteTable::iterator it = table.begin(); it != table.end();) {
    walked += it->text;
    it = it->text == "b" || it->text == "c" ? table.remove(it) : std::next(it);
  }
  EXPECT_EQ("abcd", walked);
  std::string left;
  for (Note& n : table) left += n.text;
  EXPECT_EQ("ad", left);
  EXPECT_EQ(nullptr, table.findRow(2));
  EXPECT_TRUE(table.find(3) == table.end());
  EXPECT_EQ("d", table.find(4)->text);
}

}  // namespace
