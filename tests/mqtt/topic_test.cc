// Topic names and filters: the broker's matching, the service's
// classification by where wildcards stand, the levels and their bound,
// matching, and the order of matching filters.
#include "mqtt/topic.h"

#include <gtest/gtest.h>

#include <iterator>

namespace mqtt {
namespace {

using Levels = std::vector<std::string>;

// `pieces` levels "x" joined by "/".
std::string deepTopic(size_t pieces, const std::string& last = "x") {
  std::string topic;
  for (size_t i = 1; i < pieces; ++i) topic += "x/";
  return topic + last;
}

TEST(FilterMatches, AsABrokerDoes) {
  const struct { const char* filter; const char* topic; bool matches; } cases[] = {
      {"a/b", "a/b", true},      {"a/b", "a/B", false},    {"a/+", "a/b", true},
      {"a/+", "a", false},       {"a/+", "a/b/c", false},  {"a/+/c", "a//c", true},
      {"a/#", "a", true},        {"a/#", "a/b/c", true},   {"a/#", "ab", false},
      {"#", "x/y", true},        {"#", "$SYS/x", false},   {"+/x", "$SYS/x", false},
      {"$SYS/#", "$SYS/x", true}, {"+/+", "/x", true},    {"+/+/+", "a/b", false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(isValidFilter(c.filter)) << c.filter;
    EXPECT_EQ(filterMatches(c.filter, c.topic), c.matches) << c.filter << " " << c.topic;
  }
  for (const char* bad : {"", "a/#/b", "a#", "a/b+", "#/"}) EXPECT_FALSE(isValidFilter(bad)) << bad;
}

TEST(ParseTopic, ClassifiesByWhereTheWildcardsStand) {
  const TopicKind P = TopicKind::Plain, S = TopicKind::SingleWildcard,
                  M = TopicKind::MultiWildcard, I = TopicKind::Invalid;
  const struct { const char* topic; TopicKind kind; } cases[] = {
      {"a/b/c", P}, {"", P},     {"/", P},      {"$SYS/a b/\xc3\xa9", P},
      {"a/+/c", S}, {"+", S},    {"a/+/", S},   {"a/#", M},
      {"#", M},     {"/#", M},   {"+/+", I},    {"+/#", I},
      {"a/+/#", I}, {"#/a", I},  {"a/#/", I},   {"#/#", I},
      {"a+b", I},   {"a/b#", I}, {"a/#x", I},   {"++", I},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.kind, parseTopic(c.topic).kind) << c.topic;
    EXPECT_EQ(c.kind == P, isPlainTopic(c.topic)) << c.topic;
  }
}

TEST(ParseTopic, EveryPieceBetweenSlashesIsALevel) {
  EXPECT_EQ((Levels{"a", "b", "c"}), parseTopic("a/b/c").levels);
  EXPECT_EQ((Levels{"a", ""}), parseTopic("a/").levels);  // one empty level, not two
  EXPECT_EQ((Levels{"", "a"}), parseTopic("/a").levels);
  EXPECT_EQ((Levels{"a", "", "b"}), parseTopic("a//b").levels);
  EXPECT_EQ(Levels{""}, parseTopic("").levels);
  EXPECT_EQ((Levels{std::string("a\0b", 3), "c"}), parseTopic(std::string("a\0b/c", 5)).levels);
}

TEST(ParseTopic, AtMost255PiecesPlusTheEmptyLevelOfATrailingSlash) {
  EXPECT_EQ(255u, parseTopic(deepTopic(255)).levels.size());
  const TopicPath trailing = parseTopic(deepTopic(255) + "/");
  EXPECT_EQ(TopicKind::Plain, trailing.kind);
  EXPECT_TRUE(isPlainTopic(deepTopic(255) + "/"));
  EXPECT_FALSE(isPlainTopic(deepTopic(256)));
  EXPECT_EQ(256u, trailing.levels.size());
  EXPECT_EQ(TopicKind::SingleWildcard, parseTopic(deepTopic(255, "+") + "/").kind);

  // Beyond the bound a filter is not cut at all; an arriving topic keeps
  // the rest as its 255th level.
  for (const std::string& topic : {deepTopic(256), deepTopic(256) + "/", deepTopic(300, "#"),
                                   std::string(65535, '/')}) {
    const TopicPath path = parseTopic(topic);
    EXPECT_EQ(TopicKind::Invalid, path.kind) << topic.size();
    EXPECT_TRUE(path.levels.empty());
    EXPECT_EQ(topic, path.text);
    const TopicPath arriving = parseArrivingTopic(topic);
    ASSERT_EQ(255u, arriving.levels.size()) << topic.size();
    EXPECT_EQ(topic, arriving.text);
    EXPECT_EQ(topic.substr(topic.size() - arriving.levels.back().size()), arriving.levels.back());
  }
  EXPECT_EQ("x/x/y/", parseArrivingTopic(deepTopic(256) + "/y/").levels.back());
  EXPECT_EQ(parseTopic(deepTopic(255) + "/"), parseArrivingTopic(deepTopic(255) + "/"));
}

TEST(TopicMatches, ByTheFiltersKindOnly) {
  const struct { std::string arriving, filter; bool matches; } cases[] = {
      // A plain filter compares the whole text, byte for byte.
      {"a/b", "a/b", true}, {"a/b/", "a/b", false}, {"A/b", "a/b", false},
      // "+" takes exactly one level, the empty one included.
      {"a", "+", true}, {"a/b", "+", false}, {"a/", "a/+", true}, {"a", "a/+", false},
      {"a/b/c", "a/+", false}, {"/b", "+/b", true}, {"a/c", "+/b", false},
      {"x/y/z", "x/+/z", true}, {"x/y/Z", "x/+/z", false}, {"y/y/z", "x/+/z", false},
      // "#" needs at least one level in its place.
      {"a/", "a/#", true}, {"a/b/c/d", "a/#", true}, {"a", "a/#", false}, {"b/a", "a/#", false},
      {"a", "#", true}, {"/", "#", true}, {"a/b", "a/b/#", false},
      // Wildcards arriving are ordinary characters; invalid filters match nothing.
      {"a/#", "a/+", true}, {"+", "+", true}, {"a/+/+", "a/+/+", false}, {"a/b#", "a/b#", false},
      // A topic beyond the bound is matched up to it; the rest is one level.
      {deepTopic(256), "#", true}, {deepTopic(256), "x/#", true}, {deepTopic(256), "y/#", false},
      {deepTopic(300), deepTopic(255, "#"), true}, {deepTopic(300), deepTopic(254, "y/#"), false},
      {deepTopic(300), deepTopic(255, "+"), true}, {deepTopic(300), deepTopic(254, "+"), false},
      {deepTopic(256), deepTopic(256), false}, {deepTopic(256), deepTopic(255, "x/x"), false},
      {deepTopic(255) + "/", deepTopic(255, "+") + "/", true},
      {deepTopic(255) + "/", deepTopic(255, "#"), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.matches, topicMatches(parseArrivingTopic(c.arriving), parseTopic(c.filter)))
        << "'" << c.arriving.substr(0, 20) << "' against '" << c.filter.substr(0, 20) << "'";
  }
}

TEST(MatchKey, ExactThenPlusThenHashEachDeeperFirstAndInvalidLast) {
  const std::string moreSpecificFirst[] = {"a/b", deepTopic(255, "+") + "/", "a/b/+", "a/+", "+",
                                           deepTopic(255, "#"), "a/#", "#", "+/+"};
  for (size_t i = 1; i < std::size(moreSpecificFirst); ++i) {
    EXPECT_LT(matchKey(parseTopic(moreSpecificFirst[i - 1])),
              matchKey(parseTopic(moreSpecificFirst[i])))
        << moreSpecificFirst[i].substr(0, 12);
  }
  EXPECT_EQ(INVALID_MATCH_KEY, matchKey(parseTopic("+/+")));
}

}  // namespace
}  // namespace mqtt
