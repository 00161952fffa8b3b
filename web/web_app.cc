#include "web/web_app.h"

#include "contracts/mqtt_service.h"
#include "contracts/mqtt_tables.h"
#include "contracts/tls.h"
#include "platform/system.h"
#include "web/assets.h"
#include "web/broker_list.h"

namespace mqttweb {
namespace {

namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;
namespace tls = contract::tls;

struct Route {
  const char* method;
  const char* pattern;  // ":id" stands for an object id
  bool changes;         // refused to a read-only account
  WebApp::Handler handler;
};

// Splits "/a/b/c" into its segments.
std::vector<std::string> segments(const std::string& path) {
  std::vector<std::string> out;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    out.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

bool parseId(const std::string& text, uint32_t& id) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<uint64_t>(ch - '0');
  }
  if (v >= contract::NO_ID) return false;
  id = static_cast<uint32_t>(v);
  return true;
}

bool matches(const char* pattern, const std::string& path, uint32_t& id) {
  std::vector<std::string> want = segments(pattern), got = segments(path);
  if (want.size() != got.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == ":id" ? !parseId(got[i], id) : want[i] != got[i]) return false;
  }
  return true;
}

bool isJson(const HttpRequest& r) {
  return r.header("content-type").compare(0, 16, "application/json") == 0;
}

// Answers a failed bus reply and returns true; false for success.
bool refused(const kv::message& reply, const Respond& respond, const std::string& topicField = "topic") {
  if (!kv::isError(reply)) return false;
  const uint32_t code = kv::getErrorCode(reply);
  const std::string text = failureText(reply);
  if (code == kv::ERR_NO_ROUTE || code == kv::ERR_PEER_GONE || code == kv::ERR_TIMEOUT) {
    respond(errorAnswer(503, text));
  } else if (code == kv::ERR_NO_SUCH_OBJECT) {
    respond(errorAnswer(404, "no such row (removed meanwhile?)"));
  } else {
    std::string field = fieldOfRefusal(text);
    respond(errorAnswer(422, text, field == "topic" ? topicField : field));
  }
  return true;
}

// What answers the page when the daemon's reply comes: {} (or `onOk`'s
// answer) on success, the refusal otherwise.
Reply answering(Respond respond, WebApp::OnOk onOk = nullptr) {
  return [respond, onOk](const kv::message& reply) {
    if (refused(reply, respond)) return;
    respond(onOk ? onOk(reply) : jsonAnswer(200, Json::object()));
  };
}

HttpResponse newId(const kv::message& reply) {
  return jsonAnswer(200, Json{{"id", reply.get(kv::OBJECT_ID_FIELD)}});
}

kv::message withId(uint32_t id) {
  kv::message m;
  m.set(kv::OBJECT_ID_FIELD, id);
  return m;
}

const std::vector<uint32_t> BROKERS{brokers::HANDLER};
const std::vector<uint32_t> SUBSCRIPTIONS{subscriptions::HANDLER};

// The trust store a /api/trust/... path names: the trusted certificates
// (CAs) or the client certificates.
bool isClientStore(const std::string& path) {
  static const std::string CLIENTS = "/api/trust/clients";
  return path.compare(0, CLIENTS.size(), CLIENTS) == 0;
}
const std::vector<uint32_t>& storePath(const std::string& path) {
  return isClientStore(path) ? tls::CLIENT_STORE_PATH : tls::TRUSTED_STORE_PATH;
}

const Route ROUTES[] = {
    {"GET", "/api/session", false, &WebApp::session},
    {"POST", "/api/logout", false, &WebApp::logout},
    {"GET", "/api/events", false, &WebApp::events},
    {"GET", "/api/brokers", false, &WebApp::listBrokers},
    {"POST", "/api/brokers", true, &WebApp::addBroker},
    {"PUT", "/api/brokers/:id", true, &WebApp::changeBroker},
    {"DELETE", "/api/brokers/:id", true, &WebApp::removeBroker},
    {"POST", "/api/brokers/:id/connect", true, &WebApp::connectBroker},
    {"POST", "/api/brokers/:id/disconnect", true, &WebApp::disconnectBroker},
    {"GET", "/api/subscriptions", false, &WebApp::listSubscriptions},
    {"POST", "/api/subscriptions", true, &WebApp::subscribe},
    {"PUT", "/api/subscriptions/:id", true, &WebApp::changeSubscription},
    {"DELETE", "/api/subscriptions/:id", true, &WebApp::unsubscribe},
    {"POST", "/api/publish", true, &WebApp::publish},
    {"POST", "/api/received/clear", true, &WebApp::clearReceived},
    {"GET", "/api/trust", false, &WebApp::listTrust},
    {"POST", "/api/trust/ca", true, &WebApp::addStoreEntry},
    {"POST", "/api/trust/clients", true, &WebApp::addStoreEntry},
    {"PUT", "/api/trust/ca/:id", true, &WebApp::renameStoreEntry},
    {"PUT", "/api/trust/clients/:id", true, &WebApp::renameStoreEntry},
    {"DELETE", "/api/trust/ca/:id", true, &WebApp::removeStoreEntry},
    {"DELETE", "/api/trust/clients/:id", true, &WebApp::removeStoreEntry},
};

}  // namespace

HttpResponse jsonAnswer(unsigned status, const Json& body) {
  HttpResponse r;
  r.status = status;
  r.body = dumpJson(body);
  return r;
}

HttpResponse errorAnswer(unsigned status, const std::string& text, const std::string& field) {
  Json body{{"error", text}};
  if (!field.empty()) body["field"] = field;
  return jsonAnswer(status, body);
}

WebApp::WebApp(kv::Looper& loop, const AppOptions& options)
    : loop_(loop),
      options_(options),
      bus_(loop, options.busTimeoutSeconds),
      sessions_(loop.clock()),
      throttle_(loop.clock()),
      feed_(loop, bus_) {
  dummy_.name = "-";
  setPassword(dummy_, randomToken(16), options.dummyKdf);
}

void WebApp::handle(const HttpRequest& request, Respond respond) {
  if (request.path.compare(0, 5, "/api/") != 0) return serveAsset(request, respond);
  if (request.path != "/api/login") return route(request, respond);
  if (request.method != "POST") return respond(errorAnswer(405, "log in with POST"));
  login(request, respond);
}

void WebApp::serveAsset(const HttpRequest& request, const Respond& respond) {
  const Asset* asset = findAsset(request.path);
  if (!asset) return respond(errorAnswer(404, "no such page: " + request.path));
  if (request.method != "GET" && request.method != "HEAD") {
    return respond(errorAnswer(405, "only GET serves the page"));
  }
  HttpResponse r;
  r.contentType = asset->contentType;
  r.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
  respond(r);
}

void WebApp::login(const HttpRequest& request, const Respond& respond) {
  Json body;
  if (!isJson(request)) return respond(errorAnswer(415, "send the login as application/json"));
  FieldError bad = parseObject(request.body, body);
  if (!bad.ok()) return respond(errorAnswer(400, bad.text));
  if (!body.value("user", Json()).is_string() || !body.value("password", Json()).is_string()) {
    return respond(errorAnswer(400, "a login is {\"user\": text, \"password\": text}"));
  }
  if (uint32_t wait = throttle_.lockedSeconds(request.peer)) {
    HttpResponse r = errorAnswer(429, "too many failed logins: try again in " + std::to_string(wait) + " s");
    r.headers.emplace_back("Retry-After", std::to_string(wait));
    return respond(r);
  }
  std::vector<User> users;
  kv::Status st = loadUsers(options_.usersPath, users);
  if (st.kind() == kv::Status::Kind::NotFound) {
    return respond(errorAnswer(403, "no account is set up: run \"mqttweb password NAME\" on the router"));
  }
  if (!st.isOk()) {
    loop_.log(kv::LOG_LEVEL_ERROR, "accounts: " + st.toString());
    return respond(errorAnswer(500, "the accounts file cannot be used; the program's log says why"));
  }
  const User* user = findUser(users, body["user"].get<std::string>());
  const std::string password = body["password"].get<std::string>();
  // An unknown name costs the same time as a wrong password.
  const bool ok = user ? passwordMatches(*user, password) : (passwordMatches(dummy_, password), false);
  if (!ok) {
    throttle_.failed(request.peer);
    return answerLater(respond, errorAnswer(401, "wrong user name or password"),
                       LoginThrottle::FAILURE_DELAY_SECONDS);
  }
  throttle_.succeeded(request.peer);
  const std::string token = sessions_.open(user->name, user->role);
  const Session* s = sessions_.find(token);
  if (!s) return respond(errorAnswer(500, "no random bytes for a session"));
  HttpResponse r = jsonAnswer(200, Json{{"user", s->user}, {"role", roleName(s->role)}, {"csrf", s->csrf}});
  r.headers.emplace_back("Set-Cookie", std::string(SESSION_COOKIE) + "=" + token +
                                           "; Path=/; HttpOnly; SameSite=Strict" +
                                           (options_.https ? "; Secure" : ""));
  respond(r);
}

void WebApp::answerLater(Respond respond, HttpResponse answer, uint32_t seconds) {
  loop_.runner().addTimer(seconds * loop_.clock().ticksPerSecond(),
                          [respond, answer] { respond(answer); });
}

void WebApp::route(const HttpRequest& request, const Respond& respond) {
  const Route* found = nullptr;
  bool pathKnown = false;
  uint32_t id = 0;
  for (const Route& r : ROUTES) {
    if (!matches(r.pattern, request.path, id)) continue;
    pathKnown = true;
    if (request.method == r.method) found = &r;
    if (found) break;
  }
  if (!found) return respond(pathKnown ? errorAnswer(405, request.method + " is not served here")
                                       : errorAnswer(404, "no such API: " + request.path));
  const Session* s = sessions_.find(request.cookie(SESSION_COOKIE));
  if (!s) return respond(errorAnswer(401, "not logged in"));
  if (request.method != "GET" && !sameSecret(request.header(CSRF_HEADER), s->csrf)) {
    return respond(errorAnswer(403, "missing or wrong CSRF token: reload the page"));
  }
  if (found->changes && s->role == Role::ReadOnly) {
    return respond(errorAnswer(403, "this account is read-only: it may look but not change anything"));
  }
  Json body;
  if (!request.body.empty()) {
    if (!isJson(request)) return respond(errorAnswer(415, "send the body as application/json"));
    FieldError bad = parseObject(request.body, body);
    if (!bad.ok()) return respond(errorAnswer(400, bad.text));
  }
  const Session copy = *s;
  (this->*found->handler)(Call{request, copy, id, body, respond});
}

void WebApp::listTable(uint32_t table, Json (*toJson)(const kv::message&), Respond respond) {
  bus_.readRows({table}, 0, [respond, toJson](std::vector<kv::message> rows, std::string failure) {
    if (!failure.empty()) return respond(errorAnswer(503, failure));
    Json list = Json::array();
    for (const kv::message& row : rows) list.push_back(toJson(row));
    respond(jsonAnswer(200, list));
  });
}

// ---- Session and live events ------------------------------------------------

void WebApp::session(const Call& c) {
  c.respond(jsonAnswer(200, Json{{"user", c.session.user},
                                 {"role", roleName(c.session.role)},
                                 {"csrf", c.session.csrf}}));
}

void WebApp::logout(const Call& c) {
  sessions_.close(c.request.cookie(SESSION_COOKIE));
  HttpResponse r = jsonAnswer(200, Json::object());
  r.headers.emplace_back("Set-Cookie", std::string(SESSION_COOKIE) +
                                           "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
  c.respond(r);
}

void WebApp::events(const Call& c) {
  auto stream = std::make_shared<EventStream>();
  if (!feed_.add(stream)) {
    return c.respond(errorAnswer(503, "too many live views open (" +
                                          std::to_string(LiveFeed::MAX_STREAMS) + "): close one"));
  }
  HttpResponse r;
  r.stream = stream;
  c.respond(r);
}

// ---- Brokers --------------------------------------------------------------------

void WebApp::listBrokers(const Call& c) {
  Respond respond = c.respond;
  readBrokerList(bus_, [respond](Json list, std::string failure) {
    respond(failure.empty() ? jsonAnswer(200, list) : errorAnswer(503, failure));
  });
}

// Answers as answering() does, and has the live feed read the brokers at
// once, success or not: the command may have changed a broker's row, its
// state, its last failure or its outbox.
Reply WebApp::answeringAndRefreshing(Respond respond, OnOk onOk) {
  Reply answer = answering(std::move(respond), std::move(onOk));
  return [this, answer](const kv::message& reply) {
    feed_.brokersChanged();
    answer(reply);
  };
}

void WebApp::addBroker(const Call& c) {
  kv::message row;
  FieldError bad = brokerFromJson(c.body, row);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.ask(BROKERS, kv::CMD_ADD_OBJ, row, answeringAndRefreshing(c.respond, newId));
}

void WebApp::changeBroker(const Call& c) {
  kv::message row = withId(c.id);
  FieldError bad = brokerFromJson(c.body, row);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.ask(BROKERS, kv::CMD_SET_OBJ, row, answeringAndRefreshing(c.respond));
}

void WebApp::removeBroker(const Call& c) {
  bus_.ask(BROKERS, kv::CMD_REMOVE_OBJ, withId(c.id), answeringAndRefreshing(c.respond));
}

void WebApp::connectBroker(const Call& c) {
  bus_.send(svc::encode(svc::ConnectOrder{c.id}), answeringAndRefreshing(c.respond));
}

void WebApp::disconnectBroker(const Call& c) {
  bus_.send(svc::encode(svc::DisconnectOrder{c.id}), answeringAndRefreshing(c.respond));
}

// ---- Subscriptions ----------------------------------------------------------------

void WebApp::listSubscriptions(const Call& c) {
  listTable(subscriptions::HANDLER, subscriptionToJson, c.respond);
}

// Subscribes now (the daemon adds the row at SUBACK), then sets the row's
// script when one was given.
void WebApp::subscribe(const Call& c) {
  svc::SubscribeOrder order;
  std::string script;
  FieldError bad = subscribeFromJson(c.body, order, script);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  Respond respond = c.respond;
  bus_.send(svc::encode(order), [=](const kv::message& reply) {
    if (refused(reply, respond, "filter")) return;
    if (script.empty()) return respond(jsonAnswer(200, Json::object()));
    bus_.readRows(SUBSCRIPTIONS, 0, [=](std::vector<kv::message> rows, std::string failure) {
      if (!failure.empty()) return respond(errorAnswer(503, failure));
      for (const kv::message& row : rows) {
        if (row.get(subscriptions::BROKER_FIELD) != order.brokerId ||
            row.get(subscriptions::FILTER_FIELD) != order.filter) {
          continue;
        }
        kv::message change = withId(row.get(kv::OBJECT_ID_FIELD));
        change.set(subscriptions::SCRIPT_FIELD, script);
        return bus_.ask(SUBSCRIPTIONS, kv::CMD_SET_OBJ, change, answering(respond));
      }
      respond(errorAnswer(422, "subscribed, but the row for the script is gone", "script"));
    });
  });
}

void WebApp::changeSubscription(const Call& c) {
  kv::message change = withId(c.id);
  FieldError bad = subscriptionChangeFromJson(c.body, change);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.ask(SUBSCRIPTIONS, kv::CMD_SET_OBJ, change, answering(c.respond));
}

// Unsubscribes at the broker, which removes the row; a broker that has no
// client yet has nothing to unsubscribe, and the row is removed directly.
void WebApp::unsubscribe(const Call& c) {
  const uint32_t id = c.id;
  Respond respond = c.respond;
  bus_.ask(SUBSCRIPTIONS, kv::CMD_GET_OBJ, withId(id), [=](const kv::message& row) {
    if (refused(row, respond)) return;
    const svc::UnsubscribeOrder order{row.get(subscriptions::BROKER_FIELD), id};
    bus_.send(svc::encode(order), [=](const kv::message& reply) {
      if (kv::getError(reply) == svc::NO_CLIENT_TEXT) {
        return bus_.ask(SUBSCRIPTIONS, kv::CMD_REMOVE_OBJ, withId(id), answering(respond));
      }
      if (refused(reply, respond)) return;
      respond(jsonAnswer(200, Json::object()));
    });
  });
}

// ---- Messages -------------------------------------------------------------------------

void WebApp::publish(const Call& c) {
  svc::PublishOrder order;
  FieldError bad = publishFromJson(c.body, order);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.send(svc::encode(order), answeringAndRefreshing(c.respond));  // the outbox may have grown
}

void WebApp::clearReceived(const Call& c) {
  bus_.send(svc::encode(svc::ClearReceivedOrder{}), answering(c.respond));
}

// ---- Trust store ------------------------------------------------------------------------

void WebApp::listTrust(const Call& c) {
  Respond respond = c.respond;
  bus_.readRows(tls::TRUSTED_STORE_PATH, 0, [=](std::vector<kv::message> ca, std::string failure) {
    if (!failure.empty()) return respond(errorAnswer(503, failure));
    bus_.readRows(tls::CLIENT_STORE_PATH, 0, [=](std::vector<kv::message> clients, std::string failure2) {
      if (!failure2.empty()) return respond(errorAnswer(503, failure2));
      Json out{{"ca", Json::array()}, {"clients", Json::array()}};
      for (const kv::message& row : ca) out["ca"].push_back(storeEntryToJson(row));
      for (const kv::message& row : clients) out["clients"].push_back(storeEntryToJson(row));
      respond(jsonAnswer(200, out));
    });
  });
}

void WebApp::addStoreEntry(const Call& c) {
  kv::message entry;
  FieldError bad = storeEntryFromJson(c.body, isClientStore(c.request.path), entry);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.ask(storePath(c.request.path), kv::CMD_ADD_OBJ, entry, answering(c.respond, newId));
}

void WebApp::renameStoreEntry(const Call& c) {
  kv::message change = withId(c.id);
  FieldError bad = storeNameFromJson(c.body, change);
  if (!bad.ok()) return c.respond(errorAnswer(422, bad.text, bad.field));
  bus_.ask(storePath(c.request.path), kv::CMD_SET_OBJ, change, answering(c.respond));
}

void WebApp::removeStoreEntry(const Call& c) {
  bus_.ask(storePath(c.request.path), kv::CMD_REMOVE_OBJ, withId(c.id), answering(c.respond));
}

}  // namespace mqttweb
