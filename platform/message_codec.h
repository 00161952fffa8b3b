// The one binary encoding of kv::message, used on the bus and in the store.
//
//   message       = count:u32  field{count}
//   field         = type:u8  number:u32  value
//   bool          = u8, 0 or 1
//   u32           = u32
//   be32          = 4 bytes exactly as held (network order)
//   u64           = u64
//   string        = length:u32  byte{length}
//   u32 array     = count:u32  u32{count}
//   string array  = count:u32  string{count}
//   message       = message (nested)
//   message array = count:u32  message{count}
//
// Every integer is big-endian, so the bytes are the same on every host.
// Decoding checks every length against the bytes that remain, refuses
// unknown types, bool values other than 0 and 1, a field that appears twice,
// nesting deeper than MAX_MESSAGE_DEPTH, input above MAX_ENCODED_MESSAGE and
// trailing bytes; it never reads outside the given buffer.
//
// Memory: the whole input is checked before anything is allocated, so
// refused input costs nothing, whatever its counts claim; input that passes
// is built with every vector reserved at its exact count. While decoding,
// the heap holds at most DECODED_BYTES_PER_BYTE times the input's size
// (plus a few hundred bytes), whatever the elements and their nesting: the
// worst case is a message of bool fields, 6 bytes each on the wire and one
// field slot (40 bytes on the 32-bit target, 48 on 64-bit hosts) in memory.
#pragma once

#include <cstddef>
#include <string>

#include "platform/message.h"
#include "platform/status.h"

namespace kv {

constexpr size_t MAX_ENCODED_MESSAGE = 16u * 1024 * 1024;
constexpr int MAX_MESSAGE_DEPTH = 16;
// Heap bytes per input byte that decoding may hold at most (see above).
constexpr size_t DECODED_BYTES_PER_BYTE = sizeof(void*) == 8 ? 9 : 8;

// Appends the encoding of `msg` to `out`.
void encodeMessage(const message& msg, std::string& out);
std::string encodeMessage(const message& msg);
// Bytes that encodeMessage would append.
size_t encodedSize(const message& msg);

// Decodes exactly `size` bytes into `out` (replacing its content).
Status decodeMessage(const void* data, size_t size, message& out);
inline Status decodeMessage(const std::string& bytes, message& out) {
  return decodeMessage(bytes.data(), bytes.size(), out);
}

}  // namespace kv
