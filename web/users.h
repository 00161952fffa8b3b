// The accounts of the web page: names, roles and salted password hashes,
// kept in one file of mode 0600.
//
// File format, one account a line (UTF-8 text, '#' starts a comment line):
//
//   NAME ROLE scrypt:N:R:P:SALT:HASH
//
//   NAME  1 to 32 of [A-Za-z0-9._-]
//   ROLE  "admin" (may change things) or "read-only" (may only look)
//   N, R, P  scrypt's cost (a power of two), block size and parallelism
//   SALT, HASH  lower-case hex; the salt 16 to 64 bytes, the hash 32 bytes
//
// The hash is scrypt (OpenSSL's EVP_PBE_scrypt), a memory-hard key
// derivation function: a stolen file costs an attacker N * R * 128 bytes of
// memory and the matching time per guess. Everything read from the file is
// checked (bounds, syntax, parameters that would exhaust memory): a bad
// file is refused with a message naming the line, never half-used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace mqttweb {

enum class Role { Admin, ReadOnly };
const char* roleName(Role role);

struct KdfParams {
  uint64_t n = 1u << 14;  // 16 MiB with r = 8: about 50 ms on a desktop core
  uint32_t r = 8;
  uint32_t p = 1;
};

struct User {
  std::string name;
  Role role = Role::Admin;
  KdfParams kdf;
  std::string salt;  // raw bytes
  std::string hash;  // raw bytes, HASH_BYTES long
};

constexpr size_t HASH_BYTES = 32;
constexpr size_t SALT_BYTES = 16;
constexpr size_t MAX_USERS = 16;
constexpr size_t MAX_USERS_FILE_BYTES = 64 * 1024;
constexpr size_t MIN_PASSWORD_BYTES = 8;
constexpr size_t MAX_PASSWORD_BYTES = 1024;

// The file under the root directory (kv::rootPath).
constexpr const char* USERS_PATH = "/korv/store/web/users";

// A valid account name (see the file format).
bool isValidUserName(const std::string& name);

// Sets `user`'s salt (fresh random bytes) and hash of `password` with
// `kdf`. Fails for a password out of bounds or a KDF error.
kv::Status setPassword(User& user, const std::string& password, const KdfParams& kdf = {});

// True when `password` is `user`'s. Compares in constant time.
bool passwordMatches(const User& user, const std::string& password);

// Parses and checks the whole file; on failure `users` is left empty.
kv::Status parseUsers(const std::string& text, std::vector<User>& users);
std::string formatUsers(const std::vector<User>& users);

// Reads the file at `path`. Kind NotFound when it does not exist; refused
// when it is larger than MAX_USERS_FILE_BYTES or readable by others than
// its owner (group or other permission bits set).
kv::Status loadUsers(const std::string& path, std::vector<User>& users);
// Writes the file atomically with mode 0600 (kv::writeFileAtomically).
kv::Status saveUsers(const std::string& path, const std::vector<User>& users);

// The account named `name`, or null.
const User* findUser(const std::vector<User>& users, const std::string& name);

}  // namespace mqttweb
