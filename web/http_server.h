// The HTTP server of the web program: libmicrohttpd driven by the program's
// own event loop, so that HTTP and the bus share one thread.
//
// libmicrohttpd runs in its "external epoll" mode: it owns one epoll
// descriptor, which the loop watches; when it is readable, or when the
// library's own time-out is due, the loop calls MHD_run, which never blocks.
// A request is handed to the HttpApp once its body is in; the app answers
// through `Respond`, at once or later (after a bus reply): meanwhile the
// connection is suspended and costs no turn of the loop. Exactly one answer
// goes out for each request.
//
// Bounds (ServerLimits): the memory of one connection (its request line and
// headers must fit, else 431 or 414), the body (413), the connections at
// once, the idle time of a connection. The library answers a malformed
// header or an HTTP/1.1 request without Host with 400 and an unknown HTTP
// version with 505 itself; a request line that is not HTTP at all it
// closes without an answer.
//
// Live events: an answer may carry an EventStream instead of a body. The
// response is then text/event-stream, written as the stream is fed; the
// stream learns when the client has gone (its onClosed runs).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/looper.h"
#include "platform/status.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace mqttweb {

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string peer;  // the client's address, without the port

  // The header `name` (lower case), or "".
  std::string header(const std::string& name) const;
  // The cookie `name`, or "".
  std::string cookie(const std::string& name) const;
};

// A stream of server-sent events to one client. Owned jointly by the app
// and the server; the server drops its share when the client goes.
class EventStream {
 public:
  // Appends one event ("event: NAME\ndata: ...\n\n"); `data` must hold no
  // newline (JSON on one line). False, and the stream closed, when more
  // than MAX_QUEUED_BYTES wait: a client that does not read is cut off
  // (a browser reconnects by itself).
  bool send(const std::string& event, const std::string& data);
  // A comment line, which keeps the connection from looking idle.
  bool ping() { return push(": ping\n\n"); }
  // Ends the stream: what is queued is still written.
  void close();
  bool closed() const { return closed_; }
  // Runs once, when the client has gone or the stream ended.
  std::function<void()> onClosed;

  static constexpr size_t MAX_QUEUED_BYTES = 1024 * 1024;

  // For the server: `wake` runs when there is something to write or the
  // stream closed; take() moves up to `max` queued bytes into `buf`;
  // finished() says the client has gone.
  void attach(std::function<void()> wake) { wake_ = std::move(wake); }
  size_t take(char* buf, size_t max);
  void finished();

 private:
  bool push(const std::string& bytes);

  std::string queued_;
  bool closed_ = false;
  bool ended_ = false;
  std::function<void()> wake_;  // set by the server: resume the connection
};

struct HttpResponse {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::shared_ptr<EventStream> stream;  // when set: an event stream, no body
};

// Runs exactly once per request, from the loop thread.
using Respond = std::function<void(HttpResponse)>;

class HttpApp {
 public:
  virtual ~HttpApp() = default;
  virtual void handle(const HttpRequest& request, Respond respond) = 0;
};

struct ServerLimits {
  size_t connectionMemoryBytes = 32 * 1024;  // request line and headers fit in this
  size_t maxBodyBytes = 256 * 1024;
  unsigned maxConnections = 64;
  unsigned idleTimeoutSeconds = 60;
};

struct ServerOptions {
  std::string host = "127.0.0.1";  // a numeric IPv4 or IPv6 address
  uint16_t port = 8080;            // 0: any free port
  std::string certificatePem;      // both set: HTTPS
  std::string keyPem;
  ServerLimits limits;
};

// "HOST:PORT" or "[V6]:PORT" with a numeric address.
kv::Status parseListenAddress(const std::string& text, std::string& host, uint16_t& port);

class HttpServer {
 public:
  // Does not own `loop` or `app`; both outlive the server.
  HttpServer(kv::Looper& loop, HttpApp& app);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  kv::Status start(const ServerOptions& options);
  // Answers what waits with 503, ends the streams, stops listening.
  void stop();
  uint16_t port() const { return port_; }

  struct Exchange;  // one request in progress (http_server.cc)

 private:
  void run();
  void schedule();
  void kick();

  kv::Looper& loop_;
  HttpApp& app_;
  ServerLimits limits_;
  MHD_Daemon* daemon_ = nullptr;
  int epollFd_ = -1;
  uint16_t port_ = 0;
  kv::Timer timer_;
  kv::Timer kickTimer_;
  std::set<Exchange*> exchanges_;

  friend struct ServerCallbacks;
};

}  // namespace mqttweb
