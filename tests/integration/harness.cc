#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace harness {
namespace {

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  return addr;
}

}  // namespace

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/mqttd-root-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempRoot::~TempRoot() {
  std::error_code ignored;  // a directory left behind is not worth failing a test
  std::filesystem::remove_all(path_, ignored);
}

CtlResult runCtl(const std::string& root, const std::vector<std::string>& args,
                 const CtlRun& how) {
  std::vector<std::string> argv{"env", "KV_ROOT=" + root};
  if (how.uid >= 0) {
    argv.insert(argv.end(), {"setpriv", "--reuid=" + std::to_string(how.uid), "--regid=0",
                             "--clear-groups"});
  }
  argv.push_back(MQTTCTL_BIN);
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string input = how.input.empty() ? "" : root + "/mqttctl.in";
  if (!input.empty()) testsupport::writeFile(input, how.input);
  testsupport::Program console;
  console.start(argv, root, "", input);
  const int status = console.wait();
  return {status, console.output(), console.errors()};
}

int connectToBus(const std::string& root) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = unixAddress(root + "/ram/kvbus");
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool sendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0 && errno != EAGAIN) return false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return true;
}

std::string receive(int fd, size_t n, int guardMs) {
  std::string got;
  char buf[65536];
  for (pollfd p{fd, POLLIN, 0}; got.size() < n && poll(&p, 1, guardMs) > 0;) {
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN)) break;
    if (r > 0) got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

size_t descriptorCount(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) return 0;
  size_t n = 0;
  while (const dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n;
}

size_t settledDescriptors(pid_t pid) {
  size_t last = descriptorCount(pid), same = 0;
  testsupport::waitUntil([&] {
    const size_t now = descriptorCount(pid);
    same = now == last ? same + 1 : 0;
    last = now;
    return same >= 100;
  });
  return last;
}

LogListener::LogListener(const std::string& root) : path_(root + "/ram/logsocket") {
  mkdir((root + "/ram").c_str(), 0755);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = unixAddress(path_);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error(std::string("bind log socket: ") + strerror(errno));
  }
}

LogListener::~LogListener() {
  close(fd_);
  unlink(path_.c_str());
}

std::string LogListener::next(int guardMs) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, guardMs) <= 0) return std::string();
  char buf[8192];
  const ssize_t n = recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string LogListener::nextWith(const std::string& part) {
  for (std::string datagram = next(); !datagram.empty(); datagram = next()) {
    if (contains(datagram, part)) return datagram;
  }
  return std::string();
}

std::string DaemonTest::ok(const std::vector<std::string>& args, const CtlRun& how) {
  const CtlResult r = ctl(args, how);
  EXPECT_EQ(0, r.status) << testing::PrintToString(args) << ": " << r.err;
  return r.out;
}

void DaemonTest::fails(const std::vector<std::string>& args, int status, const std::string& err) {
  const CtlResult r = ctl(args);
  EXPECT_EQ(status, r.status) << testing::PrintToString(args);
  EXPECT_EQ(err, r.err) << testing::PrintToString(args);
  EXPECT_EQ("", r.out) << testing::PrintToString(args);
}

std::string DaemonTest::add(const std::vector<std::string>& args) {
  const std::string out = ok(args);  // "u32 0xfe0011 (object-id) = N\n"
  const size_t at = out.rfind(' ') + 1;
  return out.substr(at, out.size() - at - 1);
}

}  // namespace harness
