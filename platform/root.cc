#include "platform/root.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace kv {

std::string rootDir() {
  const char* root = getenv(ROOT_ENV);
  if (!root) return std::string();
  std::string dir(root);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir == "/" ? std::string() : dir;
}

std::string rootPath(const std::string& devicePath) {
  std::string root = rootDir();
  if (root.empty()) return devicePath;
  if (!devicePath.empty() && devicePath.front() == '/') return root + devicePath;
  return root + "/" + devicePath;
}

Status makeParentDirs(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      return Status::fromErrno("mkdir " + dir, errno);
    }
  }
  return Status::ok();
}

}  // namespace kv
