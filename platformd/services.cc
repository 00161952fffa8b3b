#include "platformd/services.h"

#ifdef PLATFORMD_WITH_TLS
#include "platformd/tls/tls_service.h"
#endif

namespace platformd {

#ifndef PLATFORMD_WITH_TLS
class TlsService {};  // built without OpenSSL: nothing serves [12]
#endif

Services::Services(kv::Looper& loop, kv::LogFn log, const ServicesOptions& options)
    : identity_(log),
      resolver_(loop.runner(), options.resolver),
      scripts_(loop.runner(), options.scripts, log) {
  loop.addHandler(contract::identity::PATH, &identity_);
  loop.addHandler(contract::resolver::PATH, &resolver_);
  loop.addHandler(contract::scripts::PATH, &scripts_);
#ifdef PLATFORMD_WITH_TLS
  tls_ = std::make_unique<TlsService>(loop, log);
#endif
}

Services::~Services() = default;

kv::Status Services::status() const { return resolver_.status(); }

}  // namespace platformd
