#include "platform/allocator.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace kv {
namespace {

TEST(AllocatorTest, IncreasingIdsThatAreNotReusedBeforeAWrap) {
  Allocator a;
  for (uint32_t want = 1; want <= 4; ++want) EXPECT_EQ(want, a.allocate());
  EXPECT_TRUE(a.free(2));
  EXPECT_FALSE(a.free(2));
  EXPECT_FALSE(a.isAllocated(2));
  EXPECT_TRUE(a.isAllocated(3));
  EXPECT_EQ(5u, a.allocate());
}

TEST(AllocatorTest, ClaimsMoveTheNextIdAboveTheHighestClaim) {
  Allocator a;
  EXPECT_FALSE(a.allocate(0u));
  EXPECT_FALSE(a.allocate(Allocator::NONE));
  EXPECT_TRUE(a.allocate(10u));
  EXPECT_FALSE(a.allocate(10u));
  EXPECT_TRUE(a.allocate(4u));  // below: does not move the next id back
  EXPECT_EQ(11u, a.allocate());
}

TEST(AllocatorTest, WrapsToOneSkippingAllocatedIds) {
  // Claims near the top and the bottom, and frees on the way: every id
  // handed out must be valid and free at that moment.
  Allocator a;
  std::set<uint32_t> used{1, 2, 4, Allocator::LAST_ID - 30, Allocator::LAST_ID - 2};
  for (uint32_t id : used) ASSERT_TRUE(a.allocate(id));
  std::vector<uint32_t> order;
  for (int round = 0; round < 60; ++round) {
    uint32_t id = a.allocate();
    order.push_back(id);
    ASSERT_TRUE(Allocator::isValid(id));
    EXPECT_TRUE(used.insert(id).second) << "id " << id << " handed out while allocated";
    if (round % 3 == 0) {
      EXPECT_TRUE(a.free(id));
      used.erase(id);
    }
  }
  EXPECT_EQ((std::vector<uint32_t>{Allocator::LAST_ID - 1, Allocator::LAST_ID, 3, 5}),
            std::vector<uint32_t>(order.begin(), order.begin() + 4));
  EXPECT_EQ(used.size(), a.count());
}

}  // namespace
}  // namespace kv
