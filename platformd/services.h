// The services platformd offers on the bus, registered with one loop:
//   [14]      name resolution  (Resolver)
//   [24, 17]  device identity  (Identity)
//   [48]      on-message scripts (ScriptService)
// and, when built with OpenSSL, TLS on [12] with its stores (TlsService).
// See docs/platform-services.md.
#pragma once

#include <memory>

#include "platform/looper.h"
#include "platformd/identity.h"
#include "platformd/resolver.h"
#include "platformd/scripts.h"

namespace platformd {

class TlsService;

struct ServicesOptions {
  ResolverOptions resolver;
  ScriptOptions scripts;
};

class Services {
 public:
  // Registers every service with `loop`, which must outlive this object.
  Services(kv::Looper& loop, kv::LogFn log, const ServicesOptions& options = ServicesOptions());
  ~Services();
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // Whether every service could start.
  kv::Status status() const;

 private:
  Identity identity_;
  Resolver resolver_;
  ScriptService scripts_;
  std::unique_ptr<TlsService> tls_;
};

}  // namespace platformd
