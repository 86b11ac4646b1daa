#include "agent_level/refresh.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent_info.h"
#include "agent_level/agent_risk.h"
#include "compare/cmp_pass.h"
#include "compare/pending.h"
#include "config/config.h"
#include "config/progress.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "tests/unit/agent/registry_file.h"
#include "tests/unit/support/test_support.h"

namespace {

using testing_support::count_docs;
using testing_support::insert_json;

// `n` small documents of one agent in a collection.
void fill(const char* collection, int n) {
  for (int i = 0; i < n; ++i) {
    insert_json(collection, R"({"_id":"d)" + std::to_string(i) + R"(","agent_id":"42"})");
  }
}

std::string virus(int i, int64_t time) {
  const std::string t = std::to_string(time);
  return R"({"_id":"v)" + std::to_string(100 + i) + R"(","agent_id":"42","time":)" + t +
         R"(,"found_time":)" + t + R"(,"state":0,"risk_level":2,"virus_type":1})";
}

class RefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::connect_test_db();
    g_first_insert = true;
    g_max_calc_count = 0;
    g_agent_risk_map.clear();
    g_last_keys.clear();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_pending_in_db = 0;
    g_update_settings = update_settings{};
    root.log_mark();
  }

  testing_support::test_root root;
};

TEST_F(RefreshTest, WaitIsTheLargestCountedTableOverTheQueryCount) {
  struct row {
    const char* name;
    std::vector<std::pair<const char*, int>> tables;
    uint64_t expected;
  };
  const row rows[] = {
      {"all empty", {}, 0},
      {"12 documents, 5 per cycle", {{"virus_file_log", 3}, {"webshell_log", 12}}, 2},
      {"an exact multiple", {{"incident_msg", 10}}, 2},
      {"less than one batch", {{"domain_log", 4}}, 0},
      {"leak_info_log is not counted",
       {{"leak_info_log", 20}, {"anti_bfa_log", 6}, {"nofile_attack_log", 1}},
       1},
  };
  g_update_settings.update_agent_level_query_count = 5;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    for (const auto& [collection, n] : r.tables) fill(collection, n);
    g_max_calc_count = 99;
    ASSERT_TRUE(get_max_calc_count());
    EXPECT_EQ(r.expected, g_max_calc_count);
  }
  EXPECT_TRUE(root.log_contains("col : webshell_log count is 12"));
  EXPECT_TRUE(root.log_contains("max_count is 12,max_calc_count is 2"));
}

TEST_F(RefreshTest, FailedCountFailsStartUp) {
  db_conn.close();
  EXPECT_FALSE(get_max_calc_count());
  EXPECT_TRUE(root.log_contains("get_max_col_count virus_file_log failed"));
  EXPECT_EQ(0u, g_max_calc_count);
}

TEST_F(RefreshTest, RebuildWaitsUntilThePassesHaveReadTheLargestTable) {
  registry_file::write(root, {{42, 3, 1}});
  ASSERT_EQ(0, rdb_attach(&g_rdb_handle));
  g_agent_info_cache = new agent_info_cache(g_rdb_handle);

  g_update_settings.update_agent_level_query_count = 5;
  for (int i = 0; i < 12; ++i) insert_json("virus_file_log", virus(i, 100 + i));
  insert_json("agent_level", R"({"_id":"stale","risk_high":7})");
  ASSERT_TRUE(get_max_calc_count());
  ASSERT_EQ(2u, g_max_calc_count);

  auto cycle = [] {
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    update_agent_level();
  };
  for (uint64_t left : {1u, 0u}) {
    cycle();
    SCOPED_TRACE(left);
    EXPECT_TRUE(g_first_insert);
    EXPECT_EQ(left, g_max_calc_count);
    EXPECT_TRUE(root.log_contains("g_max_calc_count is " + std::to_string(left)));
    // Nothing is read or written while waiting.
    EXPECT_EQ(1, count_docs("agent_level"));
    EXPECT_EQ(1u, g_agent_risk_map.size());
  }

  // Cycle 3 has read all 12 documents: the old collection is replaced.
  cycle();
  EXPECT_FALSE(g_first_insert);
  EXPECT_TRUE(root.log_contains("update history date finsih"));
  EXPECT_EQ(0, count_docs("agent_level", R"({"_id":"stale"})"));
  EXPECT_EQ(1, count_docs("agent_level", R"({"_id":"42","risk_high":12,"total_events":12})"));
  EXPECT_TRUE(g_agent_risk_map.empty());

  // From now on the plain write pass adds to the stored document.
  insert_json("virus_file_log", virus(12, 200));
  cycle();
  EXPECT_EQ(1, count_docs("agent_level", R"({"_id":"42","risk_high":13,"total_events":13})"));

  delete g_agent_info_cache;
  g_agent_info_cache = nullptr;
  rdb_detach(&g_rdb_handle);
}

TEST_F(RefreshTest, FailedDeleteKeepsTheOldDocumentsAndRetriesNextCycle) {
  insert_json("agent_level", R"({"_id":"stale","risk_high":7})");
  agent_risk_info change;
  change.high_risk_c = 1;
  change.total_events = 1;
  change.last_risk_time = 100;
  g_agent_risk_map["42"] = change;
  g_update_settings.show_time_use = 1;

  db_conn.close();
  update_agent_level();
  EXPECT_TRUE(root.log_contains("delete agent_level failed,use old data"));
  EXPECT_TRUE(g_first_insert);
  EXPECT_EQ(1u, g_agent_risk_map.size());
  EXPECT_FALSE(root.log_contains("first insert start"));

  testing_support::reconnect_test_server();
  EXPECT_EQ(1, count_docs("agent_level", R"({"_id":"stale"})"));
  update_agent_level();
  EXPECT_FALSE(g_first_insert);
  EXPECT_EQ(0, count_docs("agent_level", R"({"_id":"stale"})"));
  EXPECT_EQ(1, count_docs("agent_level", R"({"_id":"42","risk_high":1,"risk_level":2})"));
  EXPECT_TRUE(root.log_contains(">>>>>>first insert start table: [agent_level] millisecond is : "));
  EXPECT_TRUE(
      root.log_contains(">>>>>>first insert finish table: [agent_level] millisecond is : "));
}

// `n` virus events, one per agent 100000 + i, stamped from `first_time` on, in one insert.
void insert_events(int n, int64_t first_time, const std::string& prefix) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", "virus_file_log");
  mongoc_bulk_operation_t* bulk = mongoc_collection_create_bulk_operation_with_opts(coll, nullptr);
  for (int i = 0; i < n; ++i) {
    const std::string t = std::to_string(first_time + i);
    testing_support::bson_ptr event = testing_support::json(
        R"({"_id":")" + prefix + std::to_string(i) + R"(","agent_id":")" +
        std::to_string(100000 + i) + R"(","time":)" + t + R"(,"found_time":)" + t +
        R"(,"state":0,"risk_level":2,"virus_type":1})");
    mongoc_bulk_operation_insert(bulk, event.get());
  }
  bson_error_t error;
  if (!mongoc_bulk_operation_execute(bulk, nullptr, &error)) ADD_FAILURE() << error.message;
  mongoc_bulk_operation_destroy(bulk);
  mongoc_collection_destroy(coll);
}

// The comparison passes of one update cycle, in their order, with the pending test before
// them.
void run_passes() {
  g_pending_in_db = pending_collection_empty() ? 0 : 1;
  for (int32_t type : {1, 4, 2, 3, 8, 9, 10}) EXPECT_TRUE(cmp_and_update_agent_inc(type)) << type;
}

// The commands of a steady cycle, by phase, as the client counts them: the passes, then the
// write pass, whose cost grows with its batches (a read, six aggregations, the writes) and
// not with the agents. Updates go out 50 to a command, so a batch of n agents with
// documents costs 1 + 6 + ceil(n / 50) commands; new agents one insert.
TEST_F(RefreshTest, SteadyCycleCommandsByPhase) {
  const struct {
    const char* name;
    int agents;
    bool stored;  // the agents already have documents: their writes are updates
    int write_pass_bound;
    int cycle_bound;  // passes and write pass together
  } rows[] = {
      {"360 agents with documents", 360, true, 1 + 6 + 8 + 1, 72},
      {"10000 new agents", 10000, false, 40, 2000},
  };
  registry_file::exec(root,
                      "DROP TABLE IF EXISTS agent; CREATE TABLE agent(id INTEGER PRIMARY KEY,"
                      " host_plat INTEGER NOT NULL, host_type INTEGER NOT NULL);"
                      "WITH RECURSIVE n(i) AS (SELECT 100000 UNION ALL SELECT i + 1 FROM n"
                      " WHERE i < 109999) INSERT INTO agent SELECT i, 1, 0 FROM n;");
  ASSERT_EQ(0, rdb_attach(&g_rdb_handle));
  g_agent_info_cache = new agent_info_cache(g_rdb_handle);
  const int64_t base = time(nullptr) - 100000;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto started = std::chrono::steady_clock::now();
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_agent_risk_map.clear();
    g_first_insert = r.stored;
    g_max_calc_count = 0;
    if (r.stored) {
      // A first cycle rebuilds the documents of every agent.
      insert_events(r.agents, base, "old");
      run_passes();
      update_agent_level();
      ASSERT_FALSE(g_first_insert);
      ASSERT_EQ(r.agents, count_docs("agent_level"));
    }
    insert_events(r.agents, base + 20000, "new");

    testing_support::command_counter passes;
    run_passes();
    const int pass_commands = passes.data_commands();
    const std::string pass_summary = passes.summary();
    passes.reset();
    update_agent_level();
    const int write_commands = passes.data_commands();
    EXPECT_TRUE(g_agent_risk_map.empty());
    EXPECT_EQ(r.agents,
              count_docs("agent_level", r.stored ? R"({"risk_high":2})" : R"({"risk_high":1})"));
    EXPECT_LE(write_commands, r.write_pass_bound) << passes.summary();
    EXPECT_LE(pass_commands + write_commands, r.cycle_bound) << pass_summary;
    std::cout << r.name << ": passes " << pass_commands << " (" << pass_summary << "), write pass "
              << write_commands << " (" << passes.summary() << "), "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count()
              << " ms\n";
  }
  delete g_agent_info_cache;
  g_agent_info_cache = nullptr;
  rdb_detach(&g_rdb_handle);
}

}  // namespace
