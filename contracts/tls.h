// The platform's TLS service on the bus: path [12], with its certificate
// stores at [12, 1] (trusted certificates) and [12, 2] (client
// certificates).
//
// Command 1 sets up a TLS client connection on a TCP socket the requester
// has connected and hands over in u32 0xff0015 (kv::SOCKET_FIELD):
//   bool 1     server mode: false, the service is the TLS client (true is
//              refused)
//   bool 4     verify the server: true or absent (false is refused)
//   string 15  the server name sent with SNI
//   string 7   the name the server's certificate must carry; absent: the
//              socket's peer IPv4 address must
//   u32 2      a client certificate of the store [12, 2] to present
// The reply carries in u32 0xff0015 the requester's end of a socket pair:
// what it writes there goes out over TLS, what comes in over TLS can be
// read there. A failure reply says what failed.
//
// The stores, reached with the generic table commands:
//   get-all   rows (object id, string 0xfe0010 name when it has one,
//             string 22 subject, string 23 issuer, string 26 start and
//             string 24 end of validity, string 27 SHA-256 fingerprint,
//             u32 25 certificates in the entry), in id order; after-id
//             honoured
//   get-obj   one row
//   count     the number of entries
//   add       string 0xfe0010 the entry's name (required, unique),
//             string 20 PEM certificates (a client entry: its certificate
//             first, then its chain), string 21 PEM private key (client
//             entries only, unencrypted); replies the new object id
//   set-obj   string 0xfe0010 a new name for the entry with the object id
//   remove    the entry with the object id
// add, set-obj and remove need write permission. No row carries a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/system.h"

namespace contract {
namespace tls {

inline const std::vector<uint32_t> PATH = {12};
inline const std::vector<uint32_t> TRUSTED_STORE_PATH = {12, 1};
inline const std::vector<uint32_t> CLIENT_STORE_PATH = {12, 2};

constexpr uint32_t CONNECT_COMMAND = 1;
constexpr kv::bool_id SERVER_MODE_FIELD{1};
constexpr kv::u32_id CLIENT_CERTIFICATE_FIELD{2};
constexpr kv::bool_id VERIFY_SERVER_FIELD{4};
constexpr kv::string_id VERIFY_NAME_FIELD{7};
constexpr kv::string_id SERVER_NAME_FIELD{15};

constexpr kv::string_id CERT_PEM_FIELD{20};
constexpr kv::string_id KEY_PEM_FIELD{21};
constexpr kv::string_id CERT_SUBJECT_FIELD{22};
constexpr kv::string_id CERT_ISSUER_FIELD{23};
constexpr kv::string_id CERT_NOT_AFTER_FIELD{24};
constexpr kv::u32_id CERT_COUNT_FIELD{25};
constexpr kv::string_id CERT_NOT_BEFORE_FIELD{26};
constexpr kv::string_id CERT_FINGERPRINT_FIELD{27};
constexpr kv::string_id ENTRY_NAME_FIELD = kv::NAME_FIELD;  // unique per store

constexpr uint32_t NO_CERTIFICATE = 0xFFFFFFFF;
// Largest PEM text (a certificate with its chain, or a key) the stores take.
constexpr size_t MAX_PEM_BYTES = 64 * 1024;

struct ConnectOrder {
  bool serverMode = false;
  bool verifyServer = true;
  std::string serverName;  // empty: none sent
  std::string verifyName;  // empty: the peer's IPv4 address
  uint32_t clientCertificate = NO_CERTIFICATE;
};

// The set-up request for the connected socket `tcpFd`: every field of the
// order that differs from the absent default is written, and bool 1 and 4
// always.
kv::message encode(const ConnectOrder& order, int tcpFd);
// The order a request carries (the socket travels apart, as a descriptor).
ConnectOrder decodeConnect(const kv::message& request);

}  // namespace tls
}  // namespace contract
