#include "platform/message_codec.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/bytes.h"

namespace kv {
namespace {

// Smallest encoding of one field (type, number, a bool) and of one nested
// message (its count); used to refuse counts that cannot fit before any
// allocation is made.
constexpr size_t MIN_FIELD_BYTES = 6;
constexpr size_t MIN_MESSAGE_BYTES = 4;
// Room made in a decoded message for fields its receiver adds (the bus
// stamps a request with its origin, request id and rights), so that adding
// them does not copy every field into a vector twice the size.
constexpr size_t SPARE_TOP_LEVEL_FIELDS = 4;

void encodeValue(const detail::Field& f, std::string& out) {
  switch (f.type) {
    case FieldType::Bool:
      putU8(out, std::get<uint64_t>(f.value) ? 1 : 0);
      break;
    case FieldType::U32:
      putU32(out, static_cast<uint32_t>(std::get<uint64_t>(f.value)));
      break;
    case FieldType::Be32: {
      uint32_t held = static_cast<uint32_t>(std::get<uint64_t>(f.value));
      out.append(reinterpret_cast<const char*>(&held), 4);
      break;
    }
    case FieldType::U64:
      putU64(out, std::get<uint64_t>(f.value));
      break;
    case FieldType::String: {
      const std::string& s = std::get<std::string>(f.value);
      putU32(out, static_cast<uint32_t>(s.size()));
      out.append(s);
      break;
    }
    case FieldType::U32Array: {
      const auto& a = std::get<std::vector<uint32_t>>(f.value);
      putU32(out, static_cast<uint32_t>(a.size()));
      for (uint32_t v : a) putU32(out, v);
      break;
    }
    case FieldType::StringArray: {
      const auto& a = std::get<std::vector<std::string>>(f.value);
      putU32(out, static_cast<uint32_t>(a.size()));
      for (const std::string& s : a) {
        putU32(out, static_cast<uint32_t>(s.size()));
        out.append(s);
      }
      break;
    }
    case FieldType::Message:
      encodeMessage(std::get<std::vector<message>>(f.value).front(), out);
      break;
    case FieldType::MessageArray: {
      const auto& a = std::get<std::vector<message>>(f.value);
      putU32(out, static_cast<uint32_t>(a.size()));
      for (const message& m : a) encodeMessage(m, out);
      break;
    }
  }
}

size_t valueSize(const detail::Field& f) {
  switch (f.type) {
    case FieldType::Bool: return 1;
    case FieldType::U32:
    case FieldType::Be32: return 4;
    case FieldType::U64: return 8;
    case FieldType::String: return 4 + std::get<std::string>(f.value).size();
    case FieldType::U32Array: return 4 + 4 * std::get<std::vector<uint32_t>>(f.value).size();
    case FieldType::StringArray: {
      size_t n = 4;
      for (const auto& s : std::get<std::vector<std::string>>(f.value)) n += 4 + s.size();
      return n;
    }
    case FieldType::Message:
      return encodedSize(std::get<std::vector<message>>(f.value).front());
    case FieldType::MessageArray: {
      size_t n = 4;
      for (const auto& m : std::get<std::vector<message>>(f.value)) n += encodedSize(m);
      return n;
    }
  }
  return 0;
}

// Decoding makes two passes over the input. The check walks all of it
// without allocating anything: every count and length against the bytes
// left (each element needs at least its minimum encoding), every type
// byte, bool value and nesting level, and the end of the input. Only input
// that passed is built, and the build reserves each vector at its exact
// count, which the check has proved is really there. So a hostile count
// costs nothing, nothing grows by doubling, and the built message is a
// fixed multiple of the input (docs/message-encoding.md gives the bound).
class Checker {
 public:
  Checker(const void* data, size_t size) : in_(data, size) {}

  Status checkMessage(int depth) {
    if (depth > MAX_MESSAGE_DEPTH) return Status::malformed("messages nested too deep");
    uint32_t count = 0;
    if (!in_.readU32(count)) return truncated("field count");
    if (count > in_.remaining() / MIN_FIELD_BYTES) {
      return Status::malformed("field count " + std::to_string(count) + " exceeds the input");
    }
    for (uint32_t i = 0; i < count; ++i) {
      Status s = checkField(depth);
      if (!s.isOk()) return s;
    }
    return Status::ok();
  }

  size_t remaining() const { return in_.remaining(); }

 private:
  static Status truncated(const char* what) {
    return Status::malformed(std::string("truncated ") + what);
  }

  Status readCount(uint32_t& count, size_t minElement, const char* what) {
    if (!in_.readU32(count)) return truncated(what);
    if (count > in_.remaining() / minElement) {
      return Status::malformed(std::string(what) + " exceeds the input");
    }
    return Status::ok();
  }

  Status skip(size_t n, const char* what) {
    return in_.skip(n) ? Status::ok() : truncated(what);
  }

  Status checkString() {
    uint32_t len = 0;
    Status st = readCount(len, 1, "string length");
    return st.isOk() ? skip(len, "string") : st;
  }

  Status checkField(int depth) {
    uint8_t rawType = 0;
    uint32_t num = 0;
    if (!in_.readU8(rawType) || !in_.readU32(num)) return truncated("field header");
    if (!isValidFieldType(rawType)) {
      return Status::malformed("unknown field type " + std::to_string(rawType));
    }
    switch (static_cast<FieldType>(rawType)) {
      case FieldType::Bool: {
        uint8_t b = 0;
        if (!in_.readU8(b)) return truncated("bool");
        return b > 1 ? Status::malformed("bool value " + std::to_string(b)) : Status::ok();
      }
      case FieldType::U32:
      case FieldType::Be32: return skip(4, "u32");
      case FieldType::U64: return skip(8, "u64");
      case FieldType::String: return checkString();
      case FieldType::U32Array: {
        uint32_t count = 0;
        Status st = readCount(count, 4, "u32 array");
        return st.isOk() ? skip(4 * size_t{count}, "u32 array") : st;
      }
      case FieldType::StringArray: return checkElements(FieldType::StringArray, depth);
      case FieldType::Message: return checkMessage(depth + 1);
      case FieldType::MessageArray: return checkElements(FieldType::MessageArray, depth);
    }
    return Status::malformed("unknown field type");
  }

  Status checkElements(FieldType type, int depth) {
    const bool strings = type == FieldType::StringArray;
    uint32_t count = 0;
    Status st = readCount(count, strings ? 4 : MIN_MESSAGE_BYTES,
                          strings ? "string array" : "message array");
    for (uint32_t i = 0; st.isOk() && i < count; ++i) {
      st = strings ? checkString() : checkMessage(depth + 1);
    }
    return st;
  }

  ByteReader in_;
};

// Builds a message from input that Checker accepted; the only fault left
// to find is a field that appears twice.
class Builder {
 public:
  Builder(const void* data, size_t size) : in_(data, size) {}

  Status buildMessage(message& out, size_t spareFields = 0) {
    const uint32_t count = readU32();
    out.reserveFields(count + spareFields);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t rawType = 0;
      in_.readU8(rawType);
      const uint32_t num = readU32();
      Status st = buildValue(out.appendEmpty(static_cast<FieldType>(rawType), num));
      if (!st.isOk()) return st;
    }
    return hasRepeatedField(out) ? Status::malformed("a field appears twice") : Status::ok();
  }

 private:
  uint32_t readU32() {
    uint32_t v = 0;
    in_.readU32(v);
    return v;
  }

  // Built in place from the input (the check has proved the bytes are
  // there): constructing a string is cheaper than assigning to an empty one.
  std::string readString() {
    const uint32_t length = readU32();
    const char* at = reinterpret_cast<const char*>(in_.position());
    in_.skip(length);
    return std::string(at, length);
  }

  // Reads the value of `f`, whose type and number are set.
  Status buildValue(detail::Field& f) {
    switch (f.type) {
      case FieldType::Bool: {
        uint8_t b = 0;
        in_.readU8(b);
        f.value = uint64_t{b};
        return Status::ok();
      }
      case FieldType::U32: f.value = uint64_t{readU32()}; return Status::ok();
      case FieldType::Be32: {
        uint32_t held = 0;
        in_.readRaw(&held, 4);
        f.value = uint64_t{held};
        return Status::ok();
      }
      case FieldType::U64: {
        uint64_t v = 0;
        in_.readU64(v);
        f.value = v;
        return Status::ok();
      }
      case FieldType::String:
        f.value.emplace<std::string>(readString());
        return Status::ok();
      case FieldType::U32Array: f.value = buildU32Array(); return Status::ok();
      case FieldType::StringArray: f.value = buildStringArray(); return Status::ok();
      case FieldType::Message:
      case FieldType::MessageArray: return buildMessages(f);
    }
    return Status::malformed("unknown field type");
  }

  std::vector<uint32_t> buildU32Array() {
    std::vector<uint32_t> a(readU32());
    for (uint32_t& v : a) in_.readU32(v);
    return a;
  }

  std::vector<std::string> buildStringArray() {
    const uint32_t count = readU32();
    std::vector<std::string> a;
    a.reserve(count);
    for (uint32_t i = 0; i < count; ++i) a.push_back(readString());
    return a;
  }

  // A single nested message is held as a vector of one.
  Status buildMessages(detail::Field& f) {
    const uint32_t count = f.type == FieldType::Message ? 1 : readU32();
    f.value = std::vector<message>();
    auto& a = std::get<std::vector<message>>(f.value);
    a.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      a.emplace_back();
      Status st = buildMessage(a.back());
      if (!st.isOk()) return st;
    }
    return Status::ok();
  }

  // A first pass marks each field in a bit set per type, by its number
  // modulo 64; a field that appears twice always finds its bit taken. Only
  // then (or when two numbers merely share a bit) is the message checked
  // exactly: small ones pairwise, larger ones through a sorted index (4
  // bytes a field, freed before returning).
  static bool hasRepeatedField(const message& m) {
    uint64_t seen[static_cast<size_t>(FieldType::MessageArray) + 1] = {};
    for (const detail::Field& f : m.fields()) {
      uint64_t& marks = seen[static_cast<size_t>(f.type)];
      const uint64_t bit = uint64_t{1} << (f.num % 64);
      if (marks & bit) return hasRepeatedFieldExactly(m);
      marks |= bit;
    }
    return false;
  }

  static bool hasRepeatedFieldExactly(const message& m) {
    const auto& fields = m.fields();
    auto less = [&fields](uint32_t a, uint32_t b) {
      return std::make_pair(fields[a].type, fields[a].num) <
             std::make_pair(fields[b].type, fields[b].num);
    };
    auto same = [&fields](uint32_t a, uint32_t b) {
      return fields[a].type == fields[b].type && fields[a].num == fields[b].num;
    };
    const uint32_t n = static_cast<uint32_t>(fields.size());
    if (n <= PAIRWISE_FIELDS) {
      for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = i + 1; j < n; ++j) {
          if (same(i, j)) return true;
        }
      }
      return false;
    }
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), less);
    return std::adjacent_find(order.begin(), order.end(), same) != order.end();
  }

  static constexpr uint32_t PAIRWISE_FIELDS = 16;
  ByteReader in_;
};

}  // namespace

void encodeMessage(const message& msg, std::string& out) {
  putU32(out, static_cast<uint32_t>(msg.fields().size()));
  for (const detail::Field& f : msg.fields()) {
    putU8(out, static_cast<uint8_t>(f.type));
    putU32(out, f.num);
    encodeValue(f, out);
  }
}

std::string encodeMessage(const message& msg) {
  std::string out;
  out.reserve(encodedSize(msg));
  encodeMessage(msg, out);
  return out;
}

size_t encodedSize(const message& msg) {
  size_t n = 4;
  for (const detail::Field& f : msg.fields()) n += 5 + valueSize(f);
  return n;
}

Status decodeMessage(const void* data, size_t size, message& out) {
  out = message();
  if (size > MAX_ENCODED_MESSAGE) {
    return Status::tooLarge(std::to_string(size) + " bytes exceed the message limit");
  }
  Checker check(data, size);
  Status st = check.checkMessage(0);
  if (st.isOk() && check.remaining() != 0) {
    st = Status::malformed(std::to_string(check.remaining()) + " trailing bytes");
  }
  if (st.isOk()) st = Builder(data, size).buildMessage(out, SPARE_TOP_LEVEL_FIELDS);
  if (!st.isOk()) out = message();
  return st;
}

}  // namespace kv
