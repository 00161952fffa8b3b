// A temporary root (KV_ROOT) and a standalone loop on a manual clock, with
// requests sent through the bus API as a requester would send them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/amap.h"
#include "platform/bus.h"
#include "platform/looper.h"
#include "platform/system.h"

// The message form of `row`: what its writeTo writes.
inline kv::message formOf(const Object& row) {
  kv::message form;
  row.writeTo(form);
  return form;
}

class TableFixture : public ::testing::Test {
 protected:
  // The loop's random source starts from this seed in every test, so that
  // the random delays of automatic connection are the same on every run.
  static constexpr uint64_t RANDOM_SEED = 20;

  void SetUp() override {
    char tmpl[] = "/tmp/mqtt-tables-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    setenv("KV_ROOT", root_.c_str(), 1);
    kv::LooperOptions options;
    options.clock = &clock_;
    options.randomSeed = RANDOM_SEED;
    options.log = [this](int, const std::string& text) { platformLog_.push_back(text); };
    loop_ = std::make_unique<kv::Looper>(options);
  }
  void TearDown() override {
    served_.clear();
    loop_.reset();
    unsetenv("KV_ROOT");
    std::filesystem::remove_all(root_);
  }

  // A T on `storePath`, loaded from the store and served at handler [path].
  // The fixture owns it and destroys it first, so its last save lands in
  // the temporary root.
  template <class T>
  T& serve(const std::string& storePath, uint32_t path) {
    auto table = std::make_unique<T>(storePath, 1, -2);
    EXPECT_TRUE(table->init().isOk());
    EXPECT_TRUE(loop_->addHandler(path, table.get()));
    served_.push_back(std::move(table));
    return static_cast<T&>(*served_.back());
  }

  // Sends `command` with `fields` to the handler at [path], as a sender
  // with `rights`, and turns the loop until the reply arrives.
  kv::message call(uint32_t path, uint32_t command, kv::message fields = kv::message(),
                   uint32_t rights = kv::RIGHTS_ALL) {
    fields.set(kv::PATH_FIELD, std::vector<uint32_t>{path});
    fields.set(kv::COMMAND_FIELD, command);
    bool done = false;
    kv::message reply;
    loop_->bus().post(fields, [&](const kv::message& r) {
      reply = r;
      done = true;
    }, 1000, rights);
    for (int turns = 0; !done && turns < 10; ++turns) loop_->turn();
    EXPECT_TRUE(done) << "no reply";
    return reply;
  }
  kv::message addRow(uint32_t path, const kv::message& fields) {
    return call(path, kv::CMD_ADD_OBJ, fields);
  }
  kv::message setRow(uint32_t path, uint32_t id, kv::message fields) {
    fields.set(kv::OBJECT_ID_FIELD, id);
    return call(path, kv::CMD_SET_OBJ, fields);
  }
  kv::message removeRow(uint32_t path, uint32_t id) {
    kv::message fields;
    fields.set(kv::OBJECT_ID_FIELD, id);
    return call(path, kv::CMD_REMOVE_OBJ, fields);
  }
  kv::message getRow(uint32_t path, uint32_t id) {
    kv::message fields;
    fields.set(kv::OBJECT_ID_FIELD, id);
    return call(path, kv::CMD_GET_OBJ, fields);
  }
  // The object id of a successful add reply.
  static uint32_t addedId(const kv::message& reply) {
    EXPECT_FALSE(kv::isError(reply)) << kv::getError(reply);
    return reply.get(kv::OBJECT_ID_FIELD, 0);
  }
  std::string storeFile(const std::string& storePath) const { return root_ + storePath + "/rows"; }

  kv::ManualClock clock_;
  std::string root_;
  std::unique_ptr<kv::Looper> loop_;
  std::vector<std::string> platformLog_;
  std::vector<std::unique_ptr<AMap>> served_;
};
