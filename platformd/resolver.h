// The name-resolution service (contracts/resolver.h): handler path [14].
//
// Names are resolved with getaddrinfo(3), so /etc/hosts and the system's
// resolver configuration apply; a name that does not resolve gets a
// failure reply with the resolver's text ("Name or service not known", ...). Names under "invalid" get that
// answer without a name server being asked, since they never exist
// (RFC 6761). A name that cannot be a host name
// (empty, longer than 253 bytes, a byte other than a letter, a digit,
// '-', '.' or '_') is refused without asking the resolver.
//
// getaddrinfo blocks, so each name is resolved on a WorkerPool thread; a
// resolution that waits for a thread is queued, and a full queue is
// refused at once (ERR_BUSY). A request whose time-out passes while its
// name is still being resolved is answered by the bus; the late reply is
// dropped there, so the sender is answered exactly once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/resolver.h"
#include "platform/handler.h"
#include "platformd/worker_pool.h"

namespace platformd {

struct ResolverOptions {
  size_t threads = 4;
  size_t maxQueued = 64;
};

class Resolver : public kv::Handler {
 public:
  Resolver(kv::ThinRunner& runner, const ResolverOptions& options);
  const kv::Status& status() const { return pool_.status(); }
  void handleCmd(kv::message& request, uint32_t command) override;

 private:
  void resolve(const kv::message& request);
  WorkerPool pool_;  // last: its threads stop before the rest goes
};

// True for a string that may be given to the resolver as a host name.
bool isPlausibleHostName(const std::string& name);

}  // namespace platformd
