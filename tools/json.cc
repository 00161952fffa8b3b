#include "tools/json.h"

#include <nlohmann/json.hpp>

#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "tools/utf8.h"
#include "tools/values.h"

namespace mqttctl {
namespace json {
namespace {

// The input as the library's parser reads it, byte by byte, remembering
// how far it has read: the parser's events carry no position, and a
// refusal should say where it is.
class Reading {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  Reading(const char* at, const char** read) : at_(at), read_(read) {}
  reference operator*() const { return *at_; }
  Reading& operator++() {
    *read_ = ++at_;
    return *this;
  }
  bool operator==(const Reading& other) const { return at_ == other.at_; }
  bool operator!=(const Reading& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char** read_;  // shared by the copies the parser makes
};

// The library's message without its prefix ("[json.exception.parse_error.101]
// parse error at line 1, column 7: ") and without the input it quotes at the
// end, which may be any bytes at all.
std::string reasonOf(const std::string& what) {
  const size_t start = what.find(": ");
  const std::string text = start == std::string::npos ? what : what.substr(start + 2);
  return text.substr(0, text.find("; last read: "));
}

// A refusal at the last of `bytesRead` bytes.
kv::Status refusal(size_t bytesRead, const std::string& what) {
  return kv::Status::malformed("JSON at byte " + std::to_string(bytesRead ? bytesRead - 1 : 0) +
                               ": " + what);
}

// Builds the document from the parser's events and checks what the parser
// leaves to its user: the depth, the number of values and duplicate keys.
// An event that returns false stops the parse; `error` then says why.
class Builder : public nlohmann::json_sax<Json> {
 public:
  Builder(Json& root, const char* start, const char* const& read)
      : root_(root), start_(start), read_(read) {}

  kv::Status error;

  bool null() override { return place(nullptr) != nullptr; }
  bool boolean(bool v) override { return place(v) != nullptr; }
  bool number_integer(number_integer_t v) override { return place(v) != nullptr; }
  bool number_unsigned(number_unsigned_t v) override { return place(v) != nullptr; }
  bool number_float(number_float_t v, const string_t&) override { return place(v) != nullptr; }
  bool string(string_t& v) override { return place(std::move(v)) != nullptr; }
  bool binary(binary_t&) override { return fail("binary data is not JSON"); }
  bool start_object(std::size_t) override { return open(Json::object()); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& key) override {
    if (!open_.back().keys.insert(key).second) {
      return fail("the key " + quoteArg(key) + " appears twice");
    }
    key_ = std::move(key);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const Json::exception& e) override {
    error = refusal(position, reasonOf(e.what()));
    return false;
  }

 private:
  struct Open {
    Json* value;
    std::set<std::string> keys;  // an object's, to refuse a second one
  };

  bool fail(const std::string& what) {
    error = refusal(static_cast<size_t>(read_ - start_), what);
    return false;
  }

  // Puts a value into the array or object being read, or at the root;
  // returns where it now is.
  Json* place(Json&& value) {
    if (++values_ > MAX_VALUES) {
      fail("more than " + std::to_string(MAX_VALUES) + " values");
      return nullptr;
    }
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back().value;
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    // key() has checked that the key is new: append it directly, as the
    // map's own insertion would search every member first.
    auto& members = static_cast<Json::object_t::Container&>(parent.get_ref<Json::object_t&>());
    members.emplace_back(std::move(key_), std::move(value));
    return &members.back().second;
  }

  bool open(Json&& container) {
    if (open_.size() >= static_cast<size_t>(MAX_DEPTH)) {
      return fail("nested deeper than " + std::to_string(MAX_DEPTH));
    }
    Json* placed = place(std::move(container));
    if (placed) open_.push_back({placed, {}});
    return placed != nullptr;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  Json& root_;
  const char* start_;
  const char* const& read_;
  std::vector<Open> open_;  // the arrays and objects not closed yet, outermost first
  std::string key_;         // an object's key, until its value comes
  size_t values_ = 0;
};

}  // namespace

kv::Status parse(const std::string& text, Json& out) {
  if (text.size() > MAX_INPUT_BYTES) {
    return kv::Status::tooLarge("JSON input is larger than " + std::to_string(MAX_INPUT_BYTES) +
                                " bytes");
  }
  out = Json();
  const char* read = text.data();
  Builder builder(out, text.data(), read);
  const Reading first(text.data(), &read), last(text.data() + text.size(), &read);
  return Json::sax_parse(first, last, &builder) ? kv::Status::ok() : builder.error;
}

std::string dump(const Json& value) {
  // The library writes U+0008 and U+000C as \b and \f, and DEL as it is;
  // the console writes every control character as a \u escape but the
  // three everybody knows (\n, \r, \t), and DEL, too, is one a terminal
  // should not get.
  const std::string raw = value.dump();
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x7f') {
      out += "\\u007f";
    } else if (raw[i] == '\\' && i + 1 < raw.size()) {
      const char named = raw[++i];
      out += named == 'b' ? "\\u0008" : named == 'f' ? "\\u000c" : std::string{'\\', named};
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

Json textOrHex(const std::string& bytes) {
  if (isValidUtf8(bytes)) return bytes;
  return Json{{"hex", hexBytes(bytes)}};
}

kv::Status toUnsigned(const Json& value, uint64_t max, uint64_t& out) {
  const std::string range = "an integer from 0 to " + std::to_string(max);
  if (!value.is_number())
    return kv::Status::malformed("expected " + range + ", got " + kindName(value));
  if (!value.is_number_unsigned() || value.get<uint64_t>() > max) {
    return kv::Status::malformed("expected " + range + ", got " + dump(value));
  }
  out = value.get<uint64_t>();
  return kv::Status::ok();
}

const char* kindName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

}  // namespace json
}  // namespace mqttctl
