#include "tools/json.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "tools/utf8.h"
#include "tools/values.h"

namespace mqttctl {
namespace json {
namespace {

// Recursive descent over the input, with a cursor that never passes the
// end: every read checks `pos_ < s_.size()` first.
class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  kv::Status document(Value& out) {
    if (s_.size() > MAX_INPUT_BYTES) {
      return kv::Status::tooLarge("JSON input is larger than " + std::to_string(MAX_INPUT_BYTES) +
                                  " bytes");
    }
    kv::Status st = value(out, 1);
    if (!st.isOk()) return st;
    skipSpace();
    if (pos_ != s_.size()) return error("unexpected text after the JSON value");
    return kv::Status::ok();
  }

 private:
  kv::Status error(const std::string& what) const {
    return kv::Status::malformed("JSON at byte " + std::to_string(pos_) + ": " + what);
  }

  void skipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(char c) {
    skipSpace();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  kv::Status value(Value& out, int depth) {
    if (++values_ > MAX_VALUES) return error("more than " + std::to_string(MAX_VALUES) + " values");
    skipSpace();
    if (pos_ >= s_.size()) return error("a value is missing");
    char c = s_[pos_];
    if (c == '[' || c == '{') {
      if (depth > MAX_DEPTH) return error("nested deeper than " + std::to_string(MAX_DEPTH));
      return c == '[' ? array(out, depth) : object(out, depth);
    }
    if (c == '"') {
      out.kind = Value::Kind::String;
      return string(out.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      out.kind = Value::Kind::Number;
      return number(out.text);
    }
    return literal(out);
  }

  kv::Status literal(Value& out) {
    static const struct {
      const char* word;
      Value::Kind kind;
    } LITERALS[] = {
        {"true", Value::Kind::True}, {"false", Value::Kind::False}, {"null", Value::Kind::Null}};
    for (const auto& lit : LITERALS) {
      std::string word(lit.word);
      if (s_.compare(pos_, word.size(), word) == 0) {
        pos_ += word.size();
        out.kind = lit.kind;
        return kv::Status::ok();
      }
    }
    return error(
        "unexpected character (a value must be an object, array, string, number, "
        "true, false or null)");
  }

  kv::Status array(Value& out, int depth) {
    out.kind = Value::Kind::Array;
    ++pos_;  // '['
    if (consume(']')) return kv::Status::ok();
    do {
      out.items.emplace_back();
      kv::Status st = value(out.items.back(), depth + 1);
      if (!st.isOk()) return st;
    } while (consume(','));
    return consume(']') ? kv::Status::ok() : error("expected ',' or ']' in an array");
  }

  kv::Status object(Value& out, int depth) {
    out.kind = Value::Kind::Object;
    ++pos_;  // '{'
    if (consume('}')) return kv::Status::ok();
    std::set<std::string> seen;
    do {
      skipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return error("expected a string key in an object");
      std::string key;
      kv::Status st = string(key);
      if (!st.isOk()) return st;
      if (!seen.insert(key).second) return error("the key " + quoteArg(key) + " appears twice");
      if (!consume(':')) return error("expected ':' after an object key");
      out.keys.push_back(std::move(key));
      out.items.emplace_back();
      st = value(out.items.back(), depth + 1);
      if (!st.isOk()) return st;
    } while (consume(','));
    return consume('}') ? kv::Status::ok() : error("expected ',' or '}' in an object");
  }

  // REQUIRES: s_[pos_] == '"'.
  kv::Status string(std::string& out) {
    ++pos_;
    out.clear();
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return kv::Status::ok();
      }
      if (c < 0x20) return error("a control character must be escaped in a string");
      if (c == '\\') {
        ++pos_;
        kv::Status st = escape(out);
        if (!st.isOk()) return st;
        continue;
      }
      size_t n = utf8SequenceLength(s_, pos_);
      if (n == 0) return error("a string is not valid UTF-8");
      out.append(s_, pos_, n);
      pos_ += n;
    }
    return error("a string is not terminated");
  }

  // After a backslash.
  kv::Status escape(std::string& out) {
    static const char NAMES[] = "\"\\/bfnrt";
    static const char BYTES[] = "\"\\/\b\f\n\r\t";
    if (pos_ >= s_.size()) return error("a string is not terminated");
    char c = s_[pos_++];
    if (c == 'u') return unicodeEscape(out);
    const char* named = c ? std::strchr(NAMES, c) : nullptr;
    if (!named) {
      --pos_;
      return error("unknown escape in a string");
    }
    out.push_back(BYTES[named - NAMES]);
    return kv::Status::ok();
  }

  // After "\u": four hex digits, and for a high surrogate a second \u
  // escape with the low surrogate.
  kv::Status unicodeEscape(std::string& out) {
    uint32_t cp = 0;
    if (!hex4(cp)) return error("\\u needs four hex digits");
    if (cp >= 0xdc00 && cp <= 0xdfff) return error("a low surrogate without a high surrogate");
    if (cp >= 0xd800 && cp <= 0xdbff) {
      uint32_t low = 0;
      if (s_.compare(pos_, 2, "\\u") != 0) return error("a high surrogate without a low surrogate");
      pos_ += 2;
      if (!hex4(low)) return error("\\u needs four hex digits");
      if (low < 0xdc00 || low > 0xdfff) return error("a high surrogate without a low surrogate");
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    appendUtf8(out, cp);
    return kv::Status::ok();
  }

  bool hex4(uint32_t& out) {
    if (s_.size() - pos_ < 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_ + static_cast<size_t>(i)];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    pos_ += 4;
    out = v;
    return true;
  }

  // -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
  kv::Status number(std::string& out) {
    size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (!digits()) {
      return error("a number needs digits");
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!digits()) return error("a number needs digits after '.'");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!digits()) return error("a number needs digits in its exponent");
    }
    out.assign(s_, start, pos_ - start);
    return kv::Status::ok();
  }

  bool digits() {
    size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  const std::string& s_;
  size_t pos_ = 0;
  size_t values_ = 0;
};

}  // namespace

const Value* Value::member(const std::string& key) const {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

kv::Status parse(const std::string& text, Value& out) {
  out = Value();
  return Parser(text).document(out);
}

kv::Status toUnsigned(const Value& value, uint64_t max, uint64_t& out) {
  const std::string range = "an integer from 0 to " + std::to_string(max);
  if (!value.isNumber())
    return kv::Status::malformed("expected " + range + ", got " + kindName(value.kind));
  if (value.text.find_first_not_of("0123456789") != std::string::npos) {
    return kv::Status::malformed("expected " + range + ", got " + value.text);
  }
  uint64_t v = 0;
  for (char c : value.text) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10)
      return kv::Status::malformed("expected " + range + ", got " + value.text);
    v = v * 10 + digit;
  }
  out = v;
  return kv::Status::ok();
}

void writeString(std::string& out, const std::string& bytes) {
  out.push_back('"');
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

const char* kindName(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::Null:
      return "null";
    case Value::Kind::False:
      return "false";
    case Value::Kind::True:
      return "true";
    case Value::Kind::Number:
      return "a number";
    case Value::Kind::String:
      return "a string";
    case Value::Kind::Array:
      return "an array";
    case Value::Kind::Object:
      return "an object";
  }
  return "?";
}

}  // namespace json
}  // namespace mqttctl
