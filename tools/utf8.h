// UTF-8 checks for the console's text output: a byte string that is
// well-formed UTF-8 is shown as text, any other as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mqttctl {

// Length (1..4) of the well-formed UTF-8 sequence that starts at s[pos], or 0
// when it is ill-formed: a stray continuation byte, a truncated sequence, an
// overlong form, a surrogate or a code point above U+10FFFF. When the result
// is not 0 and `codePoint` is given, it receives the decoded code point.
// REQUIRES: pos < s.size().
size_t utf8SequenceLength(const std::string& s, size_t pos, uint32_t* codePoint = nullptr);

// True when every byte of `s` belongs to a well-formed sequence.
bool isValidUtf8(const std::string& s);

}  // namespace mqttctl
