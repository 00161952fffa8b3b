// Hex text <-> bytes for readable known-answer vectors: "10 0F 00 04".
#pragma once

#include <sstream>
#include <string>

#include "mqtt/packet.h"

inline mqtt::Bytes hexBytes(const std::string& text) {
  mqtt::Bytes bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  return bytes;
}

inline std::string hexOf(const mqtt::Bytes& bytes) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += {DIGITS[b >> 4], DIGITS[b & 0x0F]};
  }
  return text;
}
