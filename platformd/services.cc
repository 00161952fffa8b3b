#include "platformd/services.h"

namespace platformd {

class TlsService {};

Services::Services(kv::Looper& loop, kv::LogFn log, const ServicesOptions& options)
    : identity_(log),
      resolver_(loop.runner(), options.resolver),
      scripts_(loop.runner(), options.scripts, log) {
  loop.addHandler(IDENTITY_PATH, &identity_);
  loop.addHandler(RESOLVER_PATH, &resolver_);
  loop.addHandler(SCRIPT_PATH, &scripts_);
}

Services::~Services() = default;

kv::Status Services::status() const { return resolver_.status(); }

}  // namespace platformd
