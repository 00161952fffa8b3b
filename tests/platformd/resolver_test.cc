// Name resolution through the bus: local names, numeric addresses, names
// that do not exist, malformed names, many at once and a full queue.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platformd/resolver.h"
#include "loop_fixture.h"

namespace platformd {
namespace {

kv::message resolveRequest(const std::string& name) {
  kv::message m = request(RESOLVER_PATH, RESOLVE_COMMAND);
  m.set(RESOLVE_NAME_FIELD, name);
  return m;
}

std::string addressOf(const kv::message& reply) {
  in_addr a{};
  a.s_addr = reply.get(RESOLVE_ADDRESS_FIELD);
  return inet_ntoa(a);
}

class ResolverTest : public ::testing::Test, public LoopFixture {
 protected:
  void start(const ResolverOptions& options) {
    resolver = std::make_unique<Resolver>(loop->runner(), options);
    loop->addHandler(RESOLVER_PATH, resolver.get());
  }
  std::unique_ptr<Resolver> resolver;
};

TEST_F(ResolverTest, AnswersWithTheFirstIPv4AddressOrTheResolversText) {
  start(ResolverOptions());
  const struct {
    const char* name;
    const char* address;  // "" for a failure
    const char* text;
  } cases[] = {
      {"localhost", "127.0.0.1", ""},
      {"192.0.2.7", "192.0.2.7", ""},
      {"nothing.invalid", "", "Name or service not known"},
      {"a name", "", "not a host name"},
      {"", "", "not a host name"},
  };
  std::vector<kv::message> got(std::size(cases));
  size_t answered = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    loop->postMessage(resolveRequest(cases[i].name), [&got, &answered, i](const kv::message& r) {
      got[i] = r;
      ++answered;
    }, 100000);
  }
  ASSERT_TRUE(turnUntil([&]() { return answered == std::size(cases); }));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(kv::getError(got[i]), cases[i].text) << cases[i].name;
    EXPECT_EQ(got[i].has(RESOLVE_ADDRESS_FIELD), *cases[i].address != 0) << cases[i].name;
    if (*cases[i].address) {
      EXPECT_EQ(addressOf(got[i]), cases[i].address) << cases[i].name;
    }
  }
}

TEST_F(ResolverTest, ManyAtOnceEachGetTheirOwnAnswer) {
  start(ResolverOptions{4, 200});
  size_t right = 0, answered = 0;
  for (int i = 0; i < 100; ++i) {
    std::string expected = i % 2 ? "127.0.0.1" : "10.0.0." + std::to_string(i);
    loop->postMessage(resolveRequest(i % 2 ? "localhost" : expected),
                      [&right, &answered, expected](const kv::message& r) {
                        ++answered;
                        right += addressOf(r) == expected;
                      }, 100000);
  }
  ASSERT_TRUE(turnUntil([&answered]() { return answered == 100; }));
  EXPECT_EQ(right, 100u);
}

// One thread and room for one more: of three requests made together, at
// least one finds the queue full and is refused at once.
TEST_F(ResolverTest, AFullQueueIsRefusedAtOnce) {
  start(ResolverOptions{1, 1});
  for (int i = 0; i < 3; ++i) post(resolveRequest("localhost"));
  ASSERT_TRUE(awaitReplies(3));
  size_t busy = 0;
  for (const kv::message& r : replies) busy += kv::getErrorCode(r) == kv::ERR_BUSY;
  EXPECT_GE(busy, 1u);
  EXPECT_LE(busy, 2u);
}

}  // namespace
}  // namespace platformd
