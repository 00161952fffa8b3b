// The web program's answers: the page's files, the login, and the JSON API
// that turns each click into the daemon's table commands and commands.
//
// Every request under /api/ but the login needs a live session (its cookie);
// every request that changes something (any method but GET) also needs the
// session's CSRF token in the X-CSRF-Token header, a JSON body when it has
// one, and an account that is not read-only. Refusals are JSON objects,
// {"error": text} and, when the text is about one field of a form,
// "field": its key. The statuses: 400 malformed, 401 not logged in or wrong
// password, 403 CSRF token or read-only, 404, 405, 413 (the server), 415 not
// JSON, 422 refused by the daemon or out of range, 429 locked out after
// failed logins, 503 the daemon or the platform is not answering.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/looper.h"
#include "web/bus_calls.h"
#include "web/http_server.h"
#include "web/live_feed.h"
#include "web/rows_json.h"
#include "web/sessions.h"
#include "web/users.h"

namespace mqttweb {

struct AppOptions {
  std::string usersPath;   // the accounts file (users.h)
  bool https = false;      // cookies get the Secure attribute
  uint32_t busTimeoutSeconds = 10;
  KdfParams dummyKdf;      // for the dummy hash of unknown account names
};

constexpr const char* SESSION_COOKIE = "mqttweb_session";
constexpr const char* CSRF_HEADER = "x-csrf-token";

class WebApp : public HttpApp {
 public:
  WebApp(kv::Looper& loop, const AppOptions& options);
  void handle(const HttpRequest& request, Respond respond) override;

  // What a route's handler gets: the request, the session, the captured
  // object id (":id" in the pattern) and the parsed body (an object, or
  // null for a request without one).
  struct Call {
    const HttpRequest& request;
    const Session& session;
    uint32_t id;
    const Json& body;
    Respond respond;
  };
  using Handler = void (WebApp::*)(const Call& call);
  // The answer to a successful bus reply (default: {}).
  using OnOk = std::function<HttpResponse(const kv::message& reply)>;

  // The routes' handlers (web_app.cc's route table names them).
  void session(const Call& c);
  void logout(const Call& c);
  void events(const Call& c);
  void listBrokers(const Call& c);
  void addBroker(const Call& c);
  void changeBroker(const Call& c);
  void removeBroker(const Call& c);
  void connectBroker(const Call& c);
  void disconnectBroker(const Call& c);
  void listSubscriptions(const Call& c);
  void subscribe(const Call& c);
  void changeSubscription(const Call& c);
  void unsubscribe(const Call& c);
  void publish(const Call& c);
  void clearReceived(const Call& c);
  void listTrust(const Call& c);
  void addStoreEntry(const Call& c);  // the store by the path: ca or clients
  void renameStoreEntry(const Call& c);
  void removeStoreEntry(const Call& c);

 private:
  void serveAsset(const HttpRequest& request, const Respond& respond);
  void login(const HttpRequest& request, const Respond& respond);
  void answerLater(Respond respond, HttpResponse answer, uint32_t seconds);
  void route(const HttpRequest& request, const Respond& respond);

  void listTable(uint32_t table, Json (*toJson)(const kv::message&), Respond respond);
  Reply answeringAndRefreshing(Respond respond, OnOk onOk = nullptr);

  kv::Looper& loop_;
  AppOptions options_;
  BusCalls bus_;
  Sessions sessions_;
  LoginThrottle throttle_;
  LiveFeed feed_;
  User dummy_;  // verified against when an account name is unknown
};

// A JSON answer.
HttpResponse jsonAnswer(unsigned status, const Json& body);
// {"error": text[, "field": field]}
HttpResponse errorAnswer(unsigned status, const std::string& text, const std::string& field = "");

}  // namespace mqttweb
