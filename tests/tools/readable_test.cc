// The readable form of messages: one line per field, system fields and
// codes named, strings escaped, nested messages indented.
#include "tools/readable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/system.h"

namespace mqttctl {
namespace {

TEST(Readable, EveryTypeWithSystemNamesEscapesAndNesting) {
  kv::message inner;
  inner.set(kv::u32_id(1), 2);
  kv::message m = kv::errorMsg(kv::ERR_NO_ROUTE, "no handler");
  m.set(kv::COMMAND_FIELD, kv::CMD_GET_ALL);
  m.set(kv::NAME_FIELD, "broker1");
  m.set(kv::string_id(0xfe0011), "not the object id");
  m.set(kv::bool_id(3), false);
  m.set(kv::be32_id(4), htonl(0x7f000001));
  m.set(kv::u64_id(5), 1ull << 40);
  m.set(kv::u32_id(6), 0x10000);
  m.set(kv::string_id(7), std::string("a\0\"\n\xff", 5));
  m.set(kv::u32_array_id(8), {1, 2});
  m.set(kv::string_array_id(9), {"x", "y\\"});
  m.set(kv::message_id(5), inner);
  m.set(kv::message_array_id(6), {inner, kv::message()});
  std::ostringstream out;
  writeReadable(out, m);
  EXPECT_EQ(out.str(),
            "u32 0xff0008 (error-code) = 16646150 (0xfe0006, no-route)\n"
            "string 0xff0009 (failure) = \"no handler\"\n"
            "u32 0xff0007 (command) = 16646150 (0xfe0006, get-all)\n"
            "string 0xfe0010 (name) = \"broker1\"\n"
            "string 0xfe0011 = \"not the object id\"\n"
            "bool 3 = false\n"
            "be32 4 = 127.0.0.1\n"
            "u64 5 = 1099511627776\n"
            "u32 6 = 65536 (0x10000)\n"
            "string 7 = \"a\\0\\\"\\n\\xff\"\n"
            "u32a 8 = [1, 2]\n"
            "stringa 9 = [\"x\", \"y\\\\\"]\n"
            "msg 5 = {\n"
            "  u32 1 = 2\n"
            "}\n"
            "msga 6 = [\n"
            "  {\n"
            "    u32 1 = 2\n"
            "  }\n"
            "  {\n"
            "  }\n"
            "]\n");
}

}  // namespace
}  // namespace mqttctl
