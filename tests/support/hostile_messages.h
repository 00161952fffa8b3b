// Encoded messages crafted to cost a decoder as much memory as the format
// allows: many small elements (each near the least bytes its kind can be
// encoded in), placed at any nesting depth, and counts that claim far more
// than the input holds. Written byte by byte, so malformed ones can be made
// too. Used by the decoder's memory test and the daemon's black-box test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hostile {

inline void putU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

inline void putFieldHead(std::string& out, uint8_t type, uint32_t num) {
  out.push_back(static_cast<char>(type));
  putU32(out, num);
}

// The repeated element of a bulk, with the bytes each one takes.
enum class Element {
  EmptyString,       // string array of "": 4 bytes each
  EmptyMessage,      // message array of empty messages: 4
  MessageOfOneBool,  // message array of messages with one bool field: 10
  BoolField,         // a message of bool fields (numbered 0, 1, ...): 6
};
constexpr Element ALL_ELEMENTS[] = {Element::EmptyString, Element::EmptyMessage,
                                    Element::MessageOfOneBool, Element::BoolField};
constexpr size_t ELEMENT_BYTES[] = {4, 4, 10, 6};

inline const char* elementName(Element e) {
  static const char* const names[] = {"empty strings", "empty messages", "messages of one bool",
                                      "bool fields"};
  return names[static_cast<int>(e)];
}

// A message holding one bulk of `count` elements: as the only field (a
// string or message array), or as the fields themselves.
inline std::string bulkMessage(Element e, uint32_t count) {
  std::string out;
  if (e != Element::BoolField) {
    putU32(out, 1);
    putFieldHead(out, e == Element::EmptyString ? 7 : 9, 1);
  }
  putU32(out, count);
  for (uint32_t i = 0; i < count; ++i) {
    if (e == Element::BoolField) {
      putFieldHead(out, 1, i);
      out.push_back('\0');
    } else if (e == Element::MessageOfOneBool) {
      putU32(out, 1);
      putFieldHead(out, 1, 1);
      out.push_back('\0');
    } else {
      putU32(out, 0);  // "" or an empty message
    }
  }
  return out;
}

// `inner` placed `depth` levels down: each level is a message whose one
// field is a message array of one element (depth 0: `inner` itself).
inline std::string nested(const std::string& inner, int depth) {
  std::string levels;
  for (int i = 0; i < depth; ++i) {
    putU32(levels, 1);
    putFieldHead(levels, 9, 1);
    putU32(levels, 1);
  }
  return levels + inner;
}

// A well-formed message of about `bytes` bytes: the bulk of elements `e`
// at nesting depth `depth`.
inline std::string worstMessage(Element e, int depth, size_t bytes) {
  const size_t overhead = 13 * static_cast<size_t>(depth) + 9;
  const size_t room = bytes > overhead ? bytes - overhead : 0;
  return nested(bulkMessage(e, static_cast<uint32_t>(room / ELEMENT_BYTES[static_cast<int>(e)])),
                depth);
}

// A malformed message of `bytes` bytes: at each of `levels` levels a
// message array claims as many elements as the bytes left could hold, and
// its first element is the next level; the elements never follow. A
// decoder that creates the claimed elements before reading them holds
// about levels x bytes / 4 empty messages.
inline std::string claimingMessage(int levels, size_t bytes) {
  std::string out;
  for (int i = 0; i < levels; ++i) {
    putU32(out, 1);
    putFieldHead(out, 9, 1);
    const size_t left = bytes > out.size() + 4 ? bytes - out.size() - 4 : 0;
    putU32(out, static_cast<uint32_t>(left / 4));
  }
  out.resize(bytes, '\0');
  return out;
}

// A bus request frame around an encoded message (bus_frame.h).
inline std::string requestFrame(uint32_t requestId, const std::string& encodedMessage) {
  std::string out;
  putU32(out, static_cast<uint32_t>(5 + encodedMessage.size()));
  out.push_back('\1');
  putU32(out, requestId);
  return out + encodedMessage;
}

}  // namespace hostile
