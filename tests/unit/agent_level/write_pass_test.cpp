// The steady write pass in batches against the live test server: where batches end and
// what they cost in commands, and what a pass leaves in the map when a write is refused, an
// event-total command fails, a reply is lost or a stop is requested between two commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "agent_level/agent_risk.h"
#include "config/timing.h"
#include "db/dbconn.h"
#include "tests/unit/support/fault_proxy.h"
#include "tests/unit/support/test_support.h"

using testing_support::bson_ptr;
using testing_support::command_counter;
using testing_support::count_docs;
using testing_support::fault_proxy;
using testing_support::insert_json;
using testing_support::json;
using testing_support::test_root;

namespace {

constexpr const char* kAgentLevel = "agent_level";

mongoc_collection_t* test_collection(const char* name) {
  return mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", name);
}

agent_risk_info high(int32_t high_risk, uint64_t last_risk_time = 0) {
  agent_risk_info r{};
  r.high_risk_c = high_risk;
  r.trojan_c = high_risk;
  r.total_events = high_risk;
  r.last_risk_time = last_risk_time;
  return r;
}

// Stores the documents of `summaries` as the daemon writes them (in one bulk insert).
void store_summaries(const std::map<std::string, agent_risk_info>& summaries) {
  if (summaries.empty()) return;
  mongoc_collection_t* coll = test_collection(kAgentLevel);
  mongoc_bulk_operation_t* bulk = mongoc_collection_create_bulk_operation_with_opts(coll, nullptr);
  for (const auto& [agent, summary] : summaries) {
    agent_risk_info stored = summary;
    stored.risk_level = stored.high_risk_c > 0 ? 2 : 3;
    bson_ptr document(bson_new());
    build_agent_level_insert(document.get(), agent, stored, stored.total_events, 1);
    mongoc_bulk_operation_insert(bulk, document.get());
  }
  bson_error_t error;
  if (!mongoc_bulk_operation_execute(bulk, nullptr, &error)) {
    ADD_FAILURE() << "insert failed: " << error.message;
  }
  mongoc_bulk_operation_destroy(bulk);
  mongoc_collection_destroy(coll);
}

// What the tests check of a stored summary.
struct stored_view {
  int64_t risk_high = -1;
  int64_t trojan = -1;
  int64_t total_events = -1;
  int64_t last_risk_time = -1;
  bool operator==(const stored_view&) const = default;
};

std::ostream& operator<<(std::ostream& out, const stored_view& v) {
  return out << "{risk_high " << v.risk_high << ", trojan " << v.trojan << ", total "
             << v.total_events << ", last " << v.last_risk_time << "}";
}

std::map<std::string, stored_view> stored_views() {
  mongoc_collection_t* coll = test_collection(kAgentLevel);
  bson_ptr all = json("{}");
  mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, all.get(), nullptr, nullptr);
  std::map<std::string, stored_view> out;
  const bson_t* document = nullptr;
  while (mongoc_cursor_next(cursor, &document)) {
    bson_iter_t iter;
    bson_iter_t found;
    if (!bson_iter_init_find(&iter, document, "_id") || !BSON_ITER_HOLDS_UTF8(&iter)) continue;
    stored_view& view = out[bson_iter_utf8(&iter, nullptr)];
    const std::pair<const char*, int64_t*> fields[] = {
        {"risk_high", &view.risk_high},
        {"event_counts.trojan", &view.trojan},
        {"total_events", &view.total_events},
        {"last_risk_time", &view.last_risk_time},
    };
    for (const auto& [path, value] : fields) {
      if (bson_iter_init(&iter, document) && bson_iter_find_descendant(&iter, path, &found)) {
        *value = bson_iter_as_int64(&found);
      }
    }
  }
  mongoc_cursor_destroy(cursor);
  mongoc_collection_destroy(coll);
  return out;
}

stored_view view_of(int64_t high_risk, int64_t total, int64_t last_risk_time = 0) {
  return stored_view{high_risk, high_risk, total, last_risk_time};
}

// Agent ids in the order the write pass takes them (the map's own order).
std::vector<std::string> pass_order() {
  std::vector<std::string> ids;
  for (const auto& entry : g_agent_risk_map) ids.push_back(entry.first);
  return ids;
}

void run_command(const char* json_command) {
  bson_ptr command = json(json_command);
  bson_t reply;
  bson_error_t error;
  mongoc_database_t* database =
      mongoc_client_get_database(testing_support::test_client(), "tavrund_qmx");
  if (!mongoc_database_command_simple(database, command.get(), nullptr, &reply, &error)) {
    ADD_FAILURE() << json_command << ": " << error.message;
  }
  bson_destroy(&reply);
  mongoc_database_destroy(database);
}

// Sets the stop flag once the `nth` command named `name` has started, as a SIGTERM that
// arrives while that command runs would, and counts the documents that those commands
// carry (their "updates" or "documents").
class stop_at_command {
 public:
  stop_at_command(const char* name, int nth) : name_(name), left_(nth) {
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, on_started);
    mongoc_client_set_apm_callbacks(db_conn.get_client(), callbacks, this);
    mongoc_apm_callbacks_destroy(callbacks);
  }
  ~stop_at_command() { mongoc_client_set_apm_callbacks(db_conn.get_client(), nullptr, nullptr); }

  // Documents carried by the commands named `name` up to the one that set the flag.
  int carried() const { return carried_; }

 private:
  static void on_started(const mongoc_apm_command_started_t* event) {
    auto* self = static_cast<stop_at_command*>(mongoc_apm_command_started_get_context(event));
    if (self->name_ != mongoc_apm_command_started_get_command_name(event) || self->left_ == 0) {
      return;
    }
    bson_iter_t iter;
    bson_iter_t items;
    const bson_t* command = mongoc_apm_command_started_get_command(event);
    for (const char* field : {"updates", "documents"}) {
      if (bson_iter_init_find(&iter, command, field) && bson_iter_recurse(&iter, &items)) {
        while (bson_iter_next(&items)) ++self->carried_;
      }
    }
    if (--self->left_ == 0) g_stop_flag = 1;
  }
  std::string name_;
  int left_;
  int carried_ = 0;
};

class WritePass : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<test_root>(4);
    testing_support::connect_test_db();
    g_agent_risk_map.clear();
    g_first_insert = false;
    g_stop_flag = 0;
  }
  void TearDown() override {
    g_stop_flag = 0;
    testing_support::reconnect_test_server();
  }

  std::unique_ptr<test_root> root_;
};

// Batches of 10000 agents: one read, six aggregations and the writes of each. 10000 new
// agents take one batch and one insert; the 10001st opens a second batch. Updates go out in
// commands of 50. Totals come from the batch's own aggregations.
TEST_F(WritePass, BatchesOf10000Agents) {
  const struct {
    int agents;
    int stored;  // the first ones in the pass's order have a document
    int batches;
    int updates;  // update commands
  } cases[] = {
      {10000, 0, 1, 0},
      // 100 + 20 updates and 9880 inserts in the first batch, the last agent's update in
      // the second.
      {10001, 120, 2, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.agents);
    testing_support::drop_test_database();
    g_agent_risk_map.clear();
    char id[16];
    for (int i = 0; i < c.agents; ++i) {
      snprintf(id, sizeof(id), "a%05d", i);
      g_agent_risk_map[id] = high(1, 500);
    }
    const std::vector<std::string> order = pass_order();
    std::map<std::string, agent_risk_info> stored;
    for (int i = 0; i < c.stored; ++i) stored[order[i]] = high(2, 900);
    if (c.agents > 10000) stored[order.back()] = high(2, 900);  // alone in the second batch
    store_summaries(stored);
    // Event documents of the first agent (first batch) and the last one (last batch); an
    // array of ids counts for each agent it holds, once.
    const std::string first = order.front();
    const std::string last = order.back();
    insert_json("virus_file_log", R"({"_id":"v1","agent_id":")" + first + R"("})");
    insert_json("virus_file_log", R"({"_id":"v2","agent_id":")" + first + R"("})");
    insert_json("webshell_log", R"({"_id":"w1","agent_id":")" + last + R"("})");
    insert_json("domain_log", R"({"_id":"d1","agent_id":")" + last + R"(","found_source":1})");
    insert_json("domain_log", R"({"_id":"d2","agent_id":")" + last + R"("})");
    insert_json("incident_msg", R"({"_id":"i1","agent_id":[")" + first + R"(",")" + last +
                                    R"(",")" + last + R"("]})");

    command_counter commands;
    flush_agent_level();
    EXPECT_TRUE(g_agent_risk_map.empty());
    EXPECT_EQ(commands.count("aggregate"), 6 * c.batches) << commands.summary();
    EXPECT_EQ(commands.count("insert"), 1) << commands.summary();
    // 50 updates to a command at most; a process's first update command is a small probe.
    EXPECT_GE(commands.count("update"), c.updates) << commands.summary();
    EXPECT_LE(commands.count("update"), c.updates + 1) << commands.summary();
    EXPECT_EQ(commands.count("find"), c.batches) << commands.summary();
    EXPECT_EQ(commands.count("getMore"), 0) << commands.summary();
    if (c.stored == 0) {
      EXPECT_LE(commands.data_commands(), 40) << commands.summary();
    }

    const auto views = stored_views();
    ASSERT_EQ(views.size(), static_cast<size_t>(c.agents));
    int wrong = 0;
    for (const auto& [agent, view] : views) {
      const bool had_document = stored.count(agent) > 0;
      const int64_t total = agent == first || agent == last ? 3 : 0;
      const stored_view expected = view_of(had_document ? 3 : 1, total, had_document ? 900 : 500);
      if (view != expected && ++wrong <= 5) ADD_FAILURE() << agent << ": " << view;
    }
    EXPECT_EQ(wrong, 0);
  }
}

// Long ids end a batch before 10000 agents: every command that lists a batch's ids stays
// far below the server's 16 MiB limit. 30 ids of 100 kB take two batches.
TEST_F(WritePass, LongIdsMakeSmallerBatches) {
  for (int i = 0; i < 30; ++i) {
    g_agent_risk_map[std::string(100000, static_cast<char>('a' + i % 26)) + std::to_string(i)] =
        high(1, 500);
  }
  command_counter commands;
  flush_agent_level();
  EXPECT_TRUE(g_agent_risk_map.empty());
  EXPECT_EQ(commands.count("find"), 2) << commands.summary();
  EXPECT_EQ(commands.count("aggregate"), 12) << commands.summary();
  EXPECT_EQ(commands.count("insert"), 2) << commands.summary();
  EXPECT_EQ(count_docs(kAgentLevel, R"({"risk_high":1})"), 30);
}

std::map<std::string, stored_view> without_blocker(std::map<std::string, stored_view> views) {
  views.erase("blocker");
  return views;
}

std::vector<std::string> map_keys() {
  std::vector<std::string> keys;
  for (const auto& entry : g_agent_risk_map) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// A write the server refuses in the middle of a batch (a unique index on last_risk_time
// that one agent's new summary collides with): the agents written before it leave the map,
// it and every later one stay, and once the index is gone the next pass writes them with
// every change counted once. (This server reports a refused update as a failure of its
// whole command although the statements before it were applied.)
TEST_F(WritePass, RefusedWriteInTheMiddleOfABatch) {
  const struct {
    const char* name;
    bool update_refused;
    size_t at;  // position of the refused write among the updates or the inserts
  } cases[] = {
      {"an update in the second command refused", true, 70},
      {"an insert refused", false, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    g_agent_risk_map.clear();
    std::map<std::string, agent_risk_info> stored = {{"blocker", high(0, 7777)}};
    char id[16];
    for (int i = 0; i < 120; ++i) {  // three update commands
      snprintf(id, sizeof(id), "s%03d", i);
      stored[id] = high(1, 1000 + i);
      g_agent_risk_map[id] = high(1, 2000 + i);
    }
    for (int i = 0; i < 20; ++i) {
      snprintf(id, sizeof(id), "n%02d", i);
      g_agent_risk_map[id] = high(1, 3000 + i);
    }
    store_summaries(stored);
    run_command(R"({"createIndexes":"agent_level","indexes":[)"
                R"({"key":{"last_risk_time":1},"name":"lrt","unique":true}]})");
    std::vector<std::string> updates;
    std::vector<std::string> inserts;
    for (const std::string& agent : pass_order()) {
      (stored.count(agent) ? updates : inserts).push_back(agent);
    }
    const std::string refused = c.update_refused ? updates[c.at] : inserts[c.at];
    g_agent_risk_map[refused].last_risk_time = 7777;
    // Writes go out updates first, in the pass's order: the refused one and all after it
    // stay.
    std::vector<std::string> left;
    if (c.update_refused)
      left.assign(updates.begin() + static_cast<ptrdiff_t>(c.at), updates.end());
    left.insert(left.end(), inserts.begin() + static_cast<ptrdiff_t>(c.update_refused ? 0 : c.at),
                inserts.end());
    std::sort(left.begin(), left.end());
    root_->log_mark();

    flush_agent_level();
    EXPECT_EQ(map_keys(), left);
    EXPECT_EQ(root_->log_count(c.update_refused ? "update agent_level " + refused + " failed \n"
                                                : std::string("inserts agent_level failed\n")),
              1)
        << root_->log_text();
    // A written agent has its new summary (no events: total 0); the others what they had.
    auto expected_views = [&] {
      std::map<std::string, stored_view> views;
      for (const std::string& agent : updates) {
        const int64_t i = std::stoi(agent.substr(1));
        const bool written = g_agent_risk_map.count(agent) == 0;
        views[agent] =
            written ? view_of(2, 0, agent == refused ? 7777 : 2000 + i) : view_of(1, 1, 1000 + i);
      }
      for (const std::string& agent : inserts) {
        if (g_agent_risk_map.count(agent) > 0) continue;
        views[agent] = view_of(1, 0, agent == refused ? 7777 : 3000 + std::stoi(agent.substr(1)));
      }
      return views;
    };
    EXPECT_EQ(without_blocker(stored_views()), expected_views());

    run_command(R"({"dropIndexes":"agent_level","index":"lrt"})");
    flush_agent_level();
    EXPECT_TRUE(g_agent_risk_map.empty());
    EXPECT_EQ(without_blocker(stored_views()), expected_views());
  }
}

void point_db_conn_at(const std::string& url) {
  db_conn.set_url(url.c_str());
  ASSERT_TRUE(db_conn.connect());
}

// An event-total command that fails (its connection breaks before it reaches the server,
// on the driver's retry too): every agent of the batch counts 0 for that table, with one
// line each, and the write goes on with the other tables' counts.
TEST_F(WritePass, FailedEventTotalCommandCountsZeroForItsTable) {
  insert_json("virus_file_log", R"({"_id":"v1","agent_id":"7"})");
  insert_json("virus_file_log", R"({"_id":"v2","agent_id":"7"})");
  insert_json("virus_file_log", R"({"_id":"v3","agent_id":"8"})");
  insert_json("webshell_log", R"({"_id":"w1","agent_id":"7"})");
  insert_json("webshell_log", R"({"_id":"w2","agent_id":"8"})");
  insert_json("domain_log", R"({"_id":"d1","agent_id":"8","found_source":1})");
  g_agent_risk_map["7"] = high(1);
  g_agent_risk_map["8"] = high(1);
  fault_proxy proxy(testing_support::test_mongo_url());
  point_db_conn_at(proxy.url());
  proxy.arm(fault_proxy::fault::drop_request, "aggregate", "webshell_log", fault_proxy::every);

  flush_agent_level();
  proxy.disarm();
  EXPECT_GE(proxy.broken(), 1);
  EXPECT_TRUE(g_agent_risk_map.empty());
  EXPECT_EQ(stored_views(),
            (std::map<std::string, stored_view>{{"7", view_of(1, 2)}, {"8", view_of(1, 2)}}));
  for (const std::string agent : {"7", "8"}) {
    SCOPED_TRACE(agent);
    EXPECT_EQ(root_->log_count("query webshell_log about agent " + agent +
                               " count failed, set count 0 \n"),
              1);
    EXPECT_EQ(root_->log_count("query webshell_log about agent " + agent + " count is 0\n"), 1);
    EXPECT_EQ(root_->log_count(" about agent " + agent + " count failed"), 1);
    EXPECT_EQ(root_->log_count(" about agent " + agent + " count is "), 6);
  }
  EXPECT_TRUE(root_->log_contains("query virus_file_log about agent 7 count is 2\n"));
  EXPECT_TRUE(root_->log_contains("query domain_log about agent 8 count is 1\n"));
  EXPECT_TRUE(root_->log_contains("Fail to count, error: ")) << root_->log_text();
}

// A write whose reply is lost was applied all the same: the next pass finds the summary
// it meant to store and adds only what came in since. A write that never reached the
// server is written in full by the next pass.
TEST_F(WritePass, WriteOfUnknownOutcomeIsSettledByTheNextRead) {
  using fault = fault_proxy::fault;
  const struct {
    const char* name;
    const char* command;
    fault kind;
    bool stored;   // the agents have documents: their writes are updates
    bool applied;  // the broken write reached the server
    bool rebuild = false;
  } cases[] = {
      {"update, reply lost", "update", fault::lose_reply, true, true},
      {"insert, reply lost", "insert", fault::lose_reply, false, true},
      {"update never sent", "update", fault::drop_request, true, false},
      {"insert never sent", "insert", fault::drop_request, false, false},
      {"rebuild insert, reply lost", "insert", fault::lose_reply, false, true, true},
  };
  const std::vector<std::string> agents = {"u1", "u2", "u3"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::reconnect_test_server();
    testing_support::drop_test_database();
    g_agent_risk_map.clear();
    std::map<std::string, agent_risk_info> stored;
    for (const std::string& agent : agents) {
      if (c.stored) stored[agent] = high(1, 100);
      g_agent_risk_map[agent] = high(1, 200);
    }
    store_summaries(stored);
    const int64_t base = c.stored ? 1 : 0;
    const int64_t total = c.rebuild ? 1 : 0;  // the rebuild writes the accumulated total
    fault_proxy proxy(testing_support::test_mongo_url());
    point_db_conn_at(proxy.url());
    proxy.arm(c.kind, c.command, kAgentLevel);
    g_first_insert = c.rebuild;

    flush_agent_level();
    g_first_insert = false;
    EXPECT_EQ(proxy.broken(), 1);
    EXPECT_EQ(g_agent_risk_map.size(), agents.size());
    std::map<std::string, stored_view> expected;
    for (const std::string& agent : agents) {
      if (c.applied) {
        expected[agent] = view_of(base + 1, total, 200);
      } else if (c.stored) {
        expected[agent] = view_of(1, 1, 100);
      }
    }
    EXPECT_EQ(stored_views(), expected);

    // What comes in meanwhile is written with the next pass; the broken write's change is
    // taken only once.
    add_counter(g_agent_risk_map["u2"].high_risk_c, 1, "high_risk_c");
    add_counter(g_agent_risk_map["u2"].trojan_c, 1, "trojan_c");
    g_agent_risk_map["u2"].last_risk_time = 300;
    flush_agent_level();
    EXPECT_TRUE(g_agent_risk_map.empty());
    expected = {{"u1", view_of(base + 1, total, 200)},
                {"u2", view_of(base + 2, 0, 300)},
                {"u3", view_of(base + 1, total, 200)}};
    EXPECT_EQ(stored_views(), expected);
  }
}

// A stop requested while a command runs ends the pass before the next command: what was
// written is consumed and the rest stays in the map, as after a failed pass. Unchanged
// agents need no write and are consumed.
TEST_F(WritePass, StopEndsThePassBetweenCommands) {
  const struct {
    const char* command;
    int nth;
    bool updates_written;  // the stop came in the update commands
  } cases[] = {
      {"find", 1, false},
      {"aggregate", 3, false},
      {"update", 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.command << " " << c.nth);
    testing_support::drop_test_database();
    g_agent_risk_map.clear();
    g_stop_flag = 0;
    std::map<std::string, agent_risk_info> stored = {{"same", high(1, 100)}};
    char id[16];
    for (int i = 0; i < 200; ++i) {
      snprintf(id, sizeof(id), "s%03d", i);
      stored[id] = high(1, 100);
      g_agent_risk_map[id] = high(1, 200);
    }
    for (int i = 0; i < 5; ++i) g_agent_risk_map["n" + std::to_string(i)] = high(1, 200);
    g_agent_risk_map["same"] = agent_risk_info{};
    store_summaries(stored);
    int carried = 0;
    {
      stop_at_command stop(c.command, c.nth);
      flush_agent_level();
      carried = c.updates_written ? stop.carried() : 0;
    }
    // Exactly the updates of the commands sent before the stop was served left the map;
    // the inserts, which come after the updates, were never sent.
    if (c.updates_written) {
      EXPECT_GT(carried, 0);
      EXPECT_LT(carried, 200);
    }
    EXPECT_EQ(g_agent_risk_map.size(), static_cast<size_t>(205 - carried));
    EXPECT_EQ(g_agent_risk_map.count("same"), 0u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_agent_risk_map.count("n" + std::to_string(i)), 1u);
    // Written agents left the map; the others are stored as before.
    int wrong = 0;
    for (const auto& [agent, view] : stored_views()) {
      const bool written = agent != "same" && g_agent_risk_map.count(agent) == 0;
      const stored_view expected = written ? view_of(2, 0, 200) : view_of(1, 1, 100);
      if (view != expected && ++wrong <= 5) ADD_FAILURE() << agent << ": " << view;
    }
    EXPECT_EQ(wrong, 0);
  }
}

// Between two batches, in the steady pass and in the rebuild alike: the second batch waits.
TEST_F(WritePass, StopBetweenTwoBatches) {
  for (bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuild" : "steady");
    testing_support::drop_test_database();
    g_first_insert = rebuild;
    g_agent_risk_map.clear();
    g_stop_flag = 0;
    char id[16];
    for (int i = 0; i < 10001; ++i) {
      snprintf(id, sizeof(id), "a%05d", i);
      g_agent_risk_map[id] = high(1, 200);
    }
    const std::string last = pass_order().back();
    {
      stop_at_command stop("insert", 1);
      flush_agent_level();
    }
    EXPECT_EQ(count_docs(kAgentLevel), 10000);
    ASSERT_EQ(g_agent_risk_map.size(), 1u);
    EXPECT_EQ(g_agent_risk_map.count(last), 1u);
    EXPECT_EQ(g_agent_risk_map[last], high(1, 200));
  }
}

}  // namespace
