#include "web/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <poll.h>

#include <cstdarg>
#include <algorithm>
#include <cstring>

namespace mqttweb {

std::string HttpRequest::header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? "" : it->second;
}

std::string HttpRequest::cookie(const std::string& name) const {
  const std::string all = header("cookie");
  for (size_t pos = 0; pos < all.size();) {
    size_t end = all.find(';', pos);
    if (end == std::string::npos) end = all.size();
    size_t start = all.find_first_not_of(' ', pos);
    if (start < end && all.compare(start, name.size() + 1, name + "=") == 0) {
      return all.substr(start + name.size() + 1, end - start - name.size() - 1);
    }
    pos = end + 1;
  }
  return "";
}

bool EventStream::send(const std::string& event, const std::string& data) {
  return push("event: " + event + "\ndata: " + data + "\n\n");
}

bool EventStream::push(const std::string& bytes) {
  if (closed_) return false;
  if (queued_.size() + bytes.size() > MAX_QUEUED_BYTES) {
    queued_.clear();
    close();
    return false;
  }
  queued_ += bytes;
  if (wake_) wake_();
  return true;
}

size_t EventStream::take(char* buf, size_t max) {
  const size_t n = std::min(max, queued_.size());
  memcpy(buf, queued_.data(), n);
  queued_.erase(0, n);
  return n;
}

void EventStream::close() {
  closed_ = true;
  if (wake_) wake_();
}

void EventStream::finished() {
  if (ended_) return;
  ended_ = closed_ = true;
  wake_ = nullptr;
  std::function<void()> fn = std::move(onClosed);
  onClosed = nullptr;
  if (fn) fn();
}

kv::Status parseListenAddress(const std::string& text, std::string& host, uint16_t& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return kv::Status::malformed("expected ADDRESS:PORT, got " + text);
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::string digits = text.substr(colon + 1);
  unsigned long value = 0;
  bool ok = !digits.empty() && digits.size() <= 5;
  for (char c : digits) ok = ok && c >= '0' && c <= '9';
  if (ok) value = std::stoul(digits);
  if (!ok || value > 65535) return kv::Status::malformed("not a port number: " + digits);
  port = static_cast<uint16_t>(value);
  unsigned char buf[16];
  if (inet_pton(AF_INET, host.c_str(), buf) != 1 && inet_pton(AF_INET6, host.c_str(), buf) != 1) {
    return kv::Status::malformed("not a numeric IPv4 or IPv6 address: " + host);
  }
  return kv::Status::ok();
}

struct HttpServer::Exchange {
  HttpServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  HttpRequest request;
  bool started = false;
  bool suspended = false;
  bool tooLarge = false;
  std::unique_ptr<HttpResponse> answer;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  std::shared_ptr<EventStream> stream;  // once an event response is queued

  void resume() {
    if (!suspended) return;
    suspended = false;
    MHD_resume_connection(connection);
    server->kick();
  }
};

namespace {

using Exchange = HttpServer::Exchange;

HttpResponse textAnswer(unsigned status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  r.contentType = "text/plain; charset=utf-8";
  r.body = text + "\n";
  return r;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* into = static_cast<std::map<std::string, std::string>*>(cls);
  std::string name = key ? key : "";
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  (*into)[name] = value ? value : "";
  return MHD_YES;
}

std::string peerOf(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "";
  if (!info || !info->client_addr) return "";
  const sockaddr* sa = info->client_addr;
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  }
  return text;
}

ssize_t readEvents(void* cls, uint64_t, char* buf, size_t max) {
  auto* ex = static_cast<Exchange*>(cls);
  EventStream& s = *ex->stream;
  if (size_t n = s.take(buf, max)) return static_cast<ssize_t>(n);
  if (s.closed()) return MHD_CONTENT_READER_END_OF_STREAM;
  MHD_suspend_connection(ex->connection);
  ex->suspended = true;
  return 0;
}

MHD_Result queue(Exchange* ex, const HttpResponse& answer) {
  MHD_Response* r;
  if (answer.stream) {
    ex->stream = answer.stream;
    ex->stream->attach([ex] { ex->resume(); });
    r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, readEvents, ex, nullptr);
  } else {
    r = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                        MHD_RESPMEM_MUST_COPY);
  }
  if (!r) return MHD_NO;
  MHD_add_response_header(r, "Content-Type",
                          answer.stream ? "text/event-stream" : answer.contentType.c_str());
  // The page needs nothing from elsewhere and is never framed.
  MHD_add_response_header(r, "Content-Security-Policy",
                          "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
  bool cacheSet = false;
  for (const auto& h : answer.headers) {
    MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    cacheSet = cacheSet || h.first == "Cache-Control";
  }
  if (!cacheSet) MHD_add_response_header(r, "Cache-Control", "no-store");
  MHD_Result result = MHD_queue_response(ex->connection, answer.status, r);
  MHD_destroy_response(r);
  return result;
}

}  // namespace

// The library's callbacks, with access to the server's internals.
struct ServerCallbacks {
  static Exchange* begin(HttpServer& server, MHD_Connection* c, const char* url,
                         const char* method) {
    auto* ex = new Exchange;
    ex->server = &server;
    ex->connection = c;
    ex->request.method = method ? method : "";
    ex->request.path = url ? url : "";
    MHD_get_connection_values(c, MHD_HEADER_KIND, collect, &ex->request.headers);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, collect, &ex->request.query);
    ex->request.peer = peerOf(c);
    server.exchanges_.insert(ex);
    return ex;
  }

  static bool declaredTooLarge(const HttpServer& server, const Exchange& ex) {
    const std::string length = ex.request.header("content-length");
    if (length.empty()) return false;
    return length.size() > 12 || std::stoull("0" + length) > server.limits_.maxBodyBytes;
  }

  static MHD_Result onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                              const char*, const char* upload, size_t* uploadSize, void** reqCls) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* ex = static_cast<Exchange*>(*reqCls);
    if (!ex) {
      *reqCls = ex = begin(server, c, url, method);
      if (declaredTooLarge(server, *ex)) return tooLarge(server, ex);
      return MHD_YES;
    }
    if (*uploadSize) {
      if (ex->request.body.size() + *uploadSize > server.limits_.maxBodyBytes) {
        ex->tooLarge = true;
        ex->request.body.clear();
      } else if (!ex->tooLarge) {
        ex->request.body.append(upload, *uploadSize);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (ex->tooLarge) return tooLarge(server, ex);
    if (!ex->started) start(server, ex);
    if (ex->answer) return queue(ex, *ex->answer);
    MHD_suspend_connection(c);
    ex->suspended = true;
    return MHD_YES;
  }

  static MHD_Result tooLarge(HttpServer& server, Exchange* ex) {
    return queue(ex, textAnswer(413, "request body larger than " +
                                         std::to_string(server.limits_.maxBodyBytes) + " bytes"));
  }

  static void start(HttpServer& server, Exchange* ex) {
    ex->started = true;
    std::weak_ptr<bool> alive = ex->alive;
    server.app_.handle(ex->request, [ex, alive](HttpResponse answer) {
      if (alive.expired() || ex->answer) return;
      ex->answer = std::make_unique<HttpResponse>(std::move(answer));
      ex->resume();
    });
  }

  static void completed(void* cls, MHD_Connection*, void** reqCls, MHD_RequestTerminationCode) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* ex = static_cast<Exchange*>(*reqCls);
    if (!ex) return;
    *reqCls = nullptr;
    server.exchanges_.erase(ex);
    ex->alive.reset();
    if (ex->stream) ex->stream->finished();
    delete ex;
  }

  static void log(void* cls, const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    static_cast<HttpServer*>(cls)->loop_.log(kv::LOG_LEVEL_WARNING, "http: " + line);
  }
};

HttpServer::HttpServer(kv::Looper& loop, HttpApp& app) : loop_(loop), app_(app) {}

HttpServer::~HttpServer() { stop(); }

kv::Status HttpServer::start(const ServerOptions& o) {
  limits_ = o.limits;
  sockaddr_storage addr{};
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (inet_pton(AF_INET, o.host.c_str(), &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr) == 1) {
    reinterpret_cast<sockaddr_in*>(&addr)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(o.port);
  } else if (inet_pton(AF_INET6, o.host.c_str(), &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr) == 1) {
    reinterpret_cast<sockaddr_in6*>(&addr)->sin6_family = AF_INET6;
    reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(o.port);
    flags |= MHD_USE_IPv6;
  } else {
    return kv::Status::malformed("not a numeric address: " + o.host);
  }
  const bool tls = !o.certificatePem.empty() && !o.keyPem.empty();
  if (tls) flags |= MHD_USE_TLS;
  using Item = MHD_OptionItem;
  std::vector<Item> items{
      Item{MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&ServerCallbacks::log), this},
      Item{MHD_OPTION_SOCK_ADDR, 0, &addr},
      Item{MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&ServerCallbacks::completed), this},
      Item{MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(o.limits.connectionMemoryBytes), nullptr},
      Item{MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(o.limits.maxConnections), nullptr},
      Item{MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(o.limits.idleTimeoutSeconds), nullptr},
      Item{MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr}};  // e.g. HTTP/1.1 without Host: 400
  if (tls) {
    items.push_back(Item{MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(o.certificatePem.c_str())});
    items.push_back(Item{MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(o.keyPem.c_str())});
  }
  items.push_back(Item{MHD_OPTION_END, 0, nullptr});
  daemon_ = MHD_start_daemon(flags, o.port, nullptr, nullptr, &ServerCallbacks::onRequest, this,
                             MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
  if (!daemon_) {
    return kv::Status::io("cannot serve HTTP" + std::string(tls ? "S" : "") + " on " + o.host +
                          ":" + std::to_string(o.port) +
                          " (address in use, not this machine's, or a bad certificate or key)");
  }
  epollFd_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
  loop_.runner().addSocket(epollFd_, POLLIN, [this](int, int) { run(); });
  schedule();
  return kv::Status::ok();
}

void HttpServer::stop() {
  if (!daemon_) return;
  for (Exchange* ex : std::set<Exchange*>(exchanges_)) {
    if (ex->stream) ex->stream->close();
    if (!ex->answer && ex->started && !ex->stream) {
      ex->answer = std::make_unique<HttpResponse>(textAnswer(503, "the web program is stopping"));
    }
    ex->resume();
  }
  MHD_run(daemon_);
  loop_.runner().removeSocket(epollFd_);
  timer_.cancel();
  kickTimer_.cancel();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

void HttpServer::run() {
  if (!daemon_) return;
  MHD_run(daemon_);
  schedule();
}

void HttpServer::schedule() {
  MHD_UNSIGNED_LONG_LONG millis = 0;
  if (MHD_get_timeout(daemon_, &millis) != MHD_YES) {
    timer_.cancel();
    return;
  }
  const uint64_t tps = loop_.clock().ticksPerSecond();
  const kv::Ticks ticks = (millis * tps + 999) / 1000;
  timer_ = kv::Timer(loop_.runner(), ticks, [this] { run(); });
}

// A resumed connection is served on the next loop turn, not inside the
// callback that resumed it.
void HttpServer::kick() {
  if (kickTimer_.pending()) return;
  kickTimer_ = kv::Timer(loop_.runner(), 0, [this] { run(); });
}

}  // namespace mqttweb
