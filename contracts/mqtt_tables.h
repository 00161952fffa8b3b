// The daemon's three tables on the bus: handlers 2 (brokers), 3
// (subscriptions) and 4 (received messages), reached with the platform's
// generic table commands (docs/tables.md). The daemon's row classes and the
// console's words both take the field numbers from here.
//
// A field is named by its type and number together: in a subscription row
// u32 11 (the broker) and string 11 (the script) are two fields.
#pragma once

#include <cstdint>

#include "contracts/tls.h"
#include "platform/message.h"
#include "platform/system.h"

namespace contract {

// Object ids name rows everywhere; this one names none.
constexpr uint32_t NO_ID = 0xFFFFFFFF;

// A broker row: the broker, how to reach it and how to talk to it.
namespace brokers {
constexpr uint32_t HANDLER = 2;
constexpr kv::string_id NAME_FIELD = kv::NAME_FIELD;  // unique among the rows
constexpr kv::string_id ADDRESS_FIELD{1};             // host name or IPv4 address
constexpr kv::u32_id PORT_FIELD{2};                   // 1 to 65535
constexpr kv::bool_id USE_TLS_FIELD{3};
constexpr kv::string_id CLIENT_ID_FIELD{4};  // empty: the daemon's default
constexpr kv::string_id USER_FIELD{5};
constexpr kv::string_id PASSWORD_FIELD{6};   // never sent to a reader without write rights
constexpr kv::u32_id CERTIFICATE_FIELD{7};   // a row of the TLS client store (tls.h)
constexpr kv::bool_id CONNECTED_FIELD{8};    // read only: the daemon's to say
constexpr kv::bool_id AUTO_CONNECT_FIELD{9};
constexpr kv::u32_id KEEP_ALIVE_FIELD{10};   // seconds
constexpr kv::u32_id SCRIPT_LIMIT_FIELD{15};  // on-message scripts at once; 0: no limit
// The Last Will, sent in CONNECT when the topic is set; each field is
// written into the row's message only when set.
constexpr kv::string_id WILL_TOPIC_FIELD{16};  // empty: no will
constexpr kv::string_id WILL_MESSAGE_FIELD{17};
constexpr kv::u32_id WILL_QOS_FIELD{18};      // 0, 1 or 2
constexpr kv::bool_id WILL_RETAIN_FIELD{19};

constexpr uint32_t NO_CERTIFICATE = tls::NO_CERTIFICATE;
constexpr uint16_t DEFAULT_PORT = 1883;
constexpr uint16_t DEFAULT_KEEP_ALIVE = 60;
constexpr uint16_t MIN_KEEP_ALIVE = 30;
constexpr uint16_t MAX_KEEP_ALIVE = 64800;
}  // namespace brokers

// A subscription row: a topic filter kept subscribed on one broker.
namespace subscriptions {
constexpr uint32_t HANDLER = 3;
constexpr kv::u32_id BROKER_FIELD{11};    // the broker row's object id
constexpr kv::string_id FILTER_FIELD{12};
constexpr kv::u32_id QOS_FIELD{13};       // 0, 1 or 2
constexpr kv::string_id SCRIPT_FIELD{11};  // on-message script; empty: none
}  // namespace subscriptions

// A received-message row: one message as it arrived (read and remove only).
namespace received {
constexpr uint32_t HANDLER = 4;
constexpr kv::u32_id BROKER_FIELD{11};  // the broker row whose client received it
constexpr kv::string_id TOPIC_FIELD{12};
constexpr kv::string_id DATA_FIELD{11};  // every byte, NUL included
constexpr kv::u32_id TIME_FIELD{12};     // local time of arrival, seconds since 1970
}  // namespace received

}  // namespace contract
