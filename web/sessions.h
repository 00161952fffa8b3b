// Who is logged in, and how fast someone may guess passwords.
//
// Sessions: a login opens a session named by a random token (the cookie's
// value, 32 random bytes in hex) with a CSRF token of its own (sent to the
// page, which returns it in a header with every change). A session ends at
// logout, after IDLE_SECONDS without a request, or MAX_AGE_SECONDS after the
// login, whichever comes first. At most MAX_SESSIONS live at once: a new
// login beyond that ends the session that has been idle longest.
//
// LoginThrottle: every failed login from an address is answered only after
// FAILURE_DELAY_SECONDS, and after LOCK_AFTER_FAILURES failures in a row an
// address is refused outright for a lock that doubles with each further
// failure (LOCK_SECONDS up to MAX_LOCK_SECONDS). A success clears the
// address. At most MAX_ADDRESSES are remembered (the oldest goes first), so a
// flood of addresses costs bounded memory.
//
// Time is the loop's clock in ticks, so tests turn it by hand.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/clock.h"
#include "web/users.h"

namespace mqttweb {

// `bytes` random bytes in lower-case hex; "" when the system has none.
std::string randomToken(size_t bytes = 32);
// Compares in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b);

struct Session {
  std::string user;
  Role role = Role::ReadOnly;
  std::string csrf;
  kv::Ticks opened = 0;
  kv::Ticks lastUsed = 0;
};

class Sessions {
 public:
  static constexpr uint32_t IDLE_SECONDS = 30 * 60;
  static constexpr uint32_t MAX_AGE_SECONDS = 12 * 3600;
  static constexpr size_t MAX_SESSIONS = 32;

  explicit Sessions(const kv::Clock& clock) : clock_(clock) {}

  // Opens a session; returns its token ("" when no random bytes).
  std::string open(const std::string& user, Role role);
  // The live session of `token`, marked as used now; null when there is
  // none or it has expired (an expired session is forgotten).
  const Session* find(const std::string& token);
  void close(const std::string& token);
  size_t size() const { return sessions_.size(); }

 private:
  bool expired(const Session& s) const;
  void makeRoom();

  const kv::Clock& clock_;
  std::map<std::string, Session> sessions_;
};

class LoginThrottle {
 public:
  static constexpr uint32_t FAILURE_DELAY_SECONDS = 1;
  static constexpr uint32_t LOCK_AFTER_FAILURES = 5;
  static constexpr uint32_t LOCK_SECONDS = 30;
  static constexpr uint32_t MAX_LOCK_SECONDS = 15 * 60;
  static constexpr size_t MAX_ADDRESSES = 256;

  explicit LoginThrottle(const kv::Clock& clock) : clock_(clock) {}

  // Seconds until `address` may try again; 0 when it may now.
  uint32_t lockedSeconds(const std::string& address) const;
  void failed(const std::string& address);
  void succeeded(const std::string& address) { addresses_.erase(address); }

 private:
  struct Record {
    uint32_t failures = 0;
    kv::Ticks lockedUntil = 0;
    kv::Ticks last = 0;
  };
  const kv::Clock& clock_;
  std::map<std::string, Record> addresses_;
};

}  // namespace mqttweb
