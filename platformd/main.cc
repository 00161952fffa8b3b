// platformd: the platform services process. It connects to the bus as a
// peer (waiting for the hub, and reconnecting every second when it goes
// away) and serves the paths that services.h lists until SIGTERM or SIGINT.
#include <signal.h>

#include "platform/looper.h"
#include "platformd/log.h"
#include "platformd/services.h"

int main() {
  signal(SIGPIPE, SIG_IGN);  // peers that go away are seen as EPIPE
  platformd::ServiceLog log;
  kv::LooperOptions options;
  options.mode = kv::LooperOptions::Mode::Peer;
  options.catchSignals = true;
  options.reconnectSeconds = 1;
  options.log = log.fn();
  kv::Looper loop(options);
  if (!loop.status().isOk()) {
    log.write(kv::LOG_LEVEL_ERROR, "bus: " + loop.status().toString());
    return 1;
  }
  log.watchForSystemLog(loop.runner());
  platformd::Services services(loop, log.fn());
  if (!services.status().isOk()) {
    log.write(kv::LOG_LEVEL_ERROR, services.status().toString());
    return 1;
  }
  log.write(kv::LOG_LEVEL_INFO, "started");
  loop.run();
  log.write(kv::LOG_LEVEL_INFO, "stopped");
  return 0;
}
