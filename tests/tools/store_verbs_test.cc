// The certificate verbs against a fake platformd: the list's cells (dates,
// expiry, the shortened fingerprint), names resolved to ids for brokers and
// back for showing them, and the removal of a client certificate that a broker still uses.
// (Adding, listing, expiry and connecting with real certificates, and the
// ids shown without platformd, the black-box TLS and console tests see.)
#include "tools/stores.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/readable.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

kv::message entry(uint32_t id, const std::string& name) {
  kv::message row;
  row.set(kv::OBJECT_ID_FIELD, id);
  if (!name.empty()) row.set(kv::NAME_FIELD, name);
  row.set(kv::string_id(22), "CN=c" + std::to_string(id));
  row.set(kv::string_id(23), "CN=Test CA");
  row.set(contract::tls::CERT_NOT_BEFORE_FIELD, "2030-01-01 00:00:00 UTC");
  row.set(contract::tls::CERT_NOT_AFTER_FIELD, "2030-12-31 23:59:59 UTC");
  row.set(contract::tls::CERT_FINGERPRINT_FIELD, "AB:CD:EF:01:23:45:67:89:0A:BC");
  return row;
}

TEST(StoreVerbs, ListCellsMarkWhatIsNotValidNow) {
  const time_t y2030 = 1893456000;  // 2030-01-01 00:00:00 UTC
  kv::message odd = entry(3, "");
  odd.set(kv::string_id(22), "CN=\x1b[2J");
  odd.set(contract::tls::CERT_NOT_AFTER_FIELD, "not a time");
  const struct {
    kv::message row;
    time_t now;
    std::vector<std::string> cells;
  } cases[] = {
      {entry(1, "home"), y2030, {"1", "home", "CN=c1", "CN=Test CA", "2030-01-01", "2030-12-31",
                                 "AB:CD:EF:01:23:45:67:89..."}},
      {entry(1, "home"), y2030 - 1, {"1", "home", "CN=c1", "CN=Test CA", "2030-01-01",
                                     "2030-12-31 (not yet valid)", "AB:CD:EF:01:23:45:67:89..."}},
      {odd, y2030, {"3", "-", "CN=\\x1b[2J", "CN=Test CA", "2030-01-01", "not a time",
                    "AB:CD:EF:01:23:45:67:89..."}},
  };
  for (const auto& c : cases) EXPECT_EQ(storeListCells(c.row, c.now), c.cells);
}

// Client certificates 1 "router", 2 (no name); brokers "a" with
// certificate 1, "b" with 2, "c" with 9 (not in the store), "d" with none.
ScriptedRequester fakePlatform() {
  ScriptedRequester fake;
  fake.answer = [](const kv::message& request) {
    kv::message reply;
    const std::vector<uint32_t> path = request.get(kv::PATH_FIELD);
    if (request.get(kv::COMMAND_FIELD) != kv::CMD_GET_ALL) return CallResult{true, reply, ""};
    std::vector<kv::message> rows;
    if (path == std::vector<uint32_t>{12, 2}) {
      rows = {entry(1, "router"), entry(2, "")};
    }
    const std::pair<const char*, uint32_t> brokers[] = {
        {"a", 1}, {"b", 2}, {"c", 9}, {"d", NO_CERTIFICATE}};
    for (uint32_t i = 0; path == std::vector<uint32_t>{2} && i < 4; ++i) {
      rows.emplace_back();
      rows.back().set(kv::OBJECT_ID_FIELD, i + 1);
      rows.back().set(kv::NAME_FIELD, brokers[i].first);
      rows.back().set(kv::u32_id(7), brokers[i].second);
    }
    reply.set(kv::ROWS_FIELD, rows);
    return CallResult{true, reply, ""};
  };
  return fake;
}

TEST(StoreVerbs, BrokersNameTheirCertificateAndShowItsName) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string lastRequest;  // readable, or "" when only the output matters
    std::string out, err;
  } cases[] = {
      {{"broker", "set", "a", "certificate=nosuch"}, 1, "", "",
       "mqttctl: no client certificate named \"nosuch\"\n"},
      {{"broker", "list"}, 0, "",
       "id  name  address  port  ssl  certificate           auto-connect  state  last-failure\n"
       "1   a                         router\n"
       "2   b                         2\n"
       "3   c                         9 (not in the store)\n"
       "4   d                         none\n", ""},
      {{"--json", "broker", "show", "a"}, 0, "",
       "{\"id\":1,\"name\":\"a\",\"certificate\":1,\"certificate-name\":\"router\"}\n", ""},
      {{"cert", "remove", "--force", "router"}, 0,
       "u32a 0xff0001 (path) = [12, 2]\nu32 0xff0007 (command) = 16646153 (0xfe0009, remove)\n"
       "u32 0xfe0011 (object-id) = 1\n", "", ""},
  };
  for (const auto& c : cases) {
    ScriptedRequester fake = fakePlatform();
    const Ran r = runCommand(c.args, fake);
    EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
    std::ostringstream last;
    writeReadable(last, fake.requests.back());
    if (!c.lastRequest.empty()) {
      EXPECT_EQ(last.str(), c.lastRequest) << c.args[1];
    }
  }
}

}  // namespace
}  // namespace mqttctl
