#include "platform/allocator.h"

#include <gtest/gtest.h>

#include <set>

namespace kv {
namespace {

TEST(AllocatorTest, HandsOutIncreasingIdsFromOne) {
  Allocator a;
  EXPECT_FALSE(a.isAllocated(1));
  for (uint32_t want = 1; want <= 5; ++want) EXPECT_EQ(want, a.allocate());
  EXPECT_TRUE(a.isAllocated(3));
  EXPECT_FALSE(a.isAllocated(0));
  EXPECT_EQ(5u, a.count());
}

TEST(AllocatorTest, FreedIdIsNotHandedOutBeforeTheIdsAboveIt) {
  Allocator a;
  for (int i = 0; i < 4; ++i) a.allocate();
  EXPECT_TRUE(a.free(2));
  EXPECT_FALSE(a.isAllocated(2));
  EXPECT_FALSE(a.free(2));
  EXPECT_FALSE(a.free(77));
  EXPECT_EQ(5u, a.allocate());
  EXPECT_EQ(6u, a.allocate());
}

TEST(AllocatorTest, ClaimsRefuseInvalidAndTakenIds) {
  Allocator a;
  EXPECT_FALSE(a.allocate(0u));
  EXPECT_FALSE(a.allocate(Allocator::NONE));
  EXPECT_TRUE(a.allocate(7u));
  EXPECT_FALSE(a.allocate(7u));
  EXPECT_TRUE(a.allocate(Allocator::LAST_ID));
  EXPECT_EQ(2u, a.count());
}

TEST(AllocatorTest, AutomaticIdsContinueAboveTheHighestClaim) {
  Allocator a;
  ASSERT_TRUE(a.allocate(10u));
  ASSERT_TRUE(a.allocate(4u));  // below: does not move the next id back
  EXPECT_EQ(11u, a.allocate());
  ASSERT_TRUE(a.allocate(20u));
  EXPECT_EQ(21u, a.allocate());
}

TEST(AllocatorTest, WrapsToOneAfterTheLastIdAndSkipsAllocatedIds) {
  Allocator a;
  ASSERT_TRUE(a.allocate(1u));
  ASSERT_TRUE(a.allocate(2u));
  ASSERT_TRUE(a.allocate(4u));
  ASSERT_TRUE(a.allocate(Allocator::LAST_ID - 1));
  EXPECT_EQ(Allocator::LAST_ID, a.allocate());
  // Past the top: 0 and 0xFFFFFFFF are never used; 1 and 2 are taken.
  EXPECT_EQ(3u, a.allocate());
  EXPECT_EQ(5u, a.allocate());
  EXPECT_TRUE(a.free(Allocator::LAST_ID));
  EXPECT_EQ(6u, a.allocate());
}

TEST(AllocatorTest, NeverHandsOutAnIdThatIsAllocated) {
  // Claims near the top and at the bottom, frees, and a wrap-around in
  // between: every id handed out must be valid and free at that moment.
  Allocator a;
  std::set<uint32_t> used;
  for (uint32_t id : {1u, 3u, 4u, 9u, Allocator::LAST_ID - 30, Allocator::LAST_ID - 2}) {
    ASSERT_TRUE(a.allocate(id));
    used.insert(id);
  }
  bool wrapped = false;
  for (int round = 0; round < 60; ++round) {
    uint32_t id = a.allocate();
    wrapped = wrapped || id == 2;  // the first free id after the top
    ASSERT_TRUE(Allocator::isValid(id));
    EXPECT_TRUE(used.insert(id).second) << "id " << id << " handed out while allocated";
    if (round % 3 == 0) {
      EXPECT_TRUE(a.free(id));
      used.erase(id);
    }
  }
  EXPECT_EQ(used.size(), a.count());
  EXPECT_TRUE(wrapped);
}

}  // namespace
}  // namespace kv
