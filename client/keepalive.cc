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
//
// Automatic connection, for brokers whose autoConnect is set and for any
// broker whose outbox holds messages, waits the delay ReconnectBackoff
// draws from the loop's random source: 10 s x U[0.8, 1.2] after the
// client's creation or a teardown, the base doubling up to 120 s after each
// automatic attempt that failed, and 10 s again once a broker accepts a
// connection. The random factor keeps the clients of many routers, which
// lose a broker at the same moment, from coming back at the same moment.
#include "base/log.h"
#include "base/service_globals.h"
#include "client/broker_client.h"
#include "mqtt/builders.h"

void BrokerClient::onWrite() {
  if (state_ == ConnectionState::Connected || inProgress()) {
    pingTimer_.arm(seconds(broker_->keepAlive - 1u));
  }
}

void BrokerClient::onPacketWritten(uint8_t type) {
  if (type == mqtt::Publish && outbox_.written(report_.bytesOut)) scheduleOutboxRefill();
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

// Runs at creation and after every teardown. Only the failure of an
// automatic attempt moves the back-off on: after anything else (creation,
// a lost connection, a command's attempt that failed) it starts again.
void BrokerClient::armAutoConnect() {
  const bool automaticAttemptFailed = automaticAttempt_;
  automaticAttempt_ = false;
  if (!wantsAutoConnect()) return;
  if (!automaticAttemptFailed) backoff_.reset();
  autoConnectTimer_.arm(backoff_.nextDelayTicks(loop_.random(), ticksPerSecond));
}

void BrokerClient::onAutoConnect() {
  if (state_ == ConnectionState::Connected || inProgress()) return;
  logBrokerInfo(*broker_, strprintf("Auto-connecting %s", broker_->name.c_str()));
  subscribeOnConnect_ = true;
  automaticAttempt_ = true;
  connect();
}
