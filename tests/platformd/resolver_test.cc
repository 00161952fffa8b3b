// Name resolution through the bus: local names, numeric addresses, names
// that do not exist, malformed names, many at once and a full queue.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platformd/resolver.h"
#include "loop_fixture.h"

namespace platformd {
namespace {

kv::message resolveRequest(const std::string& name) {
  kv::message m = request(contract::resolver::PATH, contract::resolver::RESOLVE_COMMAND);
  m.set(contract::resolver::HOST_NAME_FIELD, name);
  return m;
}

class ResolverTest : public ::testing::Test, public LoopFixture {
 protected:
  void start(const ResolverOptions& options) {
    resolver = std::make_unique<Resolver>(loop->runner(), options);
    loop->addHandler(contract::resolver::PATH, resolver.get());
  }
  std::unique_ptr<Resolver> resolver;
};

// Asked all at once, each with its own answer: the first IPv4 address, or
// the resolver's text.
TEST_F(ResolverTest, ManyAtOnceEachGetTheirOwnAnswer) {
  start(ResolverOptions{4, 200});
  struct Case {
    std::string name, address, text;  // address "" for a failure
  };
  std::vector<Case> cases = {
      {"localhost", "127.0.0.1", ""},
      {"192.0.2.7", "192.0.2.7", ""},
      {"nothing.invalid", "", "Name or service not known"},
      {"a name", "", "not a host name"},
      {"", "", "not a host name"},
  };
  for (int i = 0; i < 100; ++i) {
    cases.push_back(i % 2 ? Case{"localhost", "127.0.0.1", ""}
                          : Case{"10.0.0." + std::to_string(i), "10.0.0." + std::to_string(i), ""});
  }
  std::vector<kv::message> got(cases.size());
  size_t answered = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    loop->postMessage(resolveRequest(cases[i].name), [&got, &answered, i](const kv::message& r) {
      got[i] = r;
      ++answered;
    }, 100000);
  }
  ASSERT_TRUE(turnUntil([&]() { return answered == cases.size(); }));
  for (size_t i = 0; i < cases.size(); ++i) {
    in_addr a{};
    a.s_addr = got[i].get(contract::resolver::ADDRESS_FIELD);
    EXPECT_EQ(kv::getError(got[i]), cases[i].text) << cases[i].name;
    EXPECT_EQ(got[i].has(contract::resolver::ADDRESS_FIELD) ? inet_ntoa(a) : "", cases[i].address) << cases[i].name;
  }
}

// No thread to run them and room for two to wait: of four requests, two
// are refused at once (the two that wait are never answered).
TEST_F(ResolverTest, AFullQueueIsRefusedAtOnce) {
  start(ResolverOptions{0, 2});
  for (int i = 0; i < 4; ++i) post(resolveRequest("localhost"));
  settle(10);
  ASSERT_EQ(replies.size(), 2u);
  for (const kv::message& r : replies) {
    EXPECT_EQ(kv::getErrorCode(r), kv::ERR_BUSY);
    EXPECT_EQ(kv::getError(r), "too many names being resolved");
  }
}

}  // namespace
}  // namespace platformd
