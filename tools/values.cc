#include "tools/values.h"

#include <cstdio>
#include <cstring>

#include "mqtt/topic.h"
#include "tools/utf8.h"

namespace mqttctl {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char HEX_DIGITS[] = "0123456789abcdef";

// The one-letter escapes of byte strings: ESCAPE_LETTERS[i] after a
// backslash stands for ESCAPED_BYTES[i].
const char ESCAPE_LETTERS[] = {'n', 't', 'r', '0', '\\', '"'};
const char ESCAPED_BYTES[] = {'\n', '\t', '\r', '\0', '\\', '"'};

void appendEscapedByte(std::string& out, unsigned char c, bool escapeQuotes) {
  if (c == '"' && !escapeQuotes) {
    out.push_back('"');
    return;
  }
  for (size_t i = 0; i < sizeof ESCAPED_BYTES; ++i) {
    if (static_cast<char>(c) == ESCAPED_BYTES[i]) {
      out.push_back('\\');
      out.push_back(ESCAPE_LETTERS[i]);
      return;
    }
  }
  if (c >= 0x20 && c < 0x7f) {
    out.push_back(static_cast<char>(c));
    return;
  }
  out += "\\x";
  out.push_back(HEX_DIGITS[c >> 4]);
  out.push_back(HEX_DIGITS[c & 15]);
}

// The byte that follows a backslash at text[pos]; advances pos past the
// escape.
kv::Status unescapeOne(const std::string& text, size_t& pos, char& out) {
  if (pos >= text.size()) {
    return kv::Status::malformed("a lone backslash ends the string (write \\\\ for a backslash)");
  }
  char c = text[pos++];
  for (size_t i = 0; i < sizeof ESCAPE_LETTERS; ++i) {
    if (c == ESCAPE_LETTERS[i]) {
      out = ESCAPED_BYTES[i];
      return kv::Status::ok();
    }
  }
  if (c != 'x') {
    return kv::Status::malformed("unknown escape " + quoteArg(std::string("\\") + c) +
                                 " (use \\n \\t \\r \\\\ \\\" \\0 or \\xNN)");
  }
  int high = pos < text.size() ? hexDigit(text[pos]) : -1;
  int low = pos + 1 < text.size() ? hexDigit(text[pos + 1]) : -1;
  if (high < 0 || low < 0) return kv::Status::malformed("\\x needs two hex digits");
  pos += 2;
  out = static_cast<char>(high * 16 + low);
  return kv::Status::ok();
}

}  // namespace

kv::Status parseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  unsigned base = hex ? 16 : 10;
  size_t i = hex ? 2 : 0;
  if (text.empty()) return kv::Status::malformed("a number is empty");
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int digit = hexDigit(text[i]);
    if (digit < 0 || (!hex && digit > 9)) {
      return kv::Status::malformed(quoteArg(text) + " is not a number (decimal or 0x hex)");
    }
    if (value > (max - static_cast<uint64_t>(digit)) / base) {
      return kv::Status::malformed(quoteArg(text) + " is larger than " + std::to_string(max));
    }
    value = value * base + static_cast<uint64_t>(digit);
  }
  out = value;
  return kv::Status::ok();
}

kv::Status parseU32(const std::string& text, uint32_t& out) {
  uint64_t value = 0;
  kv::Status st = parseUnsigned(text, UINT32_MAX, value);
  if (st.isOk()) out = static_cast<uint32_t>(value);
  return st;
}

kv::Status parseU64(const std::string& text, uint64_t& out) {
  return parseUnsigned(text, UINT64_MAX, out);
}

kv::Status parsePath(const std::string& text, std::vector<uint32_t>& out) {
  out.clear();
  if (text.empty()) return kv::Status::ok();
  size_t start = 0;
  for (;;) {
    size_t end = text.find_first_of(".,", start);
    std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    uint32_t element = 0;
    kv::Status st = parseU32(part, element);
    if (!st.isOk()) return kv::Status::malformed("path " + quoteArg(text) + ": " + st.message());
    if (out.size() == MAX_PATH_ELEMENTS) {
      return kv::Status::malformed("path " + quoteArg(text) + " has more than " +
                                   std::to_string(MAX_PATH_ELEMENTS) + " elements");
    }
    out.push_back(element);
    if (end == std::string::npos) return kv::Status::ok();
    start = end + 1;
  }
}

std::string pathText(const std::vector<uint32_t>& path) {
  std::string text;
  for (size_t i = 0; i < path.size(); ++i) {
    if (i) text += '.';
    text += std::to_string(path[i]);
  }
  return text;
}

kv::Status parseIpv4(const std::string& text, uint32_t& networkOrder) {
  unsigned char bytes[4];
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = i < 3 ? text.find('.', pos) : text.size();
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(pos, end - pos);
    uint64_t value = 0;
    bool leadingZero = part.size() > 1 && part[0] == '0';
    if (leadingZero || part.size() > 3 || !parseUnsigned(part, 255, value).isOk() ||
        (i < 3 && end == text.size())) {
      return kv::Status::malformed(quoteArg(text) + " is not a dotted IPv4 address");
    }
    bytes[i] = static_cast<unsigned char>(value);
    pos = end + 1;
  }
  std::memcpy(&networkOrder, bytes, 4);
  return kv::Status::ok();
}

kv::Status parseBe32(const std::string& text, uint32_t& networkOrder) {
  if (text.find('.') != std::string::npos) return parseIpv4(text, networkOrder);
  uint32_t value = 0;
  kv::Status st = parseU32(text, value);
  if (!st.isOk()) {
    return kv::Status::malformed(quoteArg(text) + " is neither a dotted IPv4 address nor a number");
  }
  unsigned char bytes[4] = {
      static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
      static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
  std::memcpy(&networkOrder, bytes, 4);
  return kv::Status::ok();
}

std::string ipv4Text(uint32_t networkOrder) {
  unsigned char b[4];
  std::memcpy(b, &networkOrder, 4);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

kv::Status unescapeBytes(const std::string& text, std::string& out) {
  out.clear();
  for (size_t pos = 0; pos < text.size();) {
    char c = text[pos++];
    if (c == '\\') {
      kv::Status st = unescapeOne(text, pos, c);
      if (!st.isOk()) return st;
    }
    out.push_back(c);
  }
  return kv::Status::ok();
}

std::string escapeBytes(const std::string& bytes, bool escapeQuotes) {
  bool utf8 = isValidUtf8(bytes);
  std::string out;
  for (size_t pos = 0; pos < bytes.size();) {
    uint32_t cp = 0;
    size_t n = utf8 ? utf8SequenceLength(bytes, pos, &cp) : 1;
    // C1 controls (U+0080..U+009F) can drive a terminal: escape them too.
    if (n > 1 && cp >= 0xa0) {
      out.append(bytes, pos, n);
      pos += n;
      continue;
    }
    for (size_t i = 0; i < n; ++i)
      appendEscapedByte(out, static_cast<unsigned char>(bytes[pos + i]), escapeQuotes);
    pos += n;
  }
  return out;
}

kv::Status parseSeconds(const std::string& text, uint32_t& millis) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  uint64_t seconds = 0;
  uint64_t thousandths = 0;
  bool ok =
      !whole.empty() && whole.find_first_not_of("0123456789") == std::string::npos &&
      parseUnsigned(whole, MAX_TIMEOUT_SECONDS, seconds).isOk() &&
      (dot == std::string::npos || (!fraction.empty() && fraction.size() <= 3 &&
                                    fraction.find_first_not_of("0123456789") == std::string::npos));
  if (!ok) {
    return kv::Status::malformed("time-out " + quoteArg(text) +
                                 " is not a number of seconds from 0.001 to " +
                                 std::to_string(MAX_TIMEOUT_SECONDS));
  }
  fraction.resize(3, '0');
  thousandths = static_cast<uint64_t>(std::stoul(fraction));
  uint64_t total = seconds * 1000 + thousandths;
  if (total == 0 || total > uint64_t{MAX_TIMEOUT_SECONDS} * 1000) {
    return kv::Status::malformed("time-out " + quoteArg(text) + " is out of range (0.001 to " +
                                 std::to_string(MAX_TIMEOUT_SECONDS) + " seconds)");
  }
  millis = static_cast<uint32_t>(total);
  return kv::Status::ok();
}

std::string numberText(uint32_t num) { return num < 0x10000 ? std::to_string(num) : hexText(num); }

std::string hexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string hexBytes(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(HEX_DIGITS[c >> 4]);
    out.push_back(HEX_DIGITS[c & 15]);
  }
  return out;
}

kv::Status checkTopicFilter(const std::string& filter) {
  if (filter.empty()) return kv::Status::malformed("the topic filter is empty");
  if (mqtt::isValidFilter(filter)) return kv::Status::ok();
  return kv::Status::malformed("topic filter " + quoteArg(filter) +
                               ": + and # stand alone in a level, and # only last");
}

std::string quoteArg(const std::string& text) {
  constexpr size_t MAX_SHOWN = 48;
  if (text.size() <= MAX_SHOWN) return "\"" + escapeBytes(text) + "\"";
  return "\"" + escapeBytes(text.substr(0, MAX_SHOWN)) + "\"...";
}

std::string secondsText(uint32_t millis) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%03u", millis / 1000, millis % 1000);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

}  // namespace mqttctl
