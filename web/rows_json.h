// The JSON the page reads and sends, and its translation to and from the
// bus's table rows and the daemon's orders (the contracts/ headers).
//
// Everything from the page is checked here before anything is sent: the
// types, the ranges the daemon would otherwise quietly cut (a port above
// 65535, a keep-alive outside 30..64800), unknown keys, sizes. What only the
// daemon can judge (a name in use, a topic it refuses) it judges, and its
// text goes back to the page unchanged, with the field it is about.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "contracts/mqtt_service.h"
#include "platform/message.h"

namespace mqttweb {

using Json = nlohmann::json;
namespace svc = contract::mqtt_service;

// A refusal of one field of a form: the field's key ("" when it concerns
// none) and the text shown beside it.
struct FieldError {
  std::string field;
  std::string text;
  bool ok() const { return text.empty(); }
};

// Most payload bytes a received message shows on the page; the rest is
// cut (and `truncated` set), so one large message cannot flood a browser.
constexpr size_t MAX_SHOWN_PAYLOAD_BYTES = 8 * 1024;
// Largest text field the page may send (names, topics, scripts); a
// publish payload and a PEM may use the whole request body.
constexpr size_t MAX_TEXT_FIELD_BYTES = 64 * 1024;

// One line of JSON; bytes that are not UTF-8 become U+FFFD.
std::string dumpJson(const Json& value);
// Parses a request body that must be one JSON object.
FieldError parseObject(const std::string& body, Json& out);

Json brokerToJson(const kv::message& row);  // never carries the password
// A row of the broker-status view: the state's name, since, the last
// failure (kind, text, time; null before the first), the failed attempts,
// the next automatic attempt (null when none is armed), the outbox and the
// daemon's time when the row was made. Times are the daemon's; the page
// takes ages and countdowns against readAt, never against its own clock.
Json brokerStatusToJson(const kv::message& row);
Json subscriptionToJson(const kv::message& row);
Json receivedToJson(const kv::message& row);
Json storeEntryToJson(const kv::message& row);

// A broker form into the fields of an add or a change (a key left out is
// left as it is). The password is write-only: "password" sets it when not
// empty, and "clearPassword": true removes it.
FieldError brokerFromJson(const Json& in, kv::message& out);
// A subscription form: brokerId, filter, qos, script.
FieldError subscribeFromJson(const Json& in, svc::SubscribeOrder& order, std::string& script);
// A change of a subscription row: script and/or qos.
FieldError subscriptionChangeFromJson(const Json& in, kv::message& out);
// The publish form: brokerId, topic, payload, qos, retain, queueWhileOffline.
FieldError publishFromJson(const Json& in, svc::PublishOrder& order);
// A trust store upload: name, certificate (PEM) and, for a client entry,
// key. The rules for names are platformd's, and so are its refusals.
FieldError storeEntryFromJson(const Json& in, bool client, kv::message& out);
// A new name for a trust store entry: name.
FieldError storeNameFromJson(const Json& in, kv::message& out);

// The form field a refusal text of the daemon is about ("" when none).
std::string fieldOfRefusal(const std::string& text);

// `bytes` as page text when they are UTF-8: true and `out` set.
bool utf8Text(const std::string& bytes, std::string& out);

}  // namespace mqttweb
