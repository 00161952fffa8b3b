#include "tables/topic.h"

#include <gtest/gtest.h>

#include "tables/subscription_table.h"

namespace {

using Levels = std::vector<std::string>;

// `pieces` levels "x" joined by "/".
std::string deepTopic(size_t pieces, const std::string& last = "x") {
  std::string topic;
  for (size_t i = 1; i < pieces; ++i) topic += "x/";
  return topic + last;
}

bool matches(const std::string& arriving, const std::string& filter) {
  return topicMatches(parseTopic(arriving), parseTopic(filter));
}

TEST(ParseTopic, ClassifiesByWhereTheWildcardsStand) {
  struct Case {
    const char* topic;
    TopicKind kind;
  };
  for (Case c : {Case{"a/b/c", TopicKind::Plain}, Case{"", TopicKind::Plain},
                 Case{"/", TopicKind::Plain}, Case{"$SYS/a b/\xc3\xa9", TopicKind::Plain},
                 Case{"a/+/c", TopicKind::SingleWildcard}, Case{"+", TopicKind::SingleWildcard},
                 Case{"a/+/", TopicKind::SingleWildcard}, Case{"a/#", TopicKind::MultiWildcard},
                 Case{"#", TopicKind::MultiWildcard}, Case{"/#", TopicKind::MultiWildcard},
                 Case{"+/+", TopicKind::Invalid}, Case{"+/#", TopicKind::Invalid},
                 Case{"a/+/#", TopicKind::Invalid}, Case{"#/a", TopicKind::Invalid},
                 Case{"a/#/b", TopicKind::Invalid}, Case{"a/#/", TopicKind::Invalid},
                 Case{"#/#", TopicKind::Invalid}, Case{"a+b", TopicKind::Invalid},
                 Case{"a/b#", TopicKind::Invalid}, Case{"a/#x", TopicKind::Invalid},
                 Case{"++", TopicKind::Invalid}}) {
    EXPECT_EQ(c.kind, parseTopic(c.topic).kind) << c.topic;
  }
  EXPECT_EQ(1u, parseTopic("a/+/c").wildcardLevel);
  EXPECT_EQ(0u, parseTopic("+").wildcardLevel);
  EXPECT_EQ(2u, parseTopic("a/b/+").wildcardLevel);
  EXPECT_EQ("a/+/#", parseTopic("a/+/#").text);
}

TEST(ParseTopic, EveryPieceBetweenSlashesIsALevel) {
  EXPECT_EQ((Levels{"a", "b", "c"}), parseTopic("a/b/c").levels);
  EXPECT_EQ((Levels{"a", ""}), parseTopic("a/").levels);  // one empty level, not two
  EXPECT_EQ((Levels{"", "a"}), parseTopic("/a").levels);
  EXPECT_EQ((Levels{"a", "", "b"}), parseTopic("a//b").levels);
  EXPECT_EQ((Levels{"", ""}), parseTopic("/").levels);
  EXPECT_EQ(Levels{""}, parseTopic("").levels);
  EXPECT_EQ((Levels{std::string("a\0b", 3), "c"}), parseTopic(std::string("a\0b/c", 5)).levels);
}

TEST(ParseTopic, AtMost255PiecesPlusTheEmptyLevelOfATrailingSlash) {
  EXPECT_EQ(255u, parseTopic(deepTopic(255)).levels.size());
  EXPECT_EQ(TopicKind::Plain, parseTopic(deepTopic(255)).kind);
  const TopicPath trailing = parseTopic(deepTopic(255) + "/");
  EXPECT_EQ(TopicKind::Plain, trailing.kind);
  EXPECT_EQ(256u, trailing.levels.size());
  EXPECT_EQ(TopicKind::SingleWildcard, parseTopic(deepTopic(255, "+") + "/").kind);

  // Beyond the bound the topic is not cut at all.
  for (const std::string& topic : {deepTopic(256), deepTopic(256) + "/", deepTopic(300, "#"),
                                   std::string(65535, '/')}) {
    const TopicPath path = parseTopic(topic);
    EXPECT_EQ(TopicKind::Invalid, path.kind) << topic.size();
    EXPECT_TRUE(path.levels.empty());
    EXPECT_EQ(topic, path.text);
  }
}

TEST(TopicMatches, PlainFiltersCompareTheWholeText) {
  EXPECT_TRUE(matches("a/b", "a/b"));
  EXPECT_FALSE(matches("a/b/", "a/b"));
  EXPECT_FALSE(matches("a/b", "a/b/"));
  EXPECT_FALSE(matches("A/b", "a/b"));
  EXPECT_FALSE(matches("a/b ", "a/b"));
  EXPECT_FALSE(matches("a//b", "a/b"));
}

TEST(TopicMatches, PlusTakesExactlyOneLevelTheEmptyOneIncluded) {
  EXPECT_TRUE(matches("a", "+"));
  EXPECT_FALSE(matches("a/b", "+"));
  EXPECT_TRUE(matches("a/", "a/+"));
  EXPECT_TRUE(matches("a/b", "a/+"));
  EXPECT_FALSE(matches("a", "a/+"));
  EXPECT_FALSE(matches("a/b/c", "a/+"));
  EXPECT_TRUE(matches("a/b", "+/b"));
  EXPECT_TRUE(matches("/b", "+/b"));
  EXPECT_FALSE(matches("a/c", "+/b"));
  EXPECT_TRUE(matches("x/y/z", "x/+/z"));
  EXPECT_FALSE(matches("x/y/Z", "x/+/z"));
  EXPECT_FALSE(matches("y/y/z", "x/+/z"));
}

TEST(TopicMatches, HashNeedsAtLeastOneLevelInItsPlace) {
  EXPECT_TRUE(matches("a/", "a/#"));
  EXPECT_TRUE(matches("a/b", "a/#"));
  EXPECT_TRUE(matches("a/b/c/d", "a/#"));
  EXPECT_FALSE(matches("a", "a/#"));
  EXPECT_FALSE(matches("b/a", "a/#"));
  EXPECT_TRUE(matches("a", "#"));
  EXPECT_TRUE(matches("/", "#"));
  EXPECT_TRUE(matches("a/b/c", "#"));
  EXPECT_FALSE(matches("a/b", "a/b/#"));
}

TEST(TopicMatches, OnlyTheFiltersKindCounts) {
  EXPECT_TRUE(matches("a/#", "a/+"));  // "#" arriving is an ordinary level
  EXPECT_TRUE(matches("+", "+"));
  EXPECT_FALSE(matches("a/+/+", "a/+/+"));  // an invalid filter never matches
  EXPECT_FALSE(matches("a/b#", "a/b#"));
  // A topic beyond the bound matches nothing, not even "#".
  EXPECT_FALSE(matches(deepTopic(256), "#"));
  EXPECT_FALSE(matches(deepTopic(256), "x/#"));
  EXPECT_FALSE(matches(deepTopic(256), deepTopic(256)));
  EXPECT_TRUE(matches(deepTopic(255) + "/", deepTopic(255, "+") + "/"));
  EXPECT_TRUE(matches(deepTopic(255) + "/", deepTopic(255, "#")));
}

TEST(MatchKey, ExactBeforePlusBeforeHashAndDeeperFirst) {
  EXPECT_EQ(0u, matchKey(parseTopic("a/b")));
  EXPECT_EQ(0u, matchKey(parseTopic(deepTopic(255))));
  EXPECT_EQ(510u, matchKey(parseTopic("+")));
  EXPECT_EQ(509u, matchKey(parseTopic("a/+")));
  EXPECT_EQ(509u, matchKey(parseTopic("+/b")));
  EXPECT_EQ(255u, matchKey(parseTopic(deepTopic(255, "+") + "/")));
  EXPECT_EQ(65790u, matchKey(parseTopic("#")));
  EXPECT_EQ(65789u, matchKey(parseTopic("a/#")));
  EXPECT_EQ(65536u, matchKey(parseTopic(deepTopic(255, "#"))));
  EXPECT_EQ(INVALID_MATCH_KEY, matchKey(parseTopic("+/+")));
}

class CollectMatches : public ::testing::Test {
 protected:
  CollectMatches() : table_("/korv/store/test/topics", 0, -2) {}
  uint32_t add(uint32_t brokerId, const std::string& filter) {
    auto row = std::make_unique<SubscriptionEntry>();
    row->brokerId = brokerId;
    row->setTopic(filter);
    return table_.add(std::move(row), false);
  }
  std::vector<uint32_t> collect(const std::string& topic) {
    std::vector<uint32_t> ids;
    for (SubscriptionEntry* row : collectMatches(topic, table_)) ids.push_back(row->id);
    return ids;
  }
  SubscriptionTable table_;  // memory only: never touches the store
};

TEST_F(CollectMatches, OneRowPerKeyInKeyOrderLowestIdFirst) {
  const uint32_t hashA = add(1, "a/#");
  const uint32_t plusB = add(2, "+/b");  // another broker's row takes part too
  add(1, "a/+");                         // same key as +/b, higher id: left out
  const uint32_t exact = add(1, "a/b");
  add(1, "a/b");  // a duplicate exact filter (of a row added by the service)
  add(1, "x/#");
  const uint32_t hash = add(3, "#");
  EXPECT_EQ((std::vector<uint32_t>{exact, plusB, hashA, hash}), collect("a/b"));
  EXPECT_EQ((std::vector<uint32_t>{hashA, hash}), collect("a/b/c"));
  EXPECT_EQ(std::vector<uint32_t>{hash}, collect("b"));
  EXPECT_TRUE(collect(deepTopic(256)).empty());
}

TEST_F(CollectMatches, DeeperWildcardFiltersComeFirst) {
  const uint32_t shallow = add(1, "+");
  const uint32_t deep = add(1, "a/b/+");
  const uint32_t middle = add(1, "a/+/c");
  EXPECT_EQ((std::vector<uint32_t>{deep}), collect("a/b/c"));  // equal keys: lowest id
  table_.removeSubscriptionById(deep);
  EXPECT_EQ((std::vector<uint32_t>{middle}), collect("a/b/c"));
  EXPECT_EQ((std::vector<uint32_t>{shallow}), collect("a"));
  const uint32_t oneDeep = add(1, "a/#");
  const uint32_t twoDeep = add(1, "a/b/#");
  EXPECT_EQ((std::vector<uint32_t>{middle, twoDeep, oneDeep}), collect("a/b/c"));
}

}  // namespace
