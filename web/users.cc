#include "web/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <sstream>

#include "platform/files.h"

namespace mqttweb {
namespace {

// Bounds on what a file may ask of the KDF: a forged line must not make a
// login take minutes or gigabytes.
constexpr uint64_t MIN_N = 1u << 10;
constexpr uint64_t MAX_N = 1u << 20;
constexpr uint32_t MAX_R = 32;
constexpr uint32_t MAX_P = 16;
constexpr uint64_t MAX_KDF_MEMORY = 64u * 1024 * 1024;
constexpr size_t MAX_SALT_BYTES = 64;

uint64_t kdfMemory(const KdfParams& kdf) { return 128 * kdf.n * kdf.r * (kdf.p + 1) + 1024 * 1024; }

bool kdfInBounds(const KdfParams& kdf) {
  return kdf.n >= MIN_N && kdf.n <= MAX_N && (kdf.n & (kdf.n - 1)) == 0 && kdf.r >= 1 &&
         kdf.r <= MAX_R && kdf.p >= 1 && kdf.p <= MAX_P && 128 * kdf.n * kdf.r <= MAX_KDF_MEMORY;
}

bool derive(const std::string& password, const std::string& salt, const KdfParams& kdf,
            std::string& out) {
  out.assign(HASH_BYTES, '\0');
  return EVP_PBE_scrypt(password.data(), password.size(),
                        reinterpret_cast<const unsigned char*>(salt.data()), salt.size(), kdf.n,
                        kdf.r, kdf.p, kdfMemory(kdf), reinterpret_cast<unsigned char*>(&out[0]),
                        out.size()) == 1;
}

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool fromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int v = 0;
    for (char c : hex.substr(i, 2)) {
      if (c >= '0' && c <= '9') v = v * 16 + (c - '0');
      else if (c >= 'a' && c <= 'f') v = v * 16 + (c - 'a' + 10);
      else return false;
    }
    out += static_cast<char>(v);
  }
  return true;
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 8) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return out <= max;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.emplace_back();
  return parts;
}

// "scrypt:N:R:P:SALT:HASH"
bool parseHash(const std::string& text, User& user) {
  std::vector<std::string> f = split(text, ':');
  uint64_t n = 0, r = 0, p = 0;
  if (f.size() != 6 || f[0] != "scrypt" || !parseNumber(f[1], MAX_N, n) ||
      !parseNumber(f[2], MAX_R, r) || !parseNumber(f[3], MAX_P, p)) {
    return false;
  }
  user.kdf = KdfParams{n, static_cast<uint32_t>(r), static_cast<uint32_t>(p)};
  return kdfInBounds(user.kdf) && fromHex(f[4], user.salt) && user.salt.size() >= SALT_BYTES &&
         user.salt.size() <= MAX_SALT_BYTES && fromHex(f[5], user.hash) &&
         user.hash.size() == HASH_BYTES;
}

kv::Status parseLine(const std::string& line, User& user) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.size() != 3) return kv::Status::malformed("expected NAME ROLE HASH");
  if (!isValidUserName(words[0])) return kv::Status::malformed("not an account name");
  user.name = words[0];
  if (words[1] == "admin") user.role = Role::Admin;
  else if (words[1] == "read-only") user.role = Role::ReadOnly;
  else return kv::Status::malformed("the role is neither admin nor read-only");
  if (!parseHash(words[2], user)) return kv::Status::malformed("not a valid scrypt hash");
  return kv::Status::ok();
}

}  // namespace

const char* roleName(Role role) { return role == Role::Admin ? "admin" : "read-only"; }

bool isValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

kv::Status setPassword(User& user, const std::string& password, const KdfParams& kdf) {
  if (password.size() < MIN_PASSWORD_BYTES || password.size() > MAX_PASSWORD_BYTES) {
    return kv::Status::malformed("a password is " + std::to_string(MIN_PASSWORD_BYTES) + " to " +
                                 std::to_string(MAX_PASSWORD_BYTES) + " bytes long");
  }
  if (!kdfInBounds(kdf)) return kv::Status::malformed("scrypt parameters out of bounds");
  std::string salt(SALT_BYTES, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&salt[0]), static_cast<int>(salt.size())) != 1) {
    return kv::Status::io("no random bytes for the salt");
  }
  std::string hash;
  if (!derive(password, salt, kdf, hash)) return kv::Status::io("scrypt failed");
  user.kdf = kdf;
  user.salt = salt;
  user.hash = hash;
  return kv::Status::ok();
}

bool passwordMatches(const User& user, const std::string& password) {
  std::string hash;
  if (password.size() > MAX_PASSWORD_BYTES || user.hash.size() != HASH_BYTES ||
      !derive(password, user.salt, user.kdf, hash)) {
    return false;
  }
  return CRYPTO_memcmp(hash.data(), user.hash.data(), HASH_BYTES) == 0;
}

kv::Status parseUsers(const std::string& text, std::vector<User>& users) {
  users.clear();
  std::istringstream in(text);
  std::string line;
  std::vector<User> parsed;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    User user;
    kv::Status st = parseLine(line, user);
    if (st.isOk() && findUser(parsed, user.name)) st = kv::Status::malformed("a second account of that name");
    if (st.isOk() && parsed.size() == MAX_USERS) {
      st = kv::Status::malformed("more than " + std::to_string(MAX_USERS) + " accounts");
    }
    if (!st.isOk()) return kv::Status::malformed("line " + std::to_string(number) + ": " + st.message());
    parsed.push_back(user);
  }
  users = std::move(parsed);
  return kv::Status::ok();
}

std::string formatUsers(const std::vector<User>& users) {
  std::string out = "# mqttweb accounts: NAME ROLE scrypt:N:R:P:SALT:HASH (set with mqttweb password)\n";
  for (const User& u : users) {
    out += u.name + " " + roleName(u.role) + " scrypt:" + std::to_string(u.kdf.n) + ":" +
           std::to_string(u.kdf.r) + ":" + std::to_string(u.kdf.p) + ":" + toHex(u.salt) + ":" +
           toHex(u.hash) + "\n";
  }
  return out;
}

kv::Status loadUsers(const std::string& path, std::vector<User>& users) {
  users.clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return kv::Status::notFound(path + ": no accounts yet");
    return kv::Status::fromErrno("stat " + path, errno);
  }
  if (info.st_mode & 077) {
    return kv::Status::malformed(path + " may be read by others than its owner; chmod 600 it");
  }
  std::string text;
  kv::Status st = kv::readFile(path, MAX_USERS_FILE_BYTES, text);
  if (st.isOk()) st = parseUsers(text, users);
  if (st.kind() == kv::Status::Kind::Malformed) return kv::Status::malformed(path + ": " + st.message());
  return st;
}

kv::Status saveUsers(const std::string& path, const std::vector<User>& users) {
  return kv::writeFileAtomically(path, formatUsers(users), 0600);
}

const User* findUser(const std::vector<User>& users, const std::string& name) {
  for (const User& u : users) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

}  // namespace mqttweb
