// The root directory: where the platform's absolute paths live.
//
// The platform addresses its files by absolute device paths: the store
// ("/korv/store/..."), the system-log socket ("/ram/logsocket") and the bus
// socket ("/ram/kvbus"). On a router they are real paths. Anywhere else the
// environment variable KV_ROOT names a directory under which every such path
// is mapped: with KV_ROOT=/tmp/r, "/ram/logsocket" is /tmp/r/ram/logsocket.
// Without KV_ROOT the paths are used as they are.
#pragma once

#include <string>

#include "platform/status.h"

namespace kv {

constexpr const char* ROOT_ENV = "KV_ROOT";
constexpr const char* BUS_SOCKET_PATH = "/ram/kvbus";
constexpr const char* LOG_SOCKET_PATH = "/ram/logsocket";

// The root directory ("" when KV_ROOT is unset or empty).
std::string rootDir();
// `devicePath` (absolute) mapped under the root directory.
std::string rootPath(const std::string& devicePath);
// Creates every missing directory above `path` (mode 0755).
Status makeParentDirs(const std::string& path);

}  // namespace kv
