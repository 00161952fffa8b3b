// Topic names and topic filters, as text: MQTT's own syntax, with no
// table and no I/O.
//
// Two readings of a filter live here. The broker's (MQTT 3.1.1, 4.7):
// isValidFilter and filterMatches, with which the console selects recorded
// messages as a broker would select them for a subscriber. And the
// service's own, narrower one, which every topic that enters the service
// goes through (publish commands, subscribe commands, subscription rows,
// and the topic of every message that arrives from a broker): parseTopic,
// the matching of an arriving topic against a filter, and the key that
// ranks matching filters from the most to the least specific.
//
// The service's filter syntax: a filter holds either exactly one "+"
// level or a "#" as its last level, never both, never two "+".
//
//   topic      kind            levels
//   a/b/c      Plain           a | b | c
//   a/+/c      SingleWildcard  a | + | c        (wildcardLevel 1)
//   a/#        MultiWildcard   a | #
//   a/         Plain           a | ""           (a trailing "/": one empty level)
//   /a         Plain           "" | a           (every empty piece is a level)
//   a/+/#      Invalid
//
// Bound: a topic is cut into at most MAX_TOPIC_PIECES pieces; the empty
// level of a trailing "/" is not counted, so a topic has at most 256
// levels. For a filter (and a topic the service publishes), parseTopic
// does not cut a longer topic at all: it is Invalid, has no levels and is
// refused. An arriving topic is never refused for its length:
// parseArrivingTopic cuts it into MAX_TOPIC_PIECES levels, the first 254
// pieces and, as the 255th level, the rest of the topic unchanged (its
// slashes, and a trailing one, included). So "#" matches it, a "#" filter
// matches when its levels before the "#" match the topic's first pieces, a
// "+" filter of 255 levels whose last is "+" matches when its other levels
// do, and no exact filter matches (one that long is Invalid).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mqtt {

// ---- The broker's reading ------------------------------------------------

// Not empty; "+" only as a whole level, "#" only as the whole last level.
bool isValidFilter(const std::string& filter);

// Whether a broker would deliver `topic` to a subscriber of `filter`: "+"
// is exactly one level, "#" is the level before it and everything below
// ("a/#" matches "a", "a/b" and "a/b/c"), and a wildcard first level does
// not match a topic that starts with "$". Comparisons are exact bytes.
// REQUIRES: isValidFilter(filter).
bool filterMatches(const std::string& filter, const std::string& topic);

// ---- The service's reading -----------------------------------------------

enum class TopicKind : uint32_t {
  Plain = 0,           // no level holds "+" or "#"
  SingleWildcard = 1,  // exactly one level is "+", no "#"
  MultiWildcard = 2,   // the last level is "#", no "+"
  Invalid = 3,         // anything else
};

constexpr size_t MAX_TOPIC_PIECES = 255;

// The parsed form of one topic name or filter.
struct TopicPath {
  TopicKind kind = TopicKind::Plain;
  std::string text;                 // the topic, unchanged
  std::vector<std::string> levels;  // the pieces between the slashes, in order
  uint32_t wildcardLevel = 0;       // index of the "+" level (SingleWildcard only)

  bool operator==(const TopicPath& o) const {
    return kind == o.kind && text == o.text && levels == o.levels &&
           wildcardLevel == o.wildcardLevel;
  }
};

// Never fails: an unacceptable topic gets the kind Invalid. The empty
// topic is Plain with one empty level.
TopicPath parseTopic(const std::string& topic);

// The parsed form of the topic of an arriving message: as parseTopic up to
// MAX_TOPIC_PIECES pieces; beyond, the rest is kept as the last level (see
// the bound above). Its kind plays no part in matching.
TopicPath parseArrivingTopic(const std::string& topic);

// Whether parseTopic(topic) is Plain, without cutting the topic into
// levels: no "+" or "#" anywhere, and at most MAX_TOPIC_PIECES pieces.
bool isPlainTopic(const std::string& topic);

// Whether `filter` matches the arriving topic. Only the filter's kind
// counts: "+" and "#" in an arriving topic are ordinary characters.
// Comparisons are exact (bytes, letter case counting).
bool topicMatches(const TopicPath& arriving, const TopicPath& filter);

// Ranks a filter: smaller is more specific. Plain 0; SingleWildcard
// 511 - levels (255..510); MultiWildcard 65791 - levels (65535..65790);
// Invalid, which never matches, INVALID_MATCH_KEY.
constexpr uint32_t INVALID_MATCH_KEY = 0xFFFFFFFF;
uint32_t matchKey(const TopicPath& filter);

}  // namespace mqtt
