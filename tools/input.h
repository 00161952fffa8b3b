// What the console reads besides its arguments: whole files (or standard
// input) with a bound, and a password typed at a terminal.
#pragma once

#include <cstddef>
#include <string>

#include "platform/status.h"

namespace mqttctl {

// Reads all of `path` ("-": standard input) into `out`. More than
// `maxBytes` is refused with Status::tooLarge; the messages start with
// `what` ("-f m.txt", "--json-in r.json").
kv::Status readInputFile(const std::string& path, size_t maxBytes, const std::string& what,
                         std::string& out);

// Longest password the console reads.
constexpr size_t MAX_PASSWORD_BYTES = 4096;

// Reads one line from `fd`, without its newline. At a terminal it first
// writes "Password: " there and turns echo off while the line is typed
// (restoring it after, also when reading fails); elsewhere it reads the
// first line as it comes. Nothing at all to read (end of input at once) is
// an error, an empty line is an empty password.
kv::Status readPassword(int fd, std::string& out);

}  // namespace mqttctl
