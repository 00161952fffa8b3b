// The bus contracts this program speaks: the daemon's tables and commands and
// the platform's certificate stores, as their owners document them
// (docs/tables.md, docs/commands.md, docs/platform-services.md).
//
// Every path, command and field number the web program uses is here and
// nowhere else, so that moving to the shared contract headers is a change of
// this one file.
#pragma once

#include <cstdint>

#include "platform/message.h"
#include "platform/system.h"

namespace mqttweb {
namespace contract {

// ---- The daemon's tables ------------------------------------------------------
constexpr uint32_t BROKER_TABLE = 2;
constexpr uint32_t SUBSCRIPTION_TABLE = 3;
constexpr uint32_t RECEIVED_TABLE = 4;

// Broker rows (the name is kv::NAME_FIELD).
constexpr kv::string_id BROKER_ADDRESS{1};
constexpr kv::u32_id BROKER_PORT{2};
constexpr kv::bool_id BROKER_SSL{3};
constexpr kv::string_id BROKER_CLIENT_ID{4};
constexpr kv::string_id BROKER_USER{5};
constexpr kv::string_id BROKER_PASSWORD{6};
constexpr kv::u32_id BROKER_CERTIFICATE{7};  // an id of the client store, or NO_CERTIFICATE
constexpr kv::bool_id BROKER_CONNECTED{8};
constexpr kv::bool_id BROKER_AUTO_CONNECT{9};
constexpr kv::u32_id BROKER_KEEP_ALIVE{10};
constexpr kv::u32_id BROKER_SCRIPT_LIMIT{15};
constexpr uint32_t NO_CERTIFICATE = 0xFFFFFFFF;

// Subscription rows.
constexpr kv::u32_id SUBSCRIPTION_BROKER{11};
constexpr kv::string_id SUBSCRIPTION_FILTER{12};
constexpr kv::u32_id SUBSCRIPTION_QOS{13};
constexpr kv::string_id SUBSCRIPTION_SCRIPT{11};

// Received-message rows.
constexpr kv::u32_id RECEIVED_BROKER{11};
constexpr kv::string_id RECEIVED_TOPIC{12};
constexpr kv::string_id RECEIVED_DATA{11};
constexpr kv::u32_id RECEIVED_TIME{12};  // local time of arrival, seconds

// ---- The daemon's commands (handler 1) ----------------------------------------
constexpr uint32_t COMMAND_HANDLER = 1;
constexpr uint32_t CMD_PUBLISH = 1;
constexpr uint32_t CMD_CONNECT = 2;
constexpr uint32_t CMD_DISCONNECT = 3;
constexpr uint32_t CMD_SUBSCRIBE = 4;
constexpr uint32_t CMD_CLEAR_RECEIVED = 5;
constexpr uint32_t CMD_UNSUBSCRIBE = 6;

// Publish, connect and disconnect.
constexpr kv::u32_id PUBLISH_BROKER{1};
constexpr kv::string_id PUBLISH_TOPIC{2};
constexpr kv::string_id PUBLISH_DATA{3};
constexpr kv::u32_id PUBLISH_QOS{5};
constexpr kv::bool_id PUBLISH_RETAIN{6};
constexpr kv::bool_id PUBLISH_CONNECT_IF_NEEDED{14};
constexpr kv::u32_id CONNECT_BROKER{1};

// Subscribe and unsubscribe.
constexpr kv::u32_id SUBSCRIBE_BROKER{11};
constexpr kv::string_id SUBSCRIBE_FILTER{12};
constexpr kv::u32_id SUBSCRIBE_QOS{13};
constexpr kv::bool_id SUBSCRIBE_CONNECT_IF_NEEDED{14};
constexpr kv::u32_id UNSUBSCRIBE_BROKER{11};
constexpr kv::u32_id UNSUBSCRIBE_ROW{13};
// The unsubscribe refusal for a broker whose client does not exist yet: the
// row is then removed from the table directly.
constexpr const char* NO_CLIENT_TEXT = "Client not present";

// ---- The platform's certificate stores ----------------------------------------
constexpr uint32_t TLS_SERVICE = 12;
constexpr uint32_t TRUSTED_STORE = 1;  // path [12, 1]
constexpr uint32_t CLIENT_STORE = 2;   // path [12, 2]
constexpr kv::string_id STORE_CERTIFICATES{20};  // add: PEM
constexpr kv::string_id STORE_KEY{21};           // add, client entries: PEM key
constexpr kv::string_id STORE_SUBJECT{22};
constexpr kv::string_id STORE_ISSUER{23};
constexpr kv::string_id STORE_NOT_AFTER{24};
constexpr kv::u32_id STORE_CERTIFICATE_COUNT{25};

}  // namespace contract
}  // namespace mqttweb
