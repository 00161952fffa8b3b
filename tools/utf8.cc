#include "tools/utf8.h"

namespace mqttctl {

size_t utf8SequenceLength(const std::string& s, size_t pos, uint32_t* codePoint) {
  const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = byte(pos);
  // Sequence length, payload bits of the lead byte, smallest code point
  // that needs this length (anything below is an overlong form).
  size_t length = 4;
  uint32_t cp = lead & 0x07u;
  uint32_t minimum = 0x10000;
  if (lead < 0x80) {
    length = 1, cp = lead, minimum = 0;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, cp = lead & 0x1fu, minimum = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, cp = lead & 0x0fu, minimum = 0x800;
  } else if (lead < 0xf0 || lead > 0xf4) {
    return 0;  // continuation byte, 0xc0/0xc1 (always overlong) or 0xf5..0xff
  }
  if (length > s.size() - pos) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = byte(pos + i);
    if ((next & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3fu);
  }
  if (cp < minimum || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  if (codePoint) *codePoint = cp;
  return length;
}

bool isValidUtf8(const std::string& s) {
  for (size_t pos = 0; pos < s.size();) {
    size_t n = utf8SequenceLength(s, pos);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

}  // namespace mqttctl
