#include "tools/topic_filter.h"

#include <vector>

#include "tools/values.h"

namespace mqttctl {
namespace {

std::vector<std::string> levelsOf(const std::string& text) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (size_t slash; (slash = text.find('/', start)) != std::string::npos; start = slash + 1) {
    levels.push_back(text.substr(start, slash - start));
  }
  levels.push_back(text.substr(start));
  return levels;
}

}  // namespace

kv::Status checkTopicFilter(const std::string& filter) {
  if (filter.empty()) return kv::Status::malformed("the topic filter is empty");
  const std::vector<std::string> levels = levelsOf(filter);
  for (size_t i = 0; i < levels.size(); ++i) {
    const std::string& level = levels[i];
    const bool wildcard = level.find_first_of("+#") != std::string::npos;
    const bool whole = level == "+" || (level == "#" && i + 1 == levels.size());
    if (wildcard && !whole) {
      return kv::Status::malformed("topic filter " + quoteArg(filter) +
                                   ": + and # stand alone in a level, and # only last");
    }
  }
  return kv::Status::ok();
}

bool topicFilterMatches(const std::string& filter, const std::string& topic) {
  const std::vector<std::string> want = levelsOf(filter), have = levelsOf(topic);
  if (!topic.empty() && topic[0] == '$' && (want[0] == "+" || want[0] == "#")) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == "#") return true;
    if (i >= have.size()) return false;
    if (want[i] != "+" && want[i] != have[i]) return false;
  }
  return want.size() == have.size();
}

}  // namespace mqttctl
