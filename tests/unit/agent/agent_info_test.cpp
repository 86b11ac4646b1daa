#include "agent/agent_info.h"

#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/tick.h"
#include "tests/unit/agent/registry_file.h"
#include "tests/unit/support/test_support.h"

namespace {

class AgentInfoCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_file::write(root, {{42, 3, 1}, {7, 7, 0}});
    ASSERT_EQ(0, rdb_attach(&handle));
    ticks = registry_file::manual_ticks();
    root.log_mark();
  }
  void TearDown() override {
    rdb_detach(&handle);
    timer_set_manual(false, 0);
  }

  testing_support::test_root root;
  rdb_handle handle = nullptr;
  uint32_t ticks = 0;
};

TEST_F(AgentInfoCacheTest, KnownAgentCostsOneRegistryCallThenComesFromTheCache) {
  agent_info_cache cache(handle);
  agent_host_info* info = nullptr;
  ASSERT_TRUE(cache.get_agent_info("42", &info));
  ASSERT_NE(nullptr, info);
  EXPECT_TRUE(info->found);
  EXPECT_EQ(3, info->host_plat);
  EXPECT_EQ(1, info->host_type);
  EXPECT_EQ(1u, cache.registry_calls());

  agent_host_info* again = nullptr;
  ASSERT_TRUE(cache.get_agent_info("42", &again));
  EXPECT_EQ(info, again);
  EXPECT_EQ(1u, cache.registry_calls());
}

TEST_F(AgentInfoCacheTest, UnknownAgentIsAskedTwiceThenAnsweredAsUnregistered) {
  agent_info_cache cache(handle);
  agent_host_info stale;
  agent_host_info* info = &stale;  // the look-up must reset it
  ASSERT_TRUE(cache.get_agent_info("99", &info));
  EXPECT_EQ(nullptr, info);
  EXPECT_EQ(2u, cache.registry_calls());

  ASSERT_TRUE(cache.get_agent_info("99", &info));
  EXPECT_EQ(nullptr, info);
  EXPECT_EQ(2u, cache.registry_calls());
  EXPECT_FALSE(root.log_contains("get agent info failed"));
}

TEST_F(AgentInfoCacheTest, FailingRegistryFailsOnceThenCountsAsUnregistered) {
  agent_info_cache cache(handle);
  registry_file::exec(root, "DROP TABLE agent;");

  agent_host_info* info = nullptr;
  EXPECT_FALSE(cache.get_agent_info("42", &info));
  EXPECT_EQ(nullptr, info);
  EXPECT_EQ(2u, cache.registry_calls());
  // Both calls failed within the same 5 s: one line.
  EXPECT_EQ(1, root.log_count("get agent info failed|ret="));
  EXPECT_TRUE(root.log_contains("|agent_id=42"));

  // Remembered as unregistered until the next clear: no further registry call.
  EXPECT_TRUE(cache.get_agent_info("42", &info));
  EXPECT_EQ(nullptr, info);
  EXPECT_EQ(2u, cache.registry_calls());

  // The message limit is shared by every agent.
  timer_set_manual(true, ticks + 5000);
  EXPECT_FALSE(cache.get_agent_info("43", &info));
  EXPECT_EQ(1, root.log_count("get agent info failed|ret="));
  timer_set_manual(true, ticks + 5001);
  EXPECT_FALSE(cache.get_agent_info("44", &info));
  EXPECT_EQ(2, root.log_count("get agent info failed|ret="));
  EXPECT_TRUE(root.log_contains("|agent_id=44"));
}

TEST_F(AgentInfoCacheTest, ClearForgetsEveryAnswer) {
  agent_info_cache cache(handle);
  agent_host_info* info = nullptr;
  ASSERT_TRUE(cache.get_agent_info("42", &info));
  ASSERT_TRUE(cache.get_agent_info("99", &info));
  EXPECT_EQ(2u, cache.size());

  // An agent registered meanwhile stays unregistered for the cache until it is cleared.
  registry_file::exec(root, "INSERT INTO agent VALUES(99, 1, 0);");
  ASSERT_TRUE(cache.get_agent_info("99", &info));
  EXPECT_EQ(nullptr, info);
  const uint64_t calls = cache.registry_calls();

  cache.clear();
  EXPECT_EQ(0u, cache.size());
  ASSERT_TRUE(cache.get_agent_info("42", &info));
  ASSERT_NE(nullptr, info);
  EXPECT_EQ(3, info->host_plat);
  ASSERT_TRUE(cache.get_agent_info("99", &info));
  ASSERT_NE(nullptr, info);
  EXPECT_EQ(1, info->host_plat);
  EXPECT_EQ(calls + 2, cache.registry_calls());
}

TEST_F(AgentInfoCacheTest, IdTextIsTheKeyAndItsLeadingNumberTheAgent) {
  struct row {
    const char* id;
    bool found;  // all found ones are agent 42
  };
  const row rows[] = {
      {"42", true},         {"042", true},  // another entry, same agent
      {"42abc", true},                      // leading digits
      {"4294967338", true},                 // 2^32 + 42: the low 32 bits
      {"abc", false},                       // agent 0
  };
  agent_info_cache cache(handle);
  for (const row& r : rows) {
    SCOPED_TRACE(r.id);
    agent_host_info* info = nullptr;
    ASSERT_TRUE(cache.get_agent_info(r.id, &info));
    ASSERT_EQ(r.found, info != nullptr);
    if (r.found) {
      EXPECT_EQ(3, info->host_plat);
    }
  }
  EXPECT_EQ(5u, cache.size());
}

}  // namespace
