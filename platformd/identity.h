// The device identity (contracts/identity.h): handler path [24, 17].
//
// The identity is 1 to 21 ASCII letters and digits, so that "QX" followed
// by it is a client identifier every MQTT 3.1.1 broker must accept (at
// most 23 such characters); a set identity is persisted.
//
// Where the identity comes from, first that applies:
//   1. the value set from the console, kept in IDENTITY_FILE;
//   2. derived from the machine id (<root>/etc/machine-id, or
//      /etc/machine-id when the root directory has none): 16 hex digits of
//      a 64-bit hash of it, so that the machine id itself is not disclosed
//      and the identity stays the same across restarts;
//   3. 16 random hex digits, persisted in IDENTITY_FILE as if set.
// The identity is read once, at construction, and changed only by set and
// reset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/identity.h"
#include "platform/handler.h"
#include "platform/looper.h"

namespace platformd {

constexpr const char* IDENTITY_FILE = "/korv/store/platform/identity";
constexpr const char* MACHINE_ID_FILE = "/etc/machine-id";

// True for 1 to contract::identity::MAX_IDENTITY ASCII letters and digits.
bool isValidIdentity(const std::string& value);
// The identity derived from a machine id (its text, spaces around it
// ignored); "" when the text is not 32 hex digits.
std::string identityFromMachineId(const std::string& machineIdText);

class Identity : public kv::Handler {
 public:
  explicit Identity(kv::LogFn log);
  const std::string& value() const { return value_; }
  void handleCmd(kv::message& request, uint32_t command) override;

 private:
  void load();
  void cmdGetIdentity(kv::message& request);
  void cmdSet(kv::message& request) override;
  void cmdReset(kv::message& request) override;

  kv::LogFn log_;
  std::string value_;
  std::string origin_;
};

}  // namespace platformd
