// BrokerStatusView: the broker-status view, handler 5 on the bus
// (contracts/broker_status.h has the row's fields).
//
// A row per broker row, made from the broker's client report when it is
// read, so the message paths pay nothing for it beyond the counters the
// client keeps anyway. A broker that has no client yet (a row added since
// start-up that no command has named) reads as idle, with no failure and
// no traffic. Served: get one (by the broker row's object id), get all (in
// object-id order, in pages as the tables page), count. Every other table
// command is refused with ERR_NOT_SUPPORTED and an empty text: the view
// cannot be changed. Reading needs no write permission.
//
// The view does not own the broker table or the clients; both outlive it.
#pragma once

#include <cstdint>

#include "commands/broker_clients.h"
#include "contracts/broker_status.h"
#include "platform/handler.h"
#include "platform/looper.h"
#include "tables/broker_table.h"

class BrokerStatusView : public kv::Handler {
 public:
  BrokerStatusView(kv::Looper& loop, BrokerTable& brokers, const BrokerClients& clients)
      : loop_(loop), brokers_(brokers), clients_(clients) {}

  void cmdGetObj(kv::message& request) override;
  void cmdGetAll(kv::message& request) override;
  void cmdGetCount(kv::message& request) override;

  // The row of `broker` as it reads now.
  contract::broker_status::BrokerStatus statusOf(const BrokerEntry& broker) const;

 private:
  kv::Looper& loop_;
  BrokerTable& brokers_;
  const BrokerClients& clients_;
};
