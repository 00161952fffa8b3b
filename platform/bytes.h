// Big-endian byte helpers: writers append to a byte string, ByteReader
// consumes from a bounded cursor and never reads past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kv {

inline void putU8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

inline void putU32(std::string& out, uint32_t v) {
  char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
               static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 4);
}

inline void putU64(std::string& out, uint64_t v) {
  putU32(out, static_cast<uint32_t>(v >> 32));
  putU32(out, static_cast<uint32_t>(v));
}

inline uint32_t loadU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void storeU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

class ByteReader {
 public:
  ByteReader(const void* data, size_t size)
      : p_(static_cast<const uint8_t*>(data)), left_(size) {}

  size_t remaining() const { return left_; }
  const uint8_t* position() const { return p_; }

  bool readU8(uint8_t& v) {
    if (left_ < 1) return false;
    v = *p_;
    advance(1);
    return true;
  }
  bool readU32(uint32_t& v) {
    if (left_ < 4) return false;
    v = loadU32(p_);
    advance(4);
    return true;
  }
  bool readU64(uint64_t& v) {
    uint32_t hi = 0, lo = 0;
    if (left_ < 8) return false;
    readU32(hi);
    readU32(lo);
    v = (uint64_t{hi} << 32) | lo;
    return true;
  }
  bool skip(size_t n) {
    if (left_ < n) return false;
    advance(n);
    return true;
  }
  // Copies n raw bytes (memory order preserved).
  bool readRaw(void* dst, size_t n) {
    if (left_ < n) return false;
    std::memcpy(dst, p_, n);
    advance(n);
    return true;
  }
  bool readBytes(size_t n, std::string& out) {
    if (left_ < n) return false;
    out.assign(reinterpret_cast<const char*>(p_), n);
    advance(n);
    return true;
  }

 private:
  void advance(size_t n) {
    p_ += n;
    left_ -= n;
  }
  const uint8_t* p_;
  size_t left_;
};

}  // namespace kv
