#include "web/sessions.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

namespace mqttweb {

std::string randomToken(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&raw[0]), static_cast<int>(bytes)) != 1) return "";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool sameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Sessions::open(const std::string& user, Role role) {
  std::string token = randomToken();
  Session s{user, role, randomToken(), clock_.now(), clock_.now()};
  if (token.empty() || s.csrf.empty()) return "";
  makeRoom();
  sessions_[token] = s;
  return token;
}

bool Sessions::expired(const Session& s) const {
  const kv::Ticks now = clock_.now(), tps = clock_.ticksPerSecond();
  return now - s.lastUsed >= IDLE_SECONDS * tps || now - s.opened >= MAX_AGE_SECONDS * tps;
}

// Drops expired sessions; when still full, the one idle longest.
void Sessions::makeRoom() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = expired(it->second) ? sessions_.erase(it) : std::next(it);
  }
  if (sessions_.size() < MAX_SESSIONS) return;
  auto idlest = std::min_element(sessions_.begin(), sessions_.end(), [](auto& a, auto& b) {
    return a.second.lastUsed < b.second.lastUsed;
  });
  sessions_.erase(idlest);
}

const Session* Sessions::find(const std::string& token) {
  auto it = sessions_.find(token);
  if (it == sessions_.end()) return nullptr;
  if (expired(it->second)) {
    sessions_.erase(it);
    return nullptr;
  }
  it->second.lastUsed = clock_.now();
  return &it->second;
}

void Sessions::close(const std::string& token) { sessions_.erase(token); }

uint32_t LoginThrottle::lockedSeconds(const std::string& address) const {
  auto it = addresses_.find(address);
  const kv::Ticks now = clock_.now(), tps = clock_.ticksPerSecond();
  if (it == addresses_.end() || it->second.lockedUntil <= now) return 0;
  return static_cast<uint32_t>((it->second.lockedUntil - now + tps - 1) / tps);
}

void LoginThrottle::failed(const std::string& address) {
  if (!addresses_.count(address) && addresses_.size() >= MAX_ADDRESSES) {
    auto oldest = std::min_element(addresses_.begin(), addresses_.end(), [](auto& a, auto& b) {
      return a.second.last < b.second.last;
    });
    addresses_.erase(oldest);
  }
  Record& r = addresses_[address];
  r.last = clock_.now();
  if (++r.failures < LOCK_AFTER_FAILURES) return;
  const uint32_t doublings = std::min<uint32_t>(r.failures - LOCK_AFTER_FAILURES, 10);
  const uint64_t lock = std::min<uint64_t>(uint64_t{LOCK_SECONDS} << doublings, MAX_LOCK_SECONDS);
  r.lockedUntil = r.last + lock * clock_.ticksPerSecond();
}

}  // namespace mqttweb
