#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/root.h"

namespace kv {

Status readFile(const std::string& path, size_t maxBytes, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Status::notFound(path);
    return Status::fromErrno("open " + path, errno);
  }
  out.clear();
  char buf[4096];
  Status st;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      st = Status::fromErrno("read " + path, errno);
      break;
    }
    if (out.size() + static_cast<size_t>(n) > maxBytes) {
      st = Status::tooLarge(path + " is larger than " + std::to_string(maxBytes) + " bytes");
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return st;
}

namespace {

Status writeAll(int fd, const std::string& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::fromErrno("write " + path, errno);
    done += static_cast<size_t>(n);
  }
  return fsync(fd) == 0 ? Status::ok() : Status::fromErrno("fsync " + path, errno);
}

void syncDirectoryOf(const std::string& path) {
  std::string dir = path.substr(0, path.find_last_of('/') + 1);
  int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // best effort: the rename is what matters
  close(fd);
}

}  // namespace

Status writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  Status st = makeParentDirs(path);
  if (!st.isOk()) return st;
  const std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Status::fromErrno("open " + tmp, errno);
  fchmod(fd, mode);  // an older temporary file may have had another mode
  st = writeAll(fd, bytes, tmp);
  close(fd);
  if (st.isOk() && rename(tmp.c_str(), path.c_str()) != 0) {
    st = Status::fromErrno("rename " + tmp, errno);
  }
  if (!st.isOk()) {
    unlink(tmp.c_str());
    return st;
  }
  syncDirectoryOf(path);
  return st;
}

Status renameFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return Status::fromErrno("rename " + from, errno);
  syncDirectoryOf(to);
  return Status::ok();
}

Status removeFile(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return Status::ok();
  return Status::fromErrno("remove " + path, errno);
}

}  // namespace kv
