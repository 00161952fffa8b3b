#include "mqtt/topic.h"

#include <algorithm>

namespace mqtt {
namespace {

// The pieces that count against MAX_TOPIC_PIECES: one more than the
// slashes, less the empty level that a trailing "/" adds.
size_t piecesOf(const std::string& topic, size_t slashes) {
  const bool trailingSlash = !topic.empty() && topic.back() == '/';
  return slashes + 1 - (trailingSlash ? 1 : 0);
}

size_t countPieces(const std::string& topic) {
  return piecesOf(topic, static_cast<size_t>(std::count(topic.begin(), topic.end(), '/')));
}

// Every piece between slashes is a level, empty ones included; so "a/"
// gives "a" and one empty level, and "" gives one empty level. The last of
// `maxLevels` levels holds the rest of the topic, slashes and all.
std::vector<std::string> splitLevels(const std::string& topic, size_t maxLevels) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    const size_t slash = topic.find('/', start);
    if (slash == std::string::npos || levels.size() + 1 == maxLevels) {
      levels.push_back(topic.substr(start));
      return levels;
    }
    levels.push_back(topic.substr(start, slash - start));
    start = slash + 1;
  }
}

// Visits the levels in order; each one may move the kind on. Invalid is
// final.
TopicKind classify(const std::vector<std::string>& levels, uint32_t& wildcardLevel) {
  TopicKind kind = TopicKind::Plain;
  for (size_t i = 0; i < levels.size() && kind != TopicKind::Invalid; ++i) {
    const std::string& level = levels[i];
    if (level == "+") {
      if (kind != TopicKind::Plain) {
        kind = TopicKind::Invalid;
      } else {
        kind = TopicKind::SingleWildcard;
        wildcardLevel = static_cast<uint32_t>(i);
      }
    } else if (level == "#") {
      const bool last = i + 1 == levels.size();
      kind = kind == TopicKind::Plain && last ? TopicKind::MultiWildcard : TopicKind::Invalid;
    } else if (level.find_first_of("+#") != std::string::npos) {
      kind = TopicKind::Invalid;
    }
  }
  return kind;
}

}  // namespace

bool isValidFilter(const std::string& filter) {
  if (filter.empty()) return false;
  const std::vector<std::string> levels = splitLevels(filter, SIZE_MAX);
  for (size_t i = 0; i < levels.size(); ++i) {
    const std::string& level = levels[i];
    const bool whole = level == "+" || (level == "#" && i + 1 == levels.size());
    if (!whole && level.find_first_of("+#") != std::string::npos) return false;
  }
  return true;
}

bool filterMatches(const std::string& filter, const std::string& topic) {
  const std::vector<std::string> want = splitLevels(filter, SIZE_MAX);
  const std::vector<std::string> have = splitLevels(topic, SIZE_MAX);
  if (!topic.empty() && topic[0] == '$' && (want[0] == "+" || want[0] == "#")) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == "#") return true;
    if (i >= have.size()) return false;
    if (want[i] != "+" && want[i] != have[i]) return false;
  }
  return want.size() == have.size();
}

TopicPath parseTopic(const std::string& topic) {
  TopicPath path;
  path.text = topic;
  // Counted before cutting, so an over-long topic costs no allocation per
  // level (a topic may be 65535 bytes, all of them slashes).
  if (countPieces(topic) > MAX_TOPIC_PIECES) {
    path.kind = TopicKind::Invalid;
    return path;
  }
  path.levels = splitLevels(topic, MAX_TOPIC_PIECES + 1);
  path.kind = classify(path.levels, path.wildcardLevel);
  return path;
}

TopicPath parseArrivingTopic(const std::string& topic) {
  if (countPieces(topic) <= MAX_TOPIC_PIECES) return parseTopic(topic);
  TopicPath path;
  path.text = topic;
  path.levels = splitLevels(topic, MAX_TOPIC_PIECES);
  path.kind = classify(path.levels, path.wildcardLevel);
  return path;
}

// One pass over the topic: it is checked for every publish.
bool isPlainTopic(const std::string& topic) {
  size_t slashes = 0;
  for (const char c : topic) {
    if (c == '+' || c == '#') return false;
    slashes += c == '/' ? 1 : 0;
  }
  return piecesOf(topic, slashes) <= MAX_TOPIC_PIECES;
}

bool topicMatches(const TopicPath& arriving, const TopicPath& filter) {
  const std::vector<std::string>& want = filter.levels;
  const std::vector<std::string>& got = arriving.levels;
  switch (filter.kind) {
    case TopicKind::Plain:
      return arriving.text == filter.text;
    case TopicKind::SingleWildcard:
      if (got.size() != want.size()) return false;
      for (size_t i = 0; i < want.size(); ++i) {
        if (i != filter.wildcardLevel && got[i] != want[i]) return false;
      }
      return true;
    case TopicKind::MultiWildcard:
      // The "#" level must be matched by at least one level: a/# needs a/x.
      if (want.empty() || got.size() < want.size()) return false;
      return std::equal(want.begin(), want.end() - 1, got.begin());
    case TopicKind::Invalid:
      break;
  }
  return false;
}

uint32_t matchKey(const TopicPath& filter) {
  const uint32_t levels = static_cast<uint32_t>(filter.levels.size());
  switch (filter.kind) {
    case TopicKind::Plain:
      return 0;
    case TopicKind::SingleWildcard:
      return 511 - levels;
    case TopicKind::MultiWildcard:
      return 65791 - levels;
    case TopicKind::Invalid:
      break;
  }
  return INVALID_MATCH_KEY;
}

}  // namespace mqtt
