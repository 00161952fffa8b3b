// mqttweb: the web page of the MQTT service, a peer of the local bus. See
// docs/web.md.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "platform/files.h"
#include "platform/looper.h"
#include "platform/root.h"
#include "web/http_server.h"
#include "web/users.h"
#include "web/web_app.h"

namespace {

const char* const USAGE =
    "usage: mqttweb [--listen ADDRESS:PORT] [--root DIR] [--cert FILE --key FILE]\n"
    "       mqttweb password NAME [--read-only | --remove] [--root DIR]\n"
    "Serves the MQTT service's web page (default 127.0.0.1:8080; HTTPS with a\n"
    "certificate and key in PEM). \"password\" sets an account's password, read\n"
    "from the terminal without echo or from the first line of standard input.\n";

int usage(const std::string& problem) {
  std::cerr << "mqttweb: " << problem << "\n" << USAGE;
  return 2;
}

struct Args {
  std::string listen = "127.0.0.1:8080";
  std::string cert, key;
  std::string account;  // "password NAME"
  bool readOnly = false, remove = false, help = false;
};

bool parseArgs(int argc, char** argv, Args& a, std::string& problem) {
  std::string root;
  const std::map<std::string, std::string*> valued{
      {"--listen", &a.listen}, {"--cert", &a.cert}, {"--key", &a.key}, {"--root", &root}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto v = valued.find(arg);
    if (v != valued.end()) {
      if (i + 1 >= argc) return problem = arg + " needs a value", false;
      *v->second = argv[++i];
    } else if (arg == "password" && a.account.empty() && i + 1 < argc) {
      a.account = argv[++i];
    } else if (arg == "--read-only" || arg == "--remove" || arg == "--help" || arg == "-h") {
      (arg == "--read-only" ? a.readOnly : arg == "--remove" ? a.remove : a.help) = true;
    } else {
      return problem = "unknown argument " + arg, false;
    }
  }
  if (!root.empty()) setenv(kv::ROOT_ENV, root.c_str(), 1);
  if (a.cert.empty() != a.key.empty()) return problem = "HTTPS needs both --cert and --key", false;
  if ((a.readOnly || a.remove) && a.account.empty()) {
    return problem = "--read-only and --remove go with password NAME", false;
  }
  return true;
}

std::string readPassword(const char* prompt) {
  std::string line;
  if (!isatty(STDIN_FILENO)) {
    std::getline(std::cin, line);
    return line;
  }
  termios old{};
  tcgetattr(STDIN_FILENO, &old);
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << prompt << std::flush;
  std::getline(std::cin, line);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
  std::cerr << "\n";
  return line;
}

int setAccount(const Args& a) {
  const std::string path = kv::rootPath(mqttweb::USERS_PATH);
  if (!mqttweb::isValidUserName(a.account)) return usage("an account name is 1 to 32 of A-Z a-z 0-9 . _ -");
  std::vector<mqttweb::User> users;
  kv::Status st = mqttweb::loadUsers(path, users);
  if (!st.isOk() && st.kind() != kv::Status::Kind::NotFound) {
    std::cerr << "mqttweb: " << st.toString() << "\n";
    return 1;
  }
  users.erase(std::remove_if(users.begin(), users.end(), [&](auto& u) { return u.name == a.account; }),
              users.end());
  if (!a.remove) {
    mqttweb::User user;
    user.name = a.account;
    user.role = a.readOnly ? mqttweb::Role::ReadOnly : mqttweb::Role::Admin;
    const std::string password = readPassword(("password for " + a.account + ": ").c_str());
    if (isatty(STDIN_FILENO) && readPassword("again: ") != password) {
      std::cerr << "mqttweb: the two passwords differ; nothing changed\n";
      return 1;
    }
    st = mqttweb::setPassword(user, password);
    if (st.isOk() && users.size() >= mqttweb::MAX_USERS) st = kv::Status::malformed("too many accounts");
    users.push_back(user);
  }
  if (st.isOk()) st = mqttweb::saveUsers(path, users);
  if (!st.isOk()) {
    std::cerr << "mqttweb: " << st.toString() << "\n";
    return 1;
  }
  std::cout << "mqttweb: account " << a.account << (a.remove ? " removed" : " set") << " in " << path << "\n";
  return 0;
}

void logLine(int level, const std::string& text) {
  std::cout << "mqttweb: " << (level <= kv::LOG_LEVEL_WARNING ? "*** " : "") << text << std::endl;
}

int serve(const Args& a) {
  mqttweb::ServerOptions server;
  kv::Status st = mqttweb::parseListenAddress(a.listen, server.host, server.port);
  if (!st.isOk()) return usage("--listen: " + st.message());
  if (!a.cert.empty()) {
    st = kv::readFile(a.cert, 1 << 20, server.certificatePem);
    if (st.isOk()) st = kv::readFile(a.key, 1 << 20, server.keyPem);
    if (!st.isOk()) return logLine(kv::LOG_LEVEL_ERROR, st.toString()), 1;
  }
  mqttweb::AppOptions app;
  app.usersPath = kv::rootPath(mqttweb::USERS_PATH);
  app.https = !a.cert.empty();
  std::vector<mqttweb::User> users;
  st = mqttweb::loadUsers(app.usersPath, users);
  if (st.kind() == kv::Status::Kind::NotFound) {
    logLine(kv::LOG_LEVEL_WARNING, "no account yet: set one with \"mqttweb password admin\"");
  } else if (!st.isOk()) {
    return logLine(kv::LOG_LEVEL_ERROR, st.toString()), 1;
  }
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.reconnectSeconds = 1;
  options.catchSignals = true;
  options.log = logLine;
  kv::Looper loop(options);
  mqttweb::WebApp web(loop, app);
  mqttweb::HttpServer http(loop, web);
  st = http.start(server);
  if (!st.isOk()) return logLine(kv::LOG_LEVEL_ERROR, st.toString()), 1;
  const bool v6 = server.host.find(':') != std::string::npos;
  logLine(kv::LOG_LEVEL_INFO, std::string("serving ") + (app.https ? "https" : "http") + "://" +
                                  (v6 ? "[" + server.host + "]" : server.host) + ":" +
                                  std::to_string(http.port()) + "/");
  loop.run();
  http.stop();
  logLine(kv::LOG_LEVEL_INFO, "stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  std::string problem;
  if (!parseArgs(argc, argv, args, problem)) return usage(problem);
  if (args.help) return std::cout << USAGE, 0;
  return args.account.empty() ? serve(args) : setAccount(args);
}
