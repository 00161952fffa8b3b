// Scalar values as the console writes and reads them: numbers, handler
// paths, IPv4 addresses, byte strings with escapes, time-outs.
//
// Every parser checks the whole text and returns Status::malformed with a
// message that quotes the offending input (shortened and escaped, so a long
// or binary argument cannot flood or corrupt the terminal).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace mqttctl {

// Longest handler path the console accepts.
constexpr size_t MAX_PATH_ELEMENTS = 32;
// Longest time-out the console accepts, in seconds.
constexpr uint32_t MAX_TIMEOUT_SECONDS = 24 * 3600;

// Decimal, or hexadecimal after "0x"; no sign, no spaces, at most `max`.
kv::Status parseUnsigned(const std::string& text, uint64_t max, uint64_t& out);
kv::Status parseU32(const std::string& text, uint32_t& out);
kv::Status parseU64(const std::string& text, uint64_t& out);

// A handler path: u32 numbers separated by '.' or ',' ("24.17", "24,17").
// The empty text is the empty path (the hub's own control handler).
kv::Status parsePath(const std::string& text, std::vector<uint32_t>& out);
std::string pathText(const std::vector<uint32_t>& path);

// Dotted IPv4 ("192.168.1.1", no leading zeros) into the network-order value
// that a be32 field holds (see kv::message).
kv::Status parseIpv4(const std::string& text, uint32_t& networkOrder);
// A be32 value: dotted IPv4, or a number whose most significant byte is the
// first byte on the wire (0xc0a80101 is 192.168.1.1).
kv::Status parseBe32(const std::string& text, uint32_t& networkOrder);
std::string ipv4Text(uint32_t networkOrder);

// Byte-string escapes: \n \t \r \\ \" \0 (NUL) and \xNN (any byte, two hex
// digits). Every other byte stands for itself.
kv::Status unescapeBytes(const std::string& text, std::string& out);
// The inverse, for display: printable ASCII as is (\\ and \" escaped), and
// well-formed UTF-8 beyond ASCII as is when the whole string is UTF-8;
// control characters and every other byte escaped, so the result is
// printable and unescapeBytes gives the bytes back. Without
// `escapeQuotes`, '"' stays as it is (for text that is not quoted; the
// result can then no longer be read back).
std::string escapeBytes(const std::string& bytes, bool escapeQuotes = true);

// A --topic filter (mqtt::isValidFilter), refused with a message that says
// the rule.
kv::Status checkTopicFilter(const std::string& filter);

// Seconds, optionally with up to three decimals ("10", "0.5"), above zero
// and at most MAX_TIMEOUT_SECONDS; the result is in milliseconds.
kv::Status parseSeconds(const std::string& text, uint32_t& millis);
// The inverse: "10", "2.5", "0.001".
std::string secondsText(uint32_t millis);

// A field or command number for people: decimal below 0x10000, else hex.
std::string numberText(uint32_t num);
// "0x..." in lower case.
std::string hexText(uint64_t value);
// Two lower-case hex digits for each byte, nothing between them.
std::string hexBytes(const std::string& bytes);
// `text` escaped and cut to a length that fits an error message, in quotes.
std::string quoteArg(const std::string& text);

}  // namespace mqttctl
