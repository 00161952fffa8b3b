// The broker table: the MQTT brokers the service can connect to, one
// BrokerEntry per broker, served on the bus as handler 2. Everything refers
// to a broker by its row's object id; the name is unique but serves only
// log lines.
//
// Message form of a row (writeTo order; the object id travels beside it;
// the numbers are contracts/mqtt_tables.h's):
//
//   field                 type    number     default     written
//   name                  string  0xfe0010   ""          always
//   address               string  1          ""          always
//   port                  u32     2          1883        always
//   useSsl                bool    3          false       always
//   autoConnect           bool    9          false       always
//   connected             bool    8          false       always (never read)
//   keepAlive             u32     10         60          always
//   scriptLimit           u32     15         0           always
//   clientId              string  4          ""          when not empty
//   user                  string  5          ""          when not empty
//   password              string  6          ""          when not empty (in clear)
//   certificate           u32     7          0xFFFFFFFF  when not 0xFFFFFFFF
//   willTopic             string  16         ""          when not empty
//   willMessage           string  17         ""          when not empty
//   willQos               u32     18         0           when not 0
//   willRetain            bool    19         false       when true
//
// readFrom reads name, address, port, useSsl, clientId, user, password,
// certificate, autoConnect, scriptLimit, keepAlive and the will fields; a
// field the message lacks keeps its value. port and keepAlive travel as
// u32 and keep their low 16 bits; keepAlive is then held within 30..64800
// seconds. willQos is kept whole, so that a value above 2 is refused
// rather than cut.
//
// The will is on when willTopic is not empty: every CONNECT then carries
// it, and the broker publishes it if the connection ends without a
// DISCONNECT. Without a topic the other will fields are kept but unused.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/log.h"
#include "contracts/mqtt_tables.h"
#include "platform/object.h"
#include "tables/typed_table.h"

struct BrokerEntry : Object {
  std::string name;
  std::string address;  // host name or IPv4 address; resolved when connecting
  uint16_t port = contract::brokers::DEFAULT_PORT;
  bool useSsl = false;
  std::string clientId;  // empty: the service's defaultClientId
  std::string user;      // empty: none
  std::string password;  // empty: none
  uint32_t certificate = contract::brokers::NO_CERTIFICATE;  // handed to the TLS service
  // Maintained by the broker client: true from CONNACK until teardown.
  bool connected = false;
  bool autoConnect = false;
  uint16_t keepAlive = contract::brokers::DEFAULT_KEEP_ALIVE;  // seconds, kept within bounds
  uint32_t scriptLimit = 0;  // on-message scripts running at once; 0: no limit
  std::string willTopic;     // empty: no will
  std::string willMessage;
  uint32_t willQos = 0;      // 0, 1 or 2 in a stored row
  bool willRetain = false;

  BrokerEntry() = default;
  BrokerEntry(const BrokerEntry&) = default;
  BrokerEntry& operator=(const BrokerEntry&) = default;

  void writeTo(kv::message& out) const override;
  void readFrom(const kv::message& in) override;
};

class BrokerTable : public TypedTable<BrokerEntry> {
 public:
  using TypedTable::TypedTable;

  // Called by checkRemove, before the row leaves the table, when set: the
  // part of a removal that a failed store write undoes with it (the
  // subscription rows). Start-up installs BrokerClients::brokerRemoving.
  std::function<void(BrokerEntry&)> onRemove;
  // Called by rowRemoved, once the removal is stored (or at once for the
  // service's own removal), when set: what cannot be undone (the client and
  // its connection). Start-up installs BrokerClients::brokerRemoved.
  std::function<void(BrokerEntry&)> onRemoved;

  // Empty when `row` may be stored, else failedMsg with the first failing
  // check: "Broker name required", "Broker address required", "Broker name
  // already in use" (another row, other than `row` and any row with its
  // object id, has the same name, letter case counting), then the will's
  // checks (willProblem).
  kv::message validateBroker(const BrokerEntry& row);
  // The first thing wrong with the row's will, or null: "Invalid will
  // topic" (a topic a publish command would refuse: "+" or "#" in it, more
  // than 255 levels or 65,535 bytes), "Will QoS must be 0, 1 or 2", "Will
  // message too long" (more than 65,535 bytes).
  static const char* willProblem(const BrokerEntry& row);

  kv::message checkAdd(BrokerEntry& row) override;
  // A requester without write permission never receives a password: rows
  // sent to it leave out PASSWORD_FIELD.
  void hideFromReader(kv::message& row) const override;
  kv::message checkSet(BrokerEntry& existing, BrokerEntry& edited) override;
  // Runs onRemove, then allows: removing a broker is never refused.
  kv::message checkRemove(BrokerEntry& row) override;
  // Runs onRemoved.
  void rowRemoved(Object& row) override;
  // A stored row: one without an address is left out (it could never
  // connect); one with an empty name, or a name a row loaded before it
  // has, is renamed "<name>-<id>" ("broker-<id>" for an empty name, more
  // "-<id>" until unique), so its subscriptions keep their broker; a will
  // that willProblem refuses is cleared, the row kept. Each with a warning
  // naming the row.
  LoadedRow checkLoaded(BrokerEntry& row) override;

 private:
  // Whether a row other than `row` (and any row with its id) has `name`.
  bool nameInUse(const std::string& name, const BrokerEntry& row);
  // Clears a loaded row's will that willProblem refuses, with a warning;
  // whether it did.
  static bool clearLoadedWill(BrokerEntry& row);
};

// The log routines for lines about one broker, which carry its name.
void logBrokerInfo(const BrokerEntry& broker, const std::string& text);
void logBrokerWarning(const BrokerEntry& broker, const std::string& text);
void logBrokerError(const BrokerEntry& broker, const std::string& text);
