// The harness itself: the test server that scripts/test starts answers the driver.
#include <gtest/gtest.h>

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
