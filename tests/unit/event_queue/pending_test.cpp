// Pending event queue against the live test server: what each sighting of an event does
// to its agent's change record, the buffer, its overflow collection and the id cache.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "agent_level/agent_risk.h"
#include "compare/event.h"
#include "compare/pending.h"
#include "config/config.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "tests/unit/support/fault_proxy.h"
#include "tests/unit/support/test_support.h"

using testing_support::count_docs;
using testing_support::find_json;
using testing_support::insert_json;
using testing_support::test_root;

namespace {

constexpr const char* kPendingLog = "agent_level_pending_log";
constexpr const char* kAgent = "42";

using counter = int32_t agent_risk_info::*;

struct sighting {
  int32_t table;
  uint64_t state;
  int risk_level;
  int virus_type;
};

event_info make_event(const std::string& log_id, const sighting& s, uint64_t time = 100) {
  event_info event;
  event.agent_id = kAgent;
  event.log_id = log_id;
  event.state = s.state;
  event.risk_level = static_cast<signed char>(s.risk_level);
  event.virus_type = static_cast<signed char>(s.virus_type);
  event.event_time = time;
  return event;
}

agent_risk_info record_of(const char* agent = kAgent) {
  auto it = g_agent_risk_map.find(agent);
  return it == g_agent_risk_map.end() ? agent_risk_info{} : it->second;
}

agent_risk_info record_with(std::initializer_list<std::pair<counter, int32_t>> counters,
                            uint64_t last_risk_time) {
  agent_risk_info r{};
  for (const auto& [field, value] : counters) r.*field = value;
  r.last_risk_time = last_risk_time;
  return r;
}

std::string id_filter(const std::string& log_id) {
  return R"({"_id":")" + log_id + R"("})";
}

class PendingQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<test_root>(4);
    testing_support::connect_test_db();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_pending_in_db = 0;
    g_agent_risk_map.clear();
    g_update_settings = update_settings{};
    g_update_settings.max_update_pending_event = 10000;
  }
  void TearDown() override { testing_support::reconnect_test_server(); }

  // Moves every buffered entry into the collection, as an overflow does.
  static void overflow_buffer() {
    g_pending_in_db = 1;
    ASSERT_TRUE(flush_pending_events());
    ASSERT_TRUE(g_pending_events.empty());
  }

  std::unique_ptr<test_root> root_;
};

// Where the remembered entry sits when the event is seen again.
enum class kept { buffer, collection_cached, collection_uncached };

TEST_F(PendingQueue, SightingsOfOneEventMoveTheCountersOnce) {
  using A = agent_risk_info;
  const struct {
    const char* name;
    std::vector<sighting> sightings;
    agent_risk_info expected;  // last_risk_time is 100 + the number of sightings - 1
    bool pending;
    pending_info remembered;
  } cases[] = {
      {"first seen handled", {{1, 1, 2, 1}}, record_with({{&A::total_events, 1}}, 100), false, {}},
      {"first seen handled, leak", {{9, 0, 4, 60}}, record_with({}, 100), false, {}},
      {"first seen unhandled",
       {{1, 0, 2, 1}},
       record_with(
           {{&A::high_risk_c, 1}, {&A::high_virus_c, 1}, {&A::trojan_c, 1}, {&A::total_events, 1}},
           100),
       true,
       {1, 2}},
      {"handled takes back what was counted, not the new risk",
       {{1, 0, 2, 1}, {1, 1, 0, 1}},
       record_with({{&A::total_events, 1}}, 101),
       false,
       {}},
      {"webshell risk rises while pending",
       {{2, 0, 0, 20}, {2, 0, 2, 20}},
       record_with({{&A::high_risk_c, 1}, {&A::webshell_c, 1}, {&A::total_events, 1}}, 101),
       true,
       {20, 2}},
      {"category moves while pending",
       {{1, 0, 2, 1}, {1, 5, 2, 4}},
       record_with(
           {{&A::high_risk_c, 1}, {&A::high_virus_c, 1}, {&A::ransom_c, 1}, {&A::total_events, 1}},
           101),
       true,
       {4, 2}},
      {"category leaves the virus line while pending",
       {{1, 0, 2, 1}, {1, 0, 2, 6}},
       record_with({{&A::high_risk_c, 1}, {&A::backdoor_c, 1}, {&A::total_events, 1}}, 101),
       true,
       {6, 2}},
      {"category joins the virus line while pending",
       {{1, 0, 1, 6}, {1, 2, 1, 3}},
       record_with(
           {{&A::mid_risk_c, 1}, {&A::mid_virus_c, 1}, {&A::miner_c, 1}, {&A::total_events, 1}},
           101),
       true,
       {3, 1}},
      {"category left the virus line, then handled",
       {{1, 0, 2, 1}, {1, 0, 2, 6}, {1, 1, 2, 6}},
       record_with({{&A::total_events, 1}}, 102),
       false,
       {}},
      {"leak pending then handled",
       {{9, 1, 4, 60}, {9, 0, 4, 60}},
       record_with({}, 101),
       false,
       {}},
      {"incident seen twice, then disposed",
       {{10, 0, 2, 70}, {10, 1, 2, 70}, {10, 2, 2, 70}},
       record_with({{&A::total_events, 1}}, 102),
       false,
       {}},
      {"file-less attack stays unhandled",
       {{8, 7, 1, 50}, {8, 8, 1, 50}},
       record_with({{&A::mid_risk_c, 1}, {&A::nofile_attack_c, 1}, {&A::total_events, 1}}, 101),
       true,
       {50, 1}},
  };
  const kept places[] = {kept::buffer, kept::collection_cached, kept::collection_uncached};
  int run = 0;
  for (const auto& c : cases) {
    for (kept place : places) {
      SCOPED_TRACE(testing::Message() << c.name << ", kept " << static_cast<int>(place));
      g_pending_events.clear();
      g_pending_db_ids.clear();
      g_pending_in_db = 0;
      g_agent_risk_map.clear();
      const std::string log_id = "ev" + std::to_string(run++) + "virus_file_log";
      for (size_t i = 0; i < c.sightings.size(); ++i) {
        if (i > 0 && place != kept::buffer) {
          overflow_buffer();
          if (place == kept::collection_uncached) g_pending_db_ids.clear();
        }
        ASSERT_TRUE(
            deal_with_event(c.sightings[i].table, make_event(log_id, c.sightings[i], 100 + i)));
      }
      EXPECT_EQ(record_of(), c.expected);
      pending_info remembered;
      if (c.pending) {
        ASSERT_TRUE(get_pending_event_info(log_id, remembered));
        EXPECT_EQ(remembered.risk_level, c.remembered.risk_level);
        EXPECT_EQ(remembered.virus_type, c.remembered.virus_type);
      } else {
        EXPECT_EQ(g_pending_events.count(log_id), 0u);
        EXPECT_EQ(g_pending_db_ids.count(log_id), 0u);
        EXPECT_EQ(count_docs(kPendingLog, id_filter(log_id)), 0);
      }
    }
  }
}

TEST_F(PendingQueue, FullBufferOverflowsInOneBulkInsert) {
  const struct {
    int64_t max_pending;
    int64_t in_collection;
    size_t in_buffer;
  } cases[] = {
      {10000, 10000, 1},  // all of the buffer, then the new event is buffered
      {10003, 10000, 4},  // one insert moves at most 10000
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max_pending);
    testing_support::drop_test_database();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_pending_in_db = 0;
    g_agent_risk_map.clear();
    g_update_settings.max_update_pending_event = c.max_pending;
    char id[48];
    for (int64_t i = 0; i < c.max_pending; ++i) {
      snprintf(id, sizeof(id), "e%06ldvirus_file_log", static_cast<long>(i));
      ASSERT_TRUE(deal_with_event(1, make_event(id, {1, 0, 2, 1})));
    }
    ASSERT_EQ(static_cast<int64_t>(g_pending_events.size()), c.max_pending);
    EXPECT_FALSE(g_pending_in_db);
    EXPECT_EQ(count_docs(kPendingLog), 0);

    ASSERT_TRUE(deal_with_event(1, make_event("lastvirus_file_log", {1, 0, 2, 1})));
    EXPECT_TRUE(g_pending_in_db);
    EXPECT_EQ(count_docs(kPendingLog), c.in_collection);
    EXPECT_EQ(g_pending_events.size(), c.in_buffer);
    EXPECT_EQ(g_pending_events.count("lastvirus_file_log"), 1u);
    EXPECT_EQ(static_cast<int64_t>(g_pending_db_ids.size()), c.in_collection);
    EXPECT_EQ(record_of().high_risk_c, c.max_pending + 1);
    EXPECT_EQ(record_of().total_events, c.max_pending + 1);

    // A flushed event reported handled is taken back from the collection.
    const std::string flushed = *g_pending_db_ids.begin();
    ASSERT_TRUE(deal_with_event(1, make_event(flushed, {1, 1, 2, 1})));
    EXPECT_EQ(record_of().high_risk_c, c.max_pending);
    EXPECT_EQ(count_docs(kPendingLog, id_filter(flushed)), 0);
    EXPECT_EQ(g_pending_db_ids.count(flushed), 0u);
  }
}

TEST_F(PendingQueue, PendingDocumentHoldsIdRiskAndCategoryAsInt64) {
  ASSERT_TRUE(deal_with_event(1, make_event("pvirus_file_log", {1, 0, 2, -3})));
  overflow_buffer();
  EXPECT_EQ(find_json(kPendingLog),
            "{ \"_id\" : \"pvirus_file_log\", \"risk_level\" : { \"$numberLong\" : \"2\" }, "
            "\"virus_type\" : { \"$numberLong\" : \"-3\" } }\n");
}

// An unordered insert that hits a duplicate still writes the others: what the collection
// now holds leaves the buffer, and the duplicate takes the buffered values.
TEST_F(PendingQueue, PartlyFailedFlushKeepsWhatTheCollectionHolds) {
  g_update_settings.max_update_pending_event = 4;
  insert_json(kPendingLog, R"({"_id":"e2virus_file_log","risk_level":0,"virus_type":0})");
  for (int i = 0; i < 4; ++i) {
    std::string id = "e" + std::to_string(i) + "virus_file_log";
    ASSERT_TRUE(deal_with_event(1, make_event(id, {1, 0, 2, 1})));
  }
  ASSERT_TRUE(deal_with_event(1, make_event("e4virus_file_log", {1, 0, 2, 1})));
  EXPECT_TRUE(root_->log_contains("inserts 4 to  agent_level_pending_log failed"));

  ASSERT_EQ(g_pending_events.size(), 1u);
  EXPECT_EQ(g_pending_events.count("e4virus_file_log"), 1u);
  EXPECT_EQ(g_pending_db_ids.size(), 4u);
  EXPECT_EQ(count_docs(kPendingLog, R"({"risk_level":2,"virus_type":1})"), 4);
  EXPECT_EQ(record_of().high_risk_c, 5);

  // Each event is taken back exactly once, and later flushes work.
  for (int i = 0; i < 5; ++i) {
    std::string id = "e" + std::to_string(i) + "virus_file_log";
    ASSERT_TRUE(deal_with_event(1, make_event(id, {1, 1, 2, 1})));
  }
  EXPECT_EQ(record_of(), record_with({{&agent_risk_info::total_events, 5}}, 100));
  EXPECT_EQ(count_docs(kPendingLog), 0);
  for (int i = 5; i < 10; ++i) {
    std::string id = "e" + std::to_string(i) + "virus_file_log";
    ASSERT_TRUE(deal_with_event(1, make_event(id, {1, 0, 2, 1})));
  }
  EXPECT_EQ(count_docs(kPendingLog), 4);
}

// Entries that no server can store stay buffered, logged, while the rest of the batch
// reaches the collection. The event that set off the flush is remembered in the room
// made, or, when the flush made none, in the collection directly. A refused entry is not
// lost: seen handled, it is taken back.
TEST_F(PendingQueue, RefusedEntriesOfAFlushStayBufferedAndTheEventIsRemembered) {
  const std::string huge(17 << 20, 'h');
  const struct {
    const char* name;
    int64_t max_pending;
    int others;  // entries buffered besides the huge one
    bool event_buffered;
    int64_t stored;
  } cases[] = {
      {"room made by the rest of the batch", 4, 3, true, 3},
      {"no room made", 1, 0, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_pending_in_db = 0;
    g_agent_risk_map.clear();
    g_update_settings.max_update_pending_event = c.max_pending;
    ASSERT_TRUE(deal_with_event(1, make_event(huge, {1, 0, 2, 1})));
    for (int i = 0; i < c.others; ++i) {
      ASSERT_TRUE(deal_with_event(1, make_event("e" + std::to_string(i), {1, 0, 2, 1})));
    }
    root_->log_mark();
    event_failure failure;
    ASSERT_TRUE(deal_with_event(1, make_event("new", {1, 0, 2, 1}), &failure));
    EXPECT_EQ(failure.kind, db_failure::none);
    EXPECT_TRUE(root_->log_contains(" bytes is larger than any server stores): kept in memory"));
    EXPECT_EQ(g_pending_events.count(huge), 1u);
    EXPECT_EQ(g_pending_events.count("new"), c.event_buffered ? 1u : 0u);
    EXPECT_EQ(g_pending_events.size(), c.event_buffered ? 2u : 1u);
    EXPECT_EQ(count_docs(kPendingLog), c.stored);
    EXPECT_EQ(count_docs(kPendingLog, id_filter("new")), c.event_buffered ? 0 : 1);
    EXPECT_EQ(record_of().high_risk_c, c.others + 2);

    ASSERT_TRUE(deal_with_event(1, make_event(huge, {1, 1, 2, 1})));
    EXPECT_EQ(g_pending_events.count(huge), 0u);
    EXPECT_EQ(record_of().high_risk_c, c.others + 1);
  }
}

// The whole insert fails: the buffer is as before, the event is neither counted nor
// remembered, and the next sighting counts it once.
TEST_F(PendingQueue, FailedFlushLeavesBufferAndCountersAsBefore) {
  g_update_settings.max_update_pending_event = 4;
  for (int i = 0; i < 4; ++i) {
    std::string id = "e" + std::to_string(i) + "virus_file_log";
    ASSERT_TRUE(deal_with_event(1, make_event(id, {1, 0, 2, 1}, 100)));
  }
  const auto buffer_before = g_pending_events;
  agent_risk_info record_before = record_of();

  testing_support::connect_dead_server();
  event_failure failure;
  EXPECT_FALSE(deal_with_event(1, make_event("e4virus_file_log", {1, 0, 2, 1}, 200), &failure));
  EXPECT_EQ(failure.kind, db_failure::transient);
  EXPECT_TRUE(root_->log_contains("inserts 4 to  agent_level_pending_log failed"));
  EXPECT_EQ(g_pending_events.size(), buffer_before.size());
  for (const auto& [id, info] : buffer_before) {
    ASSERT_EQ(g_pending_events.count(id), 1u) << id;
    EXPECT_EQ(g_pending_events[id].risk_level, info.risk_level);
    EXPECT_EQ(g_pending_events[id].virus_type, info.virus_type);
  }
  record_before.last_risk_time = 200;  // a raised time may stay
  EXPECT_EQ(record_of(), record_before);

  testing_support::reconnect_test_server();
  ASSERT_TRUE(deal_with_event(1, make_event("e4virus_file_log", {1, 0, 2, 1}, 200)));
  EXPECT_EQ(record_of().high_risk_c, 5);
  EXPECT_EQ(record_of().total_events, 5);
  EXPECT_EQ(count_docs(kPendingLog), 4);
  EXPECT_EQ(g_pending_events.size(), 1u);
}

// With the collection possibly holding entries, a look-up that fails must stop the event
// rather than pass it as new.
TEST_F(PendingQueue, FailedLookUpStopsTheEventUntouched) {
  const struct {
    const char* name;
    uint64_t state;
    bool listed;  // the id is in the id cache, so the document itself is read
  } cases[] = {
      {"unhandled, not cached", 0, false},
      {"handled, not cached", 1, false},
      {"unhandled, cached", 0, true},
      {"handled, cached", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    insert_json(kPendingLog, R"({"_id":"pvirus_file_log","risk_level":2,"virus_type":1})");
    g_pending_events.clear();
    g_pending_db_ids.clear();
    if (c.listed) g_pending_db_ids.insert("pvirus_file_log");
    g_pending_in_db = 1;
    g_agent_risk_map.clear();
    g_agent_risk_map[kAgent].high_risk_c = 1;  // counted when it was first seen
    g_agent_risk_map[kAgent].total_events = 1;
    const agent_risk_info before = record_of();

    testing_support::connect_dead_server();
    event_failure failure;
    EXPECT_FALSE(
        deal_with_event(1, make_event("pvirus_file_log", {1, c.state, 2, 1}, 0), &failure));
    EXPECT_EQ(failure.kind, db_failure::transient);
    EXPECT_EQ(record_of(), before);
    EXPECT_TRUE(g_pending_events.empty());
    EXPECT_TRUE(root_->log_contains("get_pending_event_info failed.log_id is pvirus_file_log"));

    testing_support::reconnect_test_server();
    ASSERT_TRUE(deal_with_event(1, make_event("pvirus_file_log", {1, c.state, 2, 1}, 0)));
    EXPECT_EQ(record_of().total_events, 1);
    EXPECT_EQ(record_of().high_risk_c, c.state == 0 ? 1 : 0);
  }
}

TEST_F(PendingQueue, SaveStopsWhenTheExistenceTestFails) {
  g_pending_in_db = 1;
  testing_support::connect_dead_server();
  event_failure failure;
  EXPECT_FALSE(save_pending_event(make_event("pvirus_file_log", {1, 0, 2, 1}), &failure));
  EXPECT_EQ(failure.kind, db_failure::transient);
  EXPECT_TRUE(g_pending_events.empty());
  EXPECT_TRUE(root_->log_contains("check pending id pvirus_file_log failed"));
}

// An update that the server did not answer may pass later; one that no server takes (the
// statement is larger than any command) is refused for good.
TEST_F(PendingQueue, FailedPendingUpdateTellsWhetherToTryAgain) {
  const std::string huge(17 << 20, 'u');
  const struct {
    const char* name;
    std::string log_id;
    bool dead_server;
    db_failure kind;
  } cases[] = {
      {"server gone", "uvirus_file_log", true, db_failure::transient},
      {"statement too large", huge, false, db_failure::rejected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::reconnect_test_server();
    g_pending_in_db = 1;
    g_pending_db_ids = {c.log_id};  // known to be in the collection
    if (c.dead_server) testing_support::connect_dead_server();
    root_->log_mark();
    event_failure failure;
    EXPECT_FALSE(save_pending_event(make_event(c.log_id, {1, 0, 2, 1}), &failure));
    EXPECT_EQ(failure.kind, c.kind);
    EXPECT_FALSE(failure.reason.empty());
    EXPECT_TRUE(g_pending_events.empty());
    if (c.dead_server) {
      EXPECT_TRUE(root_->log_contains("update col :agent_level_pending_log  _id : " + c.log_id));
    }
  }
}

// A stored entry korveld cannot have written is no memory of a count: the event counts as
// new, and its document is made sound (or removed once the event is handled), so the
// next sighting finds what this one counted.
TEST_F(PendingQueue, UnusableStoredEntryIsTakenAsNewAndReplaced) {
  using A = agent_risk_info;
  const struct {
    const char* name;
    const char* stored;
    const char* reason;
  } documents[] = {
      {"no category", R"({"_id":"bvirus_file_log","risk_level":2})", "virus_type missing"},
      {"no risk level", R"({"_id":"bvirus_file_log","virus_type":1})", "risk_level missing"},
      {"category as text", R"({"_id":"bvirus_file_log","risk_level":2,"virus_type":"1"})",
       "virus_type is not a number"},
      {"risk level as a document",
       R"({"_id":"bvirus_file_log","risk_level":{"v":2},"virus_type":1})",
       "risk_level is not a number"},
      {"risk level never counted", R"({"_id":"bvirus_file_log","risk_level":9,"virus_type":1})",
       "risk_level 9, virus_type 1 never counted"},
      {"category never counted", R"({"_id":"bvirus_file_log","risk_level":2,"virus_type":99})",
       "risk_level 2, virus_type 99 never counted"},
  };
  const struct {
    const char* name;
    uint64_t state;
    agent_risk_info expected;
    const char* stored_after;  // null: no document
  } sightings[] = {
      {"unhandled", 0,
       record_with(
           {{&A::high_risk_c, 1}, {&A::high_virus_c, 1}, {&A::trojan_c, 1}, {&A::total_events, 1}},
           100),
       R"({ "_id" : "bvirus_file_log", "risk_level" : { "$numberLong" : "2" }, )"
       R"("virus_type" : { "$numberLong" : "1" } })"},
      {"handled", 1, record_with({{&A::total_events, 1}}, 100), nullptr},
  };
  for (const auto& d : documents) {
    for (const auto& c : sightings) {
      SCOPED_TRACE(testing::Message() << d.name << ", " << c.name);
      testing_support::drop_test_database();
      insert_json(kPendingLog, d.stored);
      g_pending_events.clear();
      g_pending_db_ids.clear();
      g_pending_in_db = 1;
      g_agent_risk_map.clear();
      root_->log_mark();
      ASSERT_TRUE(deal_with_event(1, make_event("bvirus_file_log", {1, c.state, 2, 1})));
      EXPECT_EQ(record_of(), c.expected);
      EXPECT_TRUE(root_->log_contains(std::string("pending document bvirus_file_log unusable (") +
                                      d.reason + "): the event is taken as new"))
          << root_->log_text();
      EXPECT_TRUE(g_pending_events.empty());
      if (c.stored_after != nullptr) {
        EXPECT_EQ(find_json(kPendingLog), std::string(c.stored_after) + "\n");
        // Seen again unhandled: the sound document says it is counted already.
        ASSERT_TRUE(deal_with_event(1, make_event("bvirus_file_log", {1, c.state, 2, 1})));
        EXPECT_EQ(record_of(), c.expected);
      } else {
        EXPECT_EQ(count_docs(kPendingLog), 0);
      }
    }
  }

  // The replacement meets a server that stops answering (for updates only): the event is
  // left as it was, to be tried again.
  testing_support::drop_test_database();
  insert_json(kPendingLog, documents[0].stored);
  g_agent_risk_map.clear();
  g_pending_db_ids.clear();
  g_pending_events.clear();
  g_pending_in_db = 1;
  {
    using testing_support::fault_proxy;
    fault_proxy proxy(testing_support::test_mongo_url());
    proxy.arm_marker(fault_proxy::fault::drop_request, std::string("\x02update\0", 8),
                     fault_proxy::every);
    db_conn.set_url(proxy.url(fault_proxy::kShortTimeouts).c_str());
    ASSERT_TRUE(db_conn.connect());
    event_failure failure;
    EXPECT_FALSE(deal_with_event(1, make_event("bvirus_file_log", {1, 0, 2, 1}), &failure));
    EXPECT_EQ(failure.kind, db_failure::transient);
    EXPECT_GE(proxy.broken(), 1);
  }
  EXPECT_EQ(record_of(), record_with({}, 100));
  testing_support::reconnect_test_server();
  ASSERT_TRUE(deal_with_event(1, make_event("bvirus_file_log", {1, 0, 2, 1})));
  EXPECT_EQ(record_of(), sightings[0].expected);
  EXPECT_EQ(find_json(kPendingLog), std::string(sightings[0].stored_after) + "\n");
}

TEST_F(PendingQueue, CollectionEmptinessNeverGuessesEmpty) {
  const struct {
    const char* name;
    std::function<void()> setup;
    bool empty;
  } cases[] = {
      {"no collection", [] {}, true},
      {"one document",
       [] { insert_json(kPendingLog, R"({"_id":"x","risk_level":1,"virus_type":1})"); }, false},
      {"emptied collection",
       [] {
         insert_json(kPendingLog, R"({"_id":"x","risk_level":1,"virus_type":1})");
         ASSERT_TRUE(delete_pending_event("x"));
       },
       true},
      {"unreachable server", [] { testing_support::connect_dead_server(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::reconnect_test_server();
    testing_support::drop_test_database();
    c.setup();
    EXPECT_EQ(pending_collection_empty(), c.empty);
  }
}

// A cached id whose document has gone: the collection answers "not there", so the event
// is new, and the stale id leaves the cache.
TEST_F(PendingQueue, VanishedDocumentMakesTheEventNew) {
  using A = agent_risk_info;
  const struct {
    const char* name;
    uint64_t state;
    agent_risk_info expected;
    bool buffered;
  } cases[] = {
      {"unhandled", 0,
       record_with(
           {{&A::high_risk_c, 1}, {&A::high_virus_c, 1}, {&A::trojan_c, 1}, {&A::total_events, 1}},
           100),
       true},
      {"handled", 1, record_with({{&A::total_events, 1}}, 100), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_pending_events.clear();
    g_pending_db_ids = {"gonevirus_file_log"};
    g_pending_in_db = 1;
    g_agent_risk_map.clear();
    ASSERT_TRUE(deal_with_event(1, make_event("gonevirus_file_log", {1, c.state, 2, 1})));
    EXPECT_EQ(record_of(), c.expected);
    EXPECT_EQ(g_pending_events.count("gonevirus_file_log"), c.buffered ? 1u : 0u);
    EXPECT_TRUE(g_pending_db_ids.empty());
  }
}

TEST_F(PendingQueue, StoredEntryReadsAnyIntegerTypeByItsLowBits) {
  const struct {
    const char* name;
    const char* document;  // null: no document
    bool ok;
    int risk_level;
    int virus_type;
    const char* message;
  } cases[] = {
      {"int32 and double", R"({"_id":"a","risk_level":{"$numberInt":"258"},"virus_type":4.0})",
       true, 2, 4, ""},
      {"int64", R"({"_id":"a","risk_level":{"$numberLong":"1"},"virus_type":{"$numberLong":"70"}})",
       true, 1, 70, ""},
      {"without category", R"({"_id":"a","risk_level":1})", false, 0, 0,
       "get agent_level_pending_log info failed, pending_id is a "},
      {"category as text", R"({"_id":"a","risk_level":1,"virus_type":"1"})", false, 0, 0,
       "get agent_level_pending_log info failed, pending_id is a "},
      {"no document", nullptr, false, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    if (c.document != nullptr) insert_json(kPendingLog, c.document);
    root_->log_mark();
    pending_info info{9, 9};
    ASSERT_EQ(query_pending_event("a", info), c.ok);
    if (c.ok) {
      EXPECT_EQ(info.risk_level, c.risk_level);
      EXPECT_EQ(info.virus_type, c.virus_type);
    } else {
      EXPECT_EQ(info.risk_level, 9);
    }
    if (*c.message != '\0') {
      EXPECT_TRUE(root_->log_contains(c.message));
    } else {
      EXPECT_FALSE(root_->log_contains("pending_id is a"));
    }
  }
}

TEST_F(PendingQueue, UnknownIdWithoutCollectionIsReported) {
  pending_info info;
  EXPECT_FALSE(get_pending_event_info("nope", info));
  EXPECT_FALSE(delete_from_pending("nope"));
  EXPECT_EQ(root_->log_count("id nope not exists \n"), 2);
}

}  // namespace
