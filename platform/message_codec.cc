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

class Decoder {
 public:
  Decoder(const void* data, size_t size) : in_(data, size) {}

  Status decode(message& out, int depth) {
    if (depth > MAX_MESSAGE_DEPTH) return Status::malformed("messages nested too deep");
    uint32_t count = 0;
    if (!in_.readU32(count)) return truncated("field count");
    if (count > in_.remaining() / MIN_FIELD_BYTES) {
      return Status::malformed("field count " + std::to_string(count) + " exceeds the input");
    }
    out.clear();
    // The count was checked against the input above, so this is bounded.
    out.reserve(count);
    std::vector<std::pair<uint8_t, uint32_t>> keys;
    keys.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      detail::Field f{FieldType::Bool, 0, detail::Value()};
      Status s = decodeField(f, depth);
      if (!s.isOk()) return s;
      keys.emplace_back(static_cast<uint8_t>(f.type), f.num);
      out.appendRaw(std::move(f));
    }
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) {
      return Status::malformed("a field appears twice");
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
    if (minElement > 0 && count > in_.remaining() / minElement) {
      return Status::malformed(std::string(what) + " exceeds the input");
    }
    return Status::ok();
  }

  Status readString(std::string& s) {
    uint32_t len = 0;
    Status st = readCount(len, 1, "string length");
    if (!st.isOk()) return st;
    in_.readBytes(len, s);
    return Status::ok();
  }

  Status decodeField(detail::Field& f, int depth) {
    uint8_t rawType = 0;
    if (!in_.readU8(rawType) || !in_.readU32(f.num)) return truncated("field header");
    if (!isValidFieldType(rawType)) {
      return Status::malformed("unknown field type " + std::to_string(rawType));
    }
    f.type = static_cast<FieldType>(rawType);
    switch (f.type) {
      case FieldType::Bool: {
        uint8_t b = 0;
        if (!in_.readU8(b)) return truncated("bool");
        if (b > 1) return Status::malformed("bool value " + std::to_string(b));
        f.value = uint64_t{b};
        return Status::ok();
      }
      case FieldType::U32: {
        uint32_t v = 0;
        if (!in_.readU32(v)) return truncated("u32");
        f.value = uint64_t{v};
        return Status::ok();
      }
      case FieldType::Be32: {
        uint32_t held = 0;
        if (!in_.readRaw(&held, 4)) return truncated("be32");
        f.value = uint64_t{held};
        return Status::ok();
      }
      case FieldType::U64: {
        uint64_t v = 0;
        if (!in_.readU64(v)) return truncated("u64");
        f.value = v;
        return Status::ok();
      }
      case FieldType::String: {
        std::string s;
        Status st = readString(s);
        if (st.isOk()) f.value = std::move(s);
        return st;
      }
      case FieldType::U32Array: return decodeU32Array(f);
      case FieldType::StringArray: return decodeStringArray(f);
      case FieldType::Message: {
        std::vector<message> one(1);
        Status st = decode(one.front(), depth + 1);
        if (st.isOk()) f.value = std::move(one);
        return st;
      }
      case FieldType::MessageArray: return decodeMessageArray(f, depth);
    }
    return Status::malformed("unknown field type");
  }

  Status decodeU32Array(detail::Field& f) {
    uint32_t count = 0;
    Status st = readCount(count, 4, "u32 array");
    if (!st.isOk()) return st;
    std::vector<uint32_t> a(count);
    for (uint32_t& v : a) in_.readU32(v);
    f.value = std::move(a);
    return Status::ok();
  }

  Status decodeStringArray(detail::Field& f) {
    uint32_t count = 0;
    Status st = readCount(count, 4, "string array");
    if (!st.isOk()) return st;
    std::vector<std::string> a(count);
    for (std::string& s : a) {
      st = readString(s);
      if (!st.isOk()) return st;
    }
    f.value = std::move(a);
    return Status::ok();
  }

  Status decodeMessageArray(detail::Field& f, int depth) {
    uint32_t count = 0;
    Status st = readCount(count, MIN_MESSAGE_BYTES, "message array");
    if (!st.isOk()) return st;
    std::vector<message> a(count);
    for (message& m : a) {
      st = decode(m, depth + 1);
      if (!st.isOk()) return st;
    }
    f.value = std::move(a);
    return Status::ok();
  }

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
  if (size > MAX_ENCODED_MESSAGE) {
    return Status::tooLarge(std::to_string(size) + " bytes exceed the message limit");
  }
  Decoder d(data, size);
  Status st = d.decode(out, 0);
  if (!st.isOk()) {
    out.clear();
    return st;
  }
  if (d.remaining() != 0) {
    out.clear();
    return Status::malformed(std::to_string(d.remaining()) + " trailing bytes");
  }
  return Status::ok();
}

}  // namespace kv
