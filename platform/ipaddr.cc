#include "platform/ipaddr.h"

#include <cstring>

namespace {

// Reads one number of the quad starting at text[pos]; on success `pos` is
// just past its last digit. Refuses an empty number, a leading zero before
// another digit and anything above 255.
bool readOctet(const char* text, size_t length, size_t& pos, uint8_t& octet) {
  size_t start = pos;
  unsigned value = 0;
  while (pos < length && text[pos] >= '0' && text[pos] <= '9') {
    if (pos - start == 3) return false;  // four digits: above 255 anyway
    value = value * 10 + static_cast<unsigned>(text[pos] - '0');
    ++pos;
  }
  size_t digits = pos - start;
  if (digits == 0 || value > 255) return false;
  if (digits > 1 && text[start] == '0') return false;
  octet = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

int IPAddr::fromStr(const char* chars, size_t length) {
  if (!chars) return 0;
  uint8_t bytes[4];
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= length || chars[pos] != '.') return 0;
      ++pos;
    }
    if (!readOctet(chars, length, pos, bytes[i])) return 0;
  }
  if (pos != length) return 0;
  *this = fromBytes(bytes);
  return 1;
}

void IPAddr::toBytes(uint8_t out[4]) const { std::memcpy(out, &addr, 4); }

IPAddr IPAddr::fromBytes(const uint8_t bytes[4]) {
  IPAddr ip;
  std::memcpy(&ip.addr, bytes, 4);
  return ip;
}

std::string IPAddr::toStr() const {
  uint8_t b[4];
  toBytes(b);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(b[i]);
  }
  return text;
}
