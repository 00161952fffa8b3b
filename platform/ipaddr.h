// IPAddr: an IPv4 address, held as in in_addr::s_addr (network byte order:
// the first byte in memory is the first number of the dotted quad, on every
// host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct IPAddr {
  uint32_t addr = 0;  // network byte order

  // Parses a numeric dotted-quad address: exactly four decimal numbers
  // 0..255 separated by dots, nothing before, between or after them, no
  // sign, no leading zero (so "010" is refused rather than read as octal or
  // decimal). Reads at most `length` bytes; the text need not be
  // NUL-terminated, and a NUL inside the length is a refused character.
  // Non-zero and `addr` filled when the text is such an address; 0 and
  // `addr` unchanged otherwise (a host name, for example).
  int fromStr(const char* chars, size_t length);

  // The four numbers, first to last.
  void toBytes(uint8_t out[4]) const;
  static IPAddr fromBytes(const uint8_t bytes[4]);
  // "a.b.c.d".
  std::string toStr() const;
};
