// The platform's certificate stores as the console reaches them: the trust
// store [12, 1] (the "ca" verbs) and the client-certificate store [12, 2]
// (the "cert" verbs), served by platformd's TLS service. Entries are named
// by their name, or by their id (a number: names never are one).
//
// The row fields are the store's (contracts/tls.h); times are written
// "YYYY-MM-DD HH:MM:SS UTC".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "contracts/tls.h"
#include "platform/message.h"
#include "tools/rows.h"
#include "tools/verbs.h"
#include "tools/words.h"

namespace mqttctl {

struct CertificateStore {
  const char* noun;  // "ca", "cert"
  const char* what;  // "trusted certificate", "client certificate"
  std::vector<uint32_t> path;
  bool withKey;      // entries hold a private key
};
const CertificateStore& trustStore();
const CertificateStore& clientStore();

// The words of a store row, in the order `show` prints them.
const TableWords& storeWords();

// The row of `store` that `ref` names: a number is an id, anything else a
// name. Status 1 and "no trusted certificate named ..." when there is none.
int findStoreEntry(Session& session, const CertificateStore& store, const std::string& ref,
                   kv::message& row);

// The id -> name of every client certificate, for showing broker rows (an
// entry without a name maps to ""). False, printing nothing, when the store
// cannot be read (platformd not running): the caller shows ids.
bool readCertificateNames(Session& session, BrokerNames& names);

// A broker's certificate given by name (words.h: string field 7 until it
// is resolved) becomes the entry's id in u32 field 7. Status 1 when the
// store has no such entry or cannot be read.
int resolveCertificateName(Session& session, kv::message& fields);

// The cells of `ca list` and `cert list` for `row` at time `now`: id,
// name, subject, issuer, the dates of validity (day only; "(expired)" or
// "(not yet valid)" after them when `now` is outside), the fingerprint's
// first 8 bytes.
std::vector<std::string> storeListCells(const kv::message& row, time_t now);

}  // namespace mqttctl
