// Ordered writes: order and command bounds, what a failure in the middle leaves applied,
// a server that does not answer, a stop between commands, the update bound of each kind of
// server, and the failure classes.
#include "db/bulk.h"

#include <string>

#include "tests/unit/db/db_fixture.h"

namespace {

using testing_support::command_counter;
using testing_support::count_docs;
using testing_support::insert_json;
using testing_support::json;

constexpr const char* kColl = "bulk_test";

void queue_set(ordered_writes& writes, int id, const std::string& update) {
  auto selector = json("{\"_id\": \"" + std::to_string(id) + "\"}");
  writes.update_one(selector.get(), json(update).get());
}

void queue_insert(ordered_writes& writes, int id) {
  writes.insert(json("{\"_id\": \"" + std::to_string(id) + "\", \"n\": 0}").get());
}

void seed(int from, int to, const char* collection = kColl) {
  for (int i = from; i < to; ++i) {
    insert_json(collection, "{\"_id\": \"" + std::to_string(i) + "\", \"n\": 0, \"s\": \"text\"}");
  }
}

bool g_stop_now = false;
bool stop_now() {
  return g_stop_now;
}

using OrderedWrites = db_test;

TEST_F(OrderedWrites, RunsOfOneKindGoOutInBoundedCommandsInOrder) {
  seed(0, 130);
  ordered_writes writes(kColl);
  for (int i = 0; i < 120; ++i) queue_set(writes, i, R"({"$set": {"n": 1}})");
  for (int i = 1000; i < 1030; ++i) queue_insert(writes, i);
  for (int i = 120; i < 130; ++i) queue_set(writes, i, R"({"$set": {"n": 2}})");
  // The update of an inserted document comes after its insert.
  queue_set(writes, 1000, R"({"$set": {"n": 3}})");

  command_counter counter;
  write_outcome outcome = writes.execute();
  EXPECT_TRUE(outcome.ok) << outcome.message;
  EXPECT_EQ(outcome.applied, writes.size());
  EXPECT_EQ(outcome.unknown, 0u);
  // 50 + 50 + 20 updates, 30 inserts, 11 updates.
  EXPECT_EQ(counter.count("update"), 4) << counter.summary();
  EXPECT_EQ(counter.count("insert"), 1) << counter.summary();
  EXPECT_EQ(count_docs(kColl, R"({"n": 1})"), 120);
  EXPECT_EQ(count_docs(kColl, R"({"n": 2})"), 10);
  EXPECT_EQ(count_docs(kColl, R"({"n": 3})"), 1);
  EXPECT_EQ(count_docs(kColl, R"({"n": 0})"), 29);
}

TEST_F(OrderedWrites, RejectionInTheMiddleLeavesEverythingBeforeItApplied) {
  struct failing_case {
    const char* collection;
    bool server;  // refused by the server, else by the driver before anything is sent
    int at;       // the operation refused
    const char* update;
  } cases[] = {
      // $inc of a string, in the second command of updates.
      {"bulk_server_rejects", true, 55, R"({"$inc": {"s": 1}})"},
      // An update without operators.
      {"bulk_driver_refuses", false, 7, R"({"n": 5})"},
  };
  for (const failing_case& c : cases) {
    SCOPED_TRACE(c.collection);
    seed(0, 60, c.collection);
    ordered_writes writes(c.collection);
    for (int i = 0; i < 60; ++i) {
      queue_set(writes, i, i == c.at ? c.update : R"({"$inc": {"n": 1}})");
    }
    write_outcome outcome = writes.execute();
    EXPECT_FALSE(outcome.ok);
    if (c.server) {
      // The refused operation lies among the unknown ones: the test server names index 0
      // of its command for any failed update, so only the bounds are certain.
      EXPECT_LE(outcome.applied, static_cast<size_t>(c.at));
      EXPECT_GT(outcome.applied + outcome.unknown, static_cast<size_t>(c.at));
    } else {
      EXPECT_EQ(outcome.applied, static_cast<size_t>(c.at));
      EXPECT_EQ(outcome.unknown, 0u);
    }
    EXPECT_EQ(outcome.failure, db_failure::rejected);
    // Exactly the operations before the refused one were applied, once.
    EXPECT_EQ(count_docs(c.collection, R"({"n": 1})"), c.at);
    EXPECT_EQ(count_docs(c.collection, R"({"n": 0})"), 60 - c.at);
  }
  EXPECT_TRUE(root.log_contains("Fail to update bulk_server_rejects info, error: "));
}

TEST_F(OrderedWrites, DuplicateInsertIsRejectedWithItsCode) {
  seed(0, 1);
  ordered_writes writes(kColl);
  queue_insert(writes, 5);
  queue_insert(writes, 0);  // already there
  queue_insert(writes, 6);
  write_outcome outcome = writes.execute();
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.applied, 1u);
  EXPECT_EQ(outcome.unknown, 2u);
  EXPECT_EQ(outcome.rejected_code, 11000);
  EXPECT_EQ(outcome.failure, db_failure::rejected);
  EXPECT_EQ(count_docs(kColl, R"({"_id": "6"})"), 0) << "nothing after the failure";
  EXPECT_TRUE(root.log_contains("Fail to insert, error: "));
}

TEST_F(OrderedWrites, UnansweredCommandLeavesItsOutcomeUnknown) {
  ordered_writes writes(kColl);
  for (int i = 0; i < 70; ++i) queue_set(writes, i, R"({"$set": {"n": 1}})");
  testing_support::connect_dead_server();
  write_outcome outcome = writes.execute();
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.applied, 0u);
  EXPECT_EQ(outcome.unknown, ordered_writes::kUpdatesPerCommand);
  EXPECT_EQ(outcome.failure, db_failure::transient);
}

TEST_F(OrderedWrites, StopRequestEndsTheWritesBetweenCommands) {
  seed(0, 120);
  ordered_writes writes(kColl);
  for (int i = 0; i < 120; ++i) queue_set(writes, i, R"({"$set": {"n": 1}})");
  g_stop_now = true;
  write_outcome outcome = writes.execute(stop_now);
  g_stop_now = false;
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(outcome.applied, ordered_writes::kUpdatesPerCommand) << "the first command goes out";
  EXPECT_EQ(count_docs(kColl, R"({"n": 1})"), 50);
}

TEST_F(OrderedWrites, UpdateBoundFollowsWhatTheServerSaysItIs) {
  // The test server is FerretDB: it keeps the bound under which it does not hang.
  EXPECT_EQ(ordered_writes::updates_per_command(), ordered_writes::kUpdatesPerCommand);
  const struct {
    const char* build_info;
    size_t bound;
  } cases[] = {
      {R"({"version": "7.0.42", "ferretdbVersion": "v1.24.2", "ok": 1.0})", 50},
      {R"({"version": "7.0.14", "gitVersion": "ce59cfc6", "modules": [], "ok": 1.0})", 1000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(update_bound_for(json(c.build_info).get()), c.bound) << c.build_info;
  }
  EXPECT_EQ(update_bound_for(nullptr), 50u) << "a server that did not say what it is";
}

TEST(FailureClasses, TellPassingConditionsFromRefusals) {
  EXPECT_EQ(classify_error_code(11000), db_failure::rejected);   // duplicate key
  EXPECT_EQ(classify_error_code(14), db_failure::rejected);      // type mismatch
  EXPECT_EQ(classify_error_code(10107), db_failure::transient);  // not writable primary
  EXPECT_EQ(classify_error_code(91), db_failure::transient);     // shutting down
  bson_error_t error{};
  error.domain = MONGOC_ERROR_STREAM;
  EXPECT_EQ(classify_failure(error, nullptr), db_failure::transient);
  error.domain = MONGOC_ERROR_SERVER_SELECTION;
  EXPECT_EQ(classify_failure(error, nullptr), db_failure::transient);
  error.domain = MONGOC_ERROR_BSON;
  EXPECT_EQ(classify_failure(error, nullptr), db_failure::rejected);
  // A write error in the reply decides, whatever the error says.
  auto reply = json(R"({"writeErrors": [{"index": 3, "code": 11000, "errmsg": "dup"}]})");
  error.domain = MONGOC_ERROR_STREAM;
  EXPECT_EQ(classify_failure(error, reply.get()), db_failure::rejected);
  auto retryable = json(R"({"errorLabels": ["RetryableWriteError"]})");
  error.domain = MONGOC_ERROR_SERVER;
  error.code = 11000;
  EXPECT_EQ(classify_failure(error, retryable.get()), db_failure::transient);
}

}  // namespace
