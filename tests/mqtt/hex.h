// Hex text <-> bytes for readable known-answer vectors: "10 0F 00 04".
#pragma once

#include <cstdio>
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
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    if (!text.empty()) text += ' ';
    text += pair;
  }
  return text;
}
