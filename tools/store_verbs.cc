// The certificate-store verbs: "ca" for the trust store, "cert" for the
// client certificates, each add, list, show, rename and remove. They are
// platformd's store commands underneath (stores.h).
#include <cstdio>
#include <sstream>
#include <utility>

#include "platform/system.h"
#include "tools/input.h"
#include "tools/show.h"
#include "tools/stores.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

namespace tls = contract::tls;
constexpr kv::u32_id BROKER_CERTIFICATE_FIELD = contract::brokers::CERTIFICATE_FIELD;
constexpr size_t LISTED_FINGERPRINT_CHARS = 8 * 3 - 1;  // "AB:CD:...", 8 bytes

kv::message storeRequest(const CertificateStore& store, uint32_t command) {
  kv::message request;
  request.set(kv::PATH_FIELD, store.path);
  request.set(kv::COMMAND_FIELD, command);
  return request;
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "2031-01-02 03:04:05 UTC" as seconds since 1970; false when it is not
// such a time.
bool parseUtc(const std::string& text, time_t& out) {
  struct tm parts {};
  char zone[4] = "";
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %3s", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, zone) != 7 ||
      std::string(zone) != "UTC") {
    return false;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  out = timegm(&parts);
  return true;
}

// ---- prepare() of each verb, for either store -------------------------------------

kv::Status prepareAdd(const CertificateStore& store, const VerbArgs& args, Action& action) {
  const size_t files = store.withKey ? 2 : 1;
  kv::Status st = expectWords(args, 1 + files, 1 + files);
  if (st.isOk() && files == 2 && args.words[1] == "-" && args.words[2] == "-") {
    st = kv::Status::malformed("the certificate and the key cannot both come from standard input");
  }
  std::string pem[2];
  for (size_t i = 0; st.isOk() && i < files; ++i) {
    st = readInputFile(args.words[1 + i], tls::MAX_PEM_BYTES, args.words[1 + i], pem[i]);
  }
  if (!st.isOk()) return st;
  kv::message request = storeRequest(store, kv::CMD_ADD_OBJ);
  request.set(kv::NAME_FIELD, args.words[0]);
  request.set(tls::CERT_PEM_FIELD, pem[0]);
  if (store.withKey) request.set(tls::KEY_PEM_FIELD, pem[1]);
  action = [request](Session& s) { return sendAdd(s, request); };
  return st;
}

kv::Status prepareList(const CertificateStore& store, const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 0);
  action = [&store](Session& s) {
    std::vector<kv::message> rows;
    if (int status = readRows(s, storeRequest(store, kv::CMD_GET_ALL), rows)) return status;
    if (s.output.json) {
      s.output.out << rowsJson(storeWords(), rows, {}) << "\n";
      return EXIT_SUCCESS_REPLY;
    }
    std::vector<std::vector<std::string>> cells;
    for (const kv::message& row : rows) cells.push_back(storeListCells(row, time(nullptr)));
    printColumns(s.output.out, {"id", "name", "subject", "issuer", "valid-from", "valid-until",
                                "sha-256"}, cells);
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

kv::Status prepareShow(const CertificateStore& store, const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  action = [&store, ref](Session& s) {
    kv::message row;
    if (int status = findStoreEntry(s, store, ref, row)) return status;
    if (s.output.json) {
      s.output.out << rowJson(storeWords(), row, {}) << "\n";
    } else {
      printBlock(s.output.out, storeWords(), row, {});
    }
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

kv::Status prepareRename(const CertificateStore& store, const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 2, 2);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0], name = args.words[1];
  action = [&store, ref, name](Session& s) {
    kv::message row, request = storeRequest(store, kv::CMD_SET_OBJ);
    if (int status = findStoreEntry(s, store, ref, row)) return status;
    request.set(kv::OBJECT_ID_FIELD, rowId(row));
    request.set(kv::NAME_FIELD, name);
    return sendChange(s, request);
  };
  return st;
}

// The brokers whose certificate is `id`, by name, for the refusal text.
int brokersUsing(Session& s, uint32_t id, std::string& names) {
  std::vector<kv::message> brokers;
  if (int status = readTable(s, contract::brokers::HANDLER, brokers)) return status;
  for (const kv::message& broker : brokers) {
    if (broker.get(BROKER_CERTIFICATE_FIELD, NO_CERTIFICATE) != id) continue;
    names += (names.empty() ? "" : ", ") + quoteArg(broker.get(kv::NAME_FIELD));
  }
  return EXIT_SUCCESS_REPLY;
}

// A client certificate that a broker still uses is kept unless --force:
// the broker's TLS connections would fail from then on.
kv::Status prepareRemove(const CertificateStore& store, const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  const bool checkBrokers = store.withKey && !args.has("force");
  action = [&store, ref, checkBrokers](Session& s) {
    kv::message row, request = storeRequest(store, kv::CMD_REMOVE_OBJ);
    std::string users;
    if (int status = findStoreEntry(s, store, ref, row)) return status;
    if (checkBrokers) {
      if (int status = brokersUsing(s, rowId(row), users)) return status;
    }
    if (!users.empty()) {
      return fail(s.output, EXIT_ERROR_REPLY,
                  "broker " + users + " uses this certificate: point it at another first "
                  "(broker set BROKER certificate=NAME|none), or give --force");
    }
    request.set(kv::OBJECT_ID_FIELD, rowId(row));
    return sendChange(s, request);
  };
  return st;
}

// A verb's prepare() for one store: the verb tables take plain functions.
using StorePrepare = kv::Status (*)(const CertificateStore&, const VerbArgs&, Action&);
template <const CertificateStore& (*Store)(), StorePrepare Prepare>
kv::Status forStore(const VerbArgs& args, Action& action) {
  return Prepare(Store(), args, action);
}

constexpr const char* STORES = "Certificates for TLS (served by platformd)";

const char* const NAME_RULES =
    "NAME: 1 to 64 letters, digits, '.', '_' or '-', starting with a letter or\n"
    "digit, not a number (a number names an entry by its id) and not \"none\".";

std::string listDetails(const char* what) {
  return std::string("One line per ") + what +
         ": id, name ('-' for an entry from before names:\n"
         "give it one with rename), subject, issuer, the days of validity (marked\n"
         "(expired) or (not yet valid)) and the first 8 bytes of the SHA-256\n"
         "fingerprint; 'show' prints it whole. --json prints every field.";
}

}  // namespace

const CertificateStore& trustStore() {
  static const CertificateStore store{"ca", "trusted certificate", tls::TRUSTED_STORE_PATH, false};
  return store;
}

const CertificateStore& clientStore() {
  static const CertificateStore store{"cert", "client certificate", tls::CLIENT_STORE_PATH, true};
  return store;
}

const TableWords& storeWords() {
  static const TableWords table{
      "certificate", tls::PATH[0],
      {
          key("id", kv::OBJECT_ID_FIELD, ValueKind::Count, false),
          key("name", tls::ENTRY_NAME_FIELD, ValueKind::Text, false),
          key("subject", tls::CERT_SUBJECT_FIELD, ValueKind::Text, false),
          key("issuer", tls::CERT_ISSUER_FIELD, ValueKind::Text, false),
          key("valid-from", tls::CERT_NOT_BEFORE_FIELD, ValueKind::Text, false),
          key("valid-until", tls::CERT_NOT_AFTER_FIELD, ValueKind::Text, false),
          key("sha-256", tls::CERT_FINGERPRINT_FIELD, ValueKind::Text, false),
          key("certificates", tls::CERT_COUNT_FIELD, ValueKind::Count, false),
      }};
  return table;
}

int findStoreEntry(Session& s, const CertificateStore& store, const std::string& ref,
                   kv::message& row) {
  std::vector<kv::message> rows;
  if (int status = readRows(s, storeRequest(store, kv::CMD_GET_ALL), rows)) return status;
  const bool byId = isDecimal(ref);
  for (const kv::message& r : rows) {
    if (byId ? std::to_string(rowId(r)) == ref : r.get(kv::NAME_FIELD) == ref) {
      row = r;
      return EXIT_SUCCESS_REPLY;
    }
  }
  return fail(s.output, EXIT_ERROR_REPLY,
              std::string("no ") + store.what + " named " + quoteArg(ref));
}

bool readCertificateNames(Session& s, BrokerNames& names) {
  std::ostringstream discarded;
  Session quiet{s.bus, Output{discarded, discarded, false, s.output.timeoutMillis}, s.inputFd};
  std::vector<kv::message> rows;
  if (readRows(quiet, storeRequest(clientStore(), kv::CMD_GET_ALL), rows)) return false;
  for (const kv::message& row : rows) names[rowId(row)] = row.get(kv::NAME_FIELD);
  return true;
}

int resolveCertificateName(Session& s, kv::message& fields) {
  const kv::string_id pending(BROKER_CERTIFICATE_FIELD.num);
  if (!fields.has(pending)) return EXIT_SUCCESS_REPLY;
  kv::message entry;
  if (int status = findStoreEntry(s, clientStore(), fields.get(pending), entry)) return status;
  fields.erase(pending);
  fields.set(BROKER_CERTIFICATE_FIELD, rowId(entry));
  return EXIT_SUCCESS_REPLY;
}

std::vector<std::string> storeListCells(const kv::message& row, time_t now) {
  const std::string from = row.get(tls::CERT_NOT_BEFORE_FIELD), until = row.get(tls::CERT_NOT_AFTER_FIELD);
  time_t start = 0, end = 0;
  std::string note;
  if (parseUtc(from, start) && now < start) note = " (not yet valid)";
  if (parseUtc(until, end) && now > end) note = " (expired)";
  std::string fingerprint = row.get(tls::CERT_FINGERPRINT_FIELD);
  if (fingerprint.size() > LISTED_FINGERPRINT_CHARS) {
    fingerprint = fingerprint.substr(0, LISTED_FINGERPRINT_CHARS) + "...";
  }
  const std::string name = row.get(kv::NAME_FIELD);
  return {std::to_string(rowId(row)),
          name.empty() ? "-" : escapeBytes(name, false),
          escapeBytes(row.get(kv::string_id(22)), false),
          escapeBytes(row.get(kv::string_id(23)), false),
          escapeBytes(from.substr(0, 10), false),
          escapeBytes(until.substr(0, 10), false) + note,
          escapeBytes(fingerprint, false)};
}

const std::vector<Verb>& storeVerbs() {
  static const std::vector<Verb> table = {
      {"ca add", "NAME FILE", "trust the certificates in a PEM file (- for standard input)",
       STORES, {},
       std::string("Brokers' certificates are verified against every trusted certificate:\n"
                   "a CA, an intermediate or a broker's own certificate. While none is\n"
                   "trusted, the system's CA bundle is used. ") + NAME_RULES,
       "mqttctl ca add home-ca /etc/ssl/home-ca.pem", forStore<trustStore, prepareAdd>},
      {"ca list", "", "the trusted certificates", STORES, {}, listDetails("entry"),
       "mqttctl ca list", forStore<trustStore, prepareList>},
      {"ca show", "NAME", "one trusted certificate in full", STORES, {},
       "NAME is an entry's name, or its id.", "mqttctl ca show home-ca", forStore<trustStore, prepareShow>},
      {"ca rename", "NAME NEW-NAME", "give a trusted certificate another name", STORES, {},
       NAME_RULES, "mqttctl ca rename 1 home-ca", forStore<trustStore, prepareRename>},
      {"ca remove", "NAME", "stop trusting a certificate", STORES, {}, "",
       "mqttctl ca remove home-ca", forStore<trustStore, prepareRemove>},
      {"cert add", "NAME CERT-FILE KEY-FILE", "add a client certificate and its private key",
       STORES, {},
       std::string("CERT-FILE: the certificate, then its chain; KEY-FILE: the private key,\n"
                   "unencrypted, matching the certificate (- for standard input, for one of\n"
                   "them). The key is never shown again. A broker presents it with\n"
                   "'mqttctl broker set BROKER certificate=NAME'. ") + NAME_RULES,
       "mqttctl cert add router client.pem client.key", forStore<clientStore, prepareAdd>},
      {"cert list", "", "the client certificates", STORES, {}, listDetails("entry"),
       "mqttctl cert list", forStore<clientStore, prepareList>},
      {"cert show", "NAME", "one client certificate in full (never its key)", STORES, {},
       "NAME is an entry's name, or its id.", "mqttctl cert show router",
       forStore<clientStore, prepareShow>},
      {"cert rename", "NAME NEW-NAME", "give a client certificate another name", STORES, {},
       std::string("Brokers keep using it: they hold its id. ") + NAME_RULES,
       "mqttctl cert rename 1 router", forStore<clientStore, prepareRename>},
      {"cert remove", "NAME", "remove a client certificate and its key", STORES,
       {{0, "force", nullptr, "even when a broker still uses it"}},
       "A certificate that a broker uses is kept unless --force is given.",
       "mqttctl cert remove router", forStore<clientStore, prepareRemove>},
  };
  return table;
}

}  // namespace mqttctl
