// The fault proxy itself: which client messages a rule breaks, what a broken command leaves
// on the server by the time the client sees the failure, and the driver's retry of a read.
#include "tests/unit/support/fault_proxy.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/owners.h"
#include "tests/unit/support/test_support.h"

namespace {

using testing_support::fault_proxy;
using fault = fault_proxy::fault;

constexpr const char* kProbe = "fault_probe";

// One insert into the probe collection through the proxy; true when the client saw it
// succeed.
bool insert_through(const fault_proxy& proxy) {
  mongoc_client_t* client = mongoc_client_new(proxy.url().c_str());
  mongoc_collection_t* collection = mongoc_client_get_collection(client, "tavrund_qmx", kProbe);
  bson_owner document(BCON_NEW("note", BCON_UTF8("probe")));
  bson_error_t error;
  const bool ok =
      mongoc_collection_insert_one(collection, document.get(), nullptr, nullptr, &error);
  mongoc_collection_destroy(collection);
  mongoc_client_destroy(client);
  return ok;
}

// One read of the probe collection through the proxy, whose filter names "needle" inside
// the command, not as its first element; true when the client saw it succeed.
bool read_through(const fault_proxy& proxy) {
  mongoc_client_t* client = mongoc_client_new(proxy.url().c_str());
  mongoc_collection_t* collection = mongoc_client_get_collection(client, "tavrund_qmx", kProbe);
  bson_owner filter(BCON_NEW("note", BCON_UTF8("needle")));
  mongoc_cursor_t* cursor =
      mongoc_collection_find_with_opts(collection, filter.get(), nullptr, nullptr);
  const bson_t* document = nullptr;
  while (mongoc_cursor_next(cursor, &document)) {
  }
  const bool ok = !mongoc_cursor_error(cursor, nullptr);
  mongoc_cursor_destroy(cursor);
  mongoc_collection_destroy(collection);
  mongoc_client_destroy(client);
  return ok;
}

TEST(FaultProxy, BreaksThePickedMessagesOnly) {
  const struct {
    const char* name;
    std::function<void(fault_proxy&)> arm;
    bool insert;  // otherwise a read
    bool succeeds;
    int stored;  // probe documents once the client has seen the outcome (inserts)
    int broken;
  } cases[] = {
      {"insert dropped", [](fault_proxy& p) { p.arm(fault::drop_request, "insert", kProbe); }, true,
       false, 0, 1},
      {"insert answer lost", [](fault_proxy& p) { p.arm(fault::lose_reply, "insert", kProbe); },
       true, false, 1, 1},
      {"another collection", [](fault_proxy& p) { p.arm(fault::drop_request, "insert", "other"); },
       true, true, 1, 0},
      {"another command", [](fault_proxy& p) { p.arm(fault::drop_request, "update", kProbe); },
       true, true, 1, 0},
      {"disarmed",
       [](fault_proxy& p) {
         p.arm(fault::drop_request, "insert", kProbe, fault_proxy::every);
         p.disarm();
       },
       true, true, 1, 0},
      // The driver retries a read once on a new connection after a network error.
      {"read broken once is retried",
       [](fault_proxy& p) { p.arm(fault::drop_request, "find", kProbe); }, false, true, 0, 1},
      {"read broken every time",
       [](fault_proxy& p) { p.arm(fault::drop_request, "find", kProbe, fault_proxy::every); },
       false, false, 0, 2},
      {"read answer lost every time",
       [](fault_proxy& p) { p.arm(fault::lose_reply, "find", kProbe, fault_proxy::every); }, false,
       false, 0, 2},
      {"marker inside the command",
       [](fault_proxy& p) { p.arm_marker(fault::drop_request, "needle", fault_proxy::every); },
       false, false, 0, 2},
      {"a command's first element only",
       [](fault_proxy& p) { p.arm(fault::drop_request, "find", "needle", fault_proxy::every); },
       false, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    fault_proxy proxy(testing_support::test_mongo_url());
    c.arm(proxy);
    EXPECT_EQ(c.insert ? insert_through(proxy) : read_through(proxy), c.succeeds);
    EXPECT_EQ(testing_support::count_docs(kProbe), c.stored);
    EXPECT_EQ(proxy.broken(), c.broken);
    EXPECT_TRUE(proxy.wait_answered());
  }
}

}  // namespace
