// The harness itself: the test server that scripts/test starts answers the driver.
#include <gtest/gtest.h>

#include "db/dbconn.h"
#include "db/owners.h"
#include "tests/unit/support/test_support.h"

TEST(Harness, TestServerAnswersPing) {
  mongoc_client_t* client = testing_support::test_client();
  ASSERT_NE(client, nullptr);
  bson_owner ping(BCON_NEW("ping", BCON_INT32(1)));
  bson_t reply;
  bson_error_t error;
  bool ok = mongoc_client_command_simple(client, "admin", ping.get(), nullptr, &reply, &error);
  EXPECT_TRUE(ok) << error.message;
  bson_iter_t iter;
  ASSERT_TRUE(bson_iter_init_find(&iter, &reply, "ok"));
  EXPECT_EQ(bson_iter_as_int64(&iter), 1);
  bson_destroy(&reply);
}

TEST(Harness, CommandCounterSeesTheCommandsOfDbConn) {
  testing_support::connect_test_db();
  testing_support::command_counter counter;
  bson_owner empty(bson_new());
  EXPECT_EQ(db_conn.count("agent_level", empty.get()), 0);
  EXPECT_EQ(db_conn.id_lookup("agent_level", "42"), 0);
  EXPECT_EQ(counter.data_commands(), 2) << counter.summary();
  EXPECT_EQ(counter.count("find"), 1) << counter.summary();
}
