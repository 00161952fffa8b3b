#include "tools/input.h"

#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace mqttctl {

kv::Status readInputFile(const std::string& path, size_t maxBytes, const std::string& what,
                         std::string& out) {
  FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) return kv::Status::fromErrno(what, errno);
  char buffer[4096];
  size_t n = 0;
  out.clear();
  while (out.size() <= maxBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    out.append(buffer, n);
  }
  const bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (out.size() > maxBytes) {
    return kv::Status::tooLarge(what + ": more than " + std::to_string(maxBytes) + " bytes");
  }
  return failed ? kv::Status::io(what + ": read error") : kv::Status::ok();
}

namespace {

// Bytes up to the first newline, at most MAX_PASSWORD_BYTES + 1 of them;
// false at once at the end of input.
bool readLine(int fd, std::string& line) {
  char c;
  ssize_t n = 0;
  bool any = false;
  line.clear();
  while (line.size() <= MAX_PASSWORD_BYTES && (n = ::read(fd, &c, 1)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    any = true;
    if (c == '\n') break;
    line += c;
  }
  return any;
}

bool writeText(int fd, const char* text) {
  for (size_t done = 0, size = std::char_traits<char>::length(text); done < size;) {
    const ssize_t n = ::write(fd, text + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

kv::Status readPassword(int fd, std::string& out) {
  termios saved{};
  const bool terminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the newline still shows, so the cursor moves on
    // Echo goes off before the prompt shows, so nothing typed after it is
    // echoed. A terminal opened for reading only takes the prompt on
    // standard error.
    tcsetattr(fd, TCSANOW, &quiet);
    if (!writeText(fd, "Password: ")) writeText(2, "Password: ");
  }
  const bool any = readLine(fd, out);
  if (terminal) tcsetattr(fd, TCSANOW, &saved);
  if (!any) return kv::Status::malformed("password=-: nothing to read on standard input");
  if (out.size() > MAX_PASSWORD_BYTES) return kv::Status::malformed("password: too long");
  return kv::Status::ok();
}

}  // namespace mqttctl
