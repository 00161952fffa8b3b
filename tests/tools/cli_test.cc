// The command line: options and flags anywhere, usage errors found before
// the bus is touched, and help. (What runMain prints for them, and for an
// absent daemon, the black-box tests see.)
#include "tools/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/run_command.h"

namespace mqttctl {
namespace {

kv::Status prepared(const std::vector<std::string>& args) {
  Options options;
  kv::message jsonIn;
  Action action;
  return prepare(args, options, jsonIn, action);
}

TEST(CommandLine, UsageErrorsNameWhatIsWrong) {
  const struct { std::vector<std::string> args; const char* expected; } cases[] = {
      {{}, "no verb given"},
      {{"frob\x1b"}, "unknown verb \"frob\\x1b\""},
      {{"broker"}, "broker: which one? add, list, show, set, remove"},
      {{"broker", "frob"}, "unknown verb \"broker frob\""},
      {{"list"}, "list: too few arguments"},
      {{"get", "24", "x"}, "object id"},
      {{"send", "2", "nosuch"}, "neither a number nor a platform command"},
      {{"send", "2.x", "1"}, "path \"2.x\""},
      {{"add", "24", "u32:1=1", "u32:1=2"}, "u32 1 is given twice"},
      {{"add", "24", "u32:1"}, "TYPE:NUMBER=VALUE"},
      {{"--bogus", "list", "1"}, "unknown option \"--bogus\""},
      {{"list", "1", "--timeout"}, "--timeout needs a value"},
      {{"--timeout=0", "list", "1"}, "time-out"},
      {{"--json=1", "list", "1"}, "takes no value"},
      {{"--json-in", "/nonexistent/x.json", "send", "1", "1"}, "--json-in: "},
      {{"--json-in", "x.json", "publish", "b", "t"}, "--json-in goes with the bus-level verbs"},
      {{"-q", "1", "publish", "b", "t"}, "unknown option \"-q\""},
      {{"publish", "b", "t", "-5"}, "unknown option \"-5\" (put -- before arguments"},
      {{"publish", "b", "t", "-r1"}, "option \"-r1\" takes no value"},
      {{"publish", "b", "t", "--retain=yes"}, "option \"--retain\" takes no value"},
      {{"publish", "b", "t", "-q"}, "option -q needs a value"},
      {{"publish", "b", "t", "-q", "3"}, "publish: -q \"3\": QoS is 0, 1 or 2"},
      {{"publish", "b", "t", "m", "-l"}, "give the message once"},
      {{"publish", "-o", "b", "t", "--no-connect"}, "publish: -o: the daemon connects"},
      {{"publish", "b", "t", "-f", "/nonexistent/m"}, "-f /nonexistent/m: No such file"},
      {{"broker", "add", "b1", "name=b2"}, "the name comes first"},
      {{"broker", "set", "b1"}, "broker set: too few arguments"},
      {{"subscription", "remove", "x"}, "\"x\" is not a number"},
      {{"received", "list", "--topic", "a/#/b"}, "+ and # stand alone in a level"},
      {{"received", "watch", "--interval", "0.05"}, "at least 0.1 seconds"},
      {{"received", "watch", "b1", "b2"}, "too many arguments"},
      {{"received", "watch", "-C", "0"}, "-C \"0\": a count from 1"},
      {{"received", "watch", "-W0"}, "-W: time-out \"0\" is out of range"},
      {{"received", "watch", "--topic", "a", "--topic", "b+"}, "+ and # stand alone"},
      {{"subscribe", "b", "f", "--script=x", "--script-file", "y"}, "give the script once"},
      {{"subscribe", "b", "f", "--script", ""}, "the script is empty"},
      {{"ca", "add", "x", "/nonexistent/ca.pem"}, "/nonexistent/ca.pem: No such file"},
      {{"cert", "add", "x", "-", "-"}, "cannot both come from standard input"},
  };
  for (const auto& c : cases) {
    EXPECT_PRED_FORMAT2(testing::IsSubstring, c.expected, prepared(c.args).message());
  }
}

TEST(CommandLine, OptionsAndFlagsGoAnywhereUntilTheEndMarker) {
  Options options;
  ASSERT_TRUE(parseOptions({"publish", "-q1", "--json", "b1", "--timeout=2.5", "--root", "/r/",
                            "t", "--no-connect"},
                           options)
                  .isOk());
  EXPECT_TRUE(options.json);
  EXPECT_EQ(options.timeoutMillis, 2500u);
  EXPECT_EQ(options.verb->name, std::string("publish"));
  EXPECT_EQ(options.args.words, (std::vector<std::string>{"b1", "t"}));
  EXPECT_EQ(options.args.value("qos"), "1");
  EXPECT_TRUE(options.args.has("no-connect"));
  EXPECT_EQ(busPathFor(options), "/r/ram/kvbus");

  for (const std::vector<std::string>& qos :
       {std::vector<std::string>{"-q", "2"}, {"-q2"}, {"--qos", "2"}, {"--qos=2"}}) {
    Options o;
    std::vector<std::string> args{"publish", "b1", "t"};
    args.insert(args.end(), qos.begin(), qos.end());
    ASSERT_TRUE(parseOptions(args, o).isOk()) << qos[0];
    EXPECT_EQ(o.args.value("qos"), "2") << qos[0];
  }

  Options ended;
  ASSERT_TRUE(parseOptions({"publish", "b1", "t", "--", "-5", "--json"}, ended).isOk());
  EXPECT_FALSE(ended.json);
  EXPECT_EQ(ended.args.words, (std::vector<std::string>{"b1", "t", "-5", "--json"}));
}

// ---- Help ----------------------------------------------------------------------------

std::string helpFor(const std::vector<std::string>& args) {
  Options options;
  EXPECT_TRUE(parseOptions(args, options).isOk());
  EXPECT_TRUE(options.help);
  return helpText(options);
}

TEST(Help, ListsTheVerbsAndShowsExamples) {
  const std::string overall = helpFor({"--help"});
  for (const Verb& verb : verbTable()) EXPECT_NE(overall.find(verb.name), std::string::npos);
  EXPECT_EQ(overall, helpFor({"help"}));
  const std::string broker = helpFor({"broker", "--help"});
  EXPECT_NE(broker.find("e.g. mqttctl broker add home address="), std::string::npos) << broker;
  EXPECT_EQ(broker.find("subscription add"), std::string::npos) << broker;
  const std::string publish = helpFor({"publish", "-h"});
  EXPECT_NE(publish.find("-q, --qos QOS"), std::string::npos) << publish;
  EXPECT_NE(publish.find("Examples:\n  mqttctl publish home"), std::string::npos) << publish;
  // The keys of a table verb come from the word table.
  EXPECT_NE(helpFor({"help", "broker", "set"}).find("keep-alive=SECONDS"), std::string::npos);
}

}  // namespace
}  // namespace mqttctl
