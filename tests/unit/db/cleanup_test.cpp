// The table catalogue and the start-up emptying of the pending collection.
#include <gtest/gtest.h>

#include <string>

#include "compare/cleanup.h"
#include "compare/table_catalogue.h"
#include "db/dbconn.h"
#include "tests/unit/db/db_fixture.h"

using testing_support::count_docs;
using testing_support::insert_json;

namespace {

TEST(table_catalogue, names_every_table_type_and_nothing_else) {
  const char* const expected[] = {
      nullptr,
      "virus_file_log",
      "webshell_log",
      "domain_log",
      "anti_bfa_log",
      "anti_bfa_origin_log",
      "agent_level",
      "agent_level_pending_log",
      "nofile_attack_log",
      "leak_info_log",
      "incident_msg",
      "agent_info",
      "interception_log",
      "behavior_log",
      nullptr,
  };
  for (int32_t type = 0; type <= 14; ++type) {
    SCOPED_TRACE(type);
    const char* name = get_table_name(type);
    if (expected[type] == nullptr) {
      EXPECT_EQ(name, nullptr);
    } else {
      ASSERT_NE(name, nullptr);
      EXPECT_STREQ(name, expected[type]);
      EXPECT_EQ(get_table_name(type), name) << "the same constant on every call";
    }
  }
  EXPECT_EQ(get_table_name(-1), nullptr);
}

using cleanup_test = db_test;

TEST_F(cleanup_test, empties_the_pending_collection) {
  for (int i = 0; i < 5; ++i) {
    insert_json("agent_level_pending_log",
                R"({"_id": ")" + std::to_string(i) + R"(virus_file_log", "risk": 2})");
  }
  insert_json("agent_level", R"({"_id": "42"})");
  EXPECT_TRUE(clean_pending_collection());
  EXPECT_EQ(count_docs("agent_level_pending_log"), 0);
  EXPECT_EQ(count_docs("agent_level"), 1) << "only the pending collection is emptied";
  EXPECT_TRUE(root.log_contains("delete agent_level_pending_log done: 5"));
  EXPECT_FALSE(root.log_contains("failed"));
}

TEST_F(cleanup_test, a_failure_is_reported) {
  insert_json("agent_level_pending_log", R"({"_id": "1virus_file_log"})");
  db_conn.close();
  EXPECT_FALSE(clean_pending_collection());
  EXPECT_TRUE(root.log_contains("delete agent_level_pending_log done: 0"));
  EXPECT_TRUE(root.log_contains("delete agent_level_pending_log failed"));
  EXPECT_EQ(count_docs("agent_level_pending_log"), 1);
}

}  // namespace
