// BrokerClient: keep-alive and automatic connection.
//
// Every write while a connection is up or being set up restarts the
// keep-alive count: PINGREQ is queued after (keepAlive - 1) seconds without
// a write. A broker that sends nothing at all for 1.5 x keepAlive after a
// PINGREQ was queued (or the CONNECT written) is taken for dead and the
// connection is torn down, so that a silent link is noticed and automatic
// connection, whose attempts have no connect time-out, gets its turn. The
// deadline starts when the PINGREQ is queued, not written: behind a full
// send buffer (a frozen broker, a dead uplink) it may never be written.
// Teardown stops both timers.
// Automatic connection tries 10 seconds after the client is created and
// 10 seconds after every teardown, for brokers whose autoConnect is set.
#include "base/log.h"
#include "client/broker_client.h"
#include "mqtt/builders.h"

void BrokerClient::onWrite() {
  if (state_ == ConnectionState::Connected || inProgress()) {
    pingTimer_.arm(seconds(broker_->keepAlive - 1u));
  }
}

void BrokerClient::onPacketWritten(uint8_t type) {
  if (type == mqtt::Connect) armSilenceDeadline("connect");
  if (type == mqtt::Pingreq) armSilenceDeadline("pingreq");
}

void BrokerClient::sendPingreq() {
  if (state_ != ConnectionState::Connected) return;
  logBrokerInfo(*broker_, "sending pingreq");
  armSilenceDeadline("pingreq");
  enqueuePacket(mqtt::makePingreq());
}

void BrokerClient::armSilenceDeadline(const char* after) {
  if (silenceTimer_.pending()) return;
  silenceAfter_ = after;
  silenceTimer_.arm(seconds(broker_->keepAlive) * 3 / 2);
}

void BrokerClient::onBrokerSilent() {
  teardown(kv::Status::timeout(strprintf("nothing received for %u s after %s; closing the connection",
                                         broker_->keepAlive * 3u / 2u, silenceAfter_)));
}

void BrokerClient::armAutoConnect() {
  if (broker_->autoConnect) autoConnectTimer_.arm(seconds(AUTO_CONNECT_SECONDS));
}

void BrokerClient::onAutoConnect() {
  if (state_ == ConnectionState::Connected || inProgress()) return;
  logBrokerInfo(*broker_, strprintf("Auto-connecting %s", broker_->name.c_str()));
  subscribeOnConnect_ = true;
  connect();
}
