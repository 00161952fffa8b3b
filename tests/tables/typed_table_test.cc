#include "tables/typed_table.h"

#include <gtest/gtest.h>

#include "support/table_fixture.h"

namespace {

constexpr uint32_t TABLE = 9;

struct Note : Object {
  std::string text = "blank";
  void writeTo(kv::message& out) const override { out.set(kv::string_id(1), text); }
  void readFrom(const kv::message& in) override { text = in.get(kv::string_id(1), text); }
};

using NoteTable = TypedTable<Note>;

class TypedTableTest : public TableFixture {};

TEST_F(TypedTableTest, RefusesEveryChangeByCommandUnlessTheTableAllowsIt) {
  NoteTable table("/korv/store/test/notes", 0, -2);
  ASSERT_TRUE(loop_->addHandler(TABLE, &table));
  auto kept = std::make_unique<Note>();
  kept->text = "kept";
  const uint32_t id = table.add(std::move(kept), false);
  kv::message edit;
  edit.set(kv::string_id(1), "changed");
  const kv::message refused = kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
  EXPECT_EQ(refused, addRow(TABLE, edit));
  EXPECT_EQ(refused, setRow(TABLE, id, edit));
  EXPECT_EQ(refused, removeRow(TABLE, id));
  EXPECT_EQ(1u, table.size());
  EXPECT_EQ("kept", getRow(TABLE, id).get(kv::string_id(1)));
}

}  // namespace
