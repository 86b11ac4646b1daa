// The agent_level document and its write pass against the live test server: summaries
// from stored documents and change records, the document's exact form, and what a pass
// writes, skips, keeps or batches.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "agent_level/agent_risk.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/tick.h"
#include "tests/unit/support/test_support.h"

using testing_support::bson_ptr;
using testing_support::count_docs;
using testing_support::insert_json;
using testing_support::json;
using testing_support::test_root;

namespace {

constexpr const char* kAgentLevel = "agent_level";
using A = agent_risk_info;
using counter = int32_t agent_risk_info::*;

agent_risk_info record_with(std::initializer_list<std::pair<counter, int32_t>> counters,
                            uint64_t last_risk_time = 0) {
  agent_risk_info r{};
  for (const auto& [field, value] : counters) r.*field = value;
  r.last_risk_time = last_risk_time;
  return r;
}

// A copy of `document` without the top-level field `key`, or, with `nested`, without
// that field of the subdocument `key`.
bson_ptr without(const bson_t* document, const char* key, const char* nested = nullptr) {
  bson_t* out = bson_new();
  bson_iter_t iter;
  bson_iter_init(&iter, document);
  while (bson_iter_next(&iter)) {
    if (strcmp(bson_iter_key(&iter), key) != 0) {
      bson_append_iter(out, nullptr, 0, &iter);
    } else if (nested != nullptr) {
      uint32_t length = 0;
      const uint8_t* data = nullptr;
      bson_iter_document(&iter, &length, &data);
      bson_t sub;
      bson_init_static(&sub, data, length);
      bson_t copy;
      bson_init(&copy);
      bson_copy_to_excluding_noinit(&sub, &copy, nested, nullptr);
      bson_append_document(out, key, -1, &copy);
      bson_destroy(&copy);
    }
  }
  return bson_ptr(out);
}

void insert_document(const char* collection, const bson_t* document) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", collection);
  bson_error_t error;
  if (!mongoc_collection_insert_one(coll, document, nullptr, nullptr, &error)) {
    ADD_FAILURE() << "insert failed: " << error.message;
  }
  mongoc_collection_destroy(coll);
}

// Stores the agent_level document of `summary` as the daemon writes it.
void store_summary(const std::string& agent_id, const agent_risk_info& summary,
                   int64_t update_time = 1) {
  bson_ptr document(bson_new());
  build_agent_level_insert(document.get(), agent_id, summary, summary.total_events, update_time);
  insert_document(kAgentLevel, document.get());
}

// One number of the stored document of `agent_id` ("event_counts.x" for a category);
// -999 when the document or the field is absent.
int64_t stored_number(const std::string& agent_id, const char* path) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", kAgentLevel);
  bson_ptr filter = json(R"({"_id":")" + agent_id + R"("})");
  mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter.get(), nullptr, nullptr);
  const bson_t* document = nullptr;
  int64_t value = -999;
  bson_iter_t iter;
  bson_iter_t found;
  if (mongoc_cursor_next(cursor, &document) && bson_iter_init(&iter, document) &&
      bson_iter_find_descendant(&iter, path, &found)) {
    value = bson_iter_as_int64(&found);
  }
  mongoc_cursor_destroy(cursor);
  mongoc_collection_destroy(coll);
  return value;
}

class AgentLevel : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<test_root>(4);
    testing_support::connect_test_db();
    g_agent_risk_map.clear();
    g_first_insert = false;
    // Each test starts far from any earlier message time, so the rate limits admit
    // the first message even when the tests share a process.
    static uint32_t clock_ms = 0;
    clock_ms += 1000000;
    now_ms_ = clock_ms;
    timer_set_manual(true, now_ms_);
  }
  void TearDown() override {
    timer_set_manual(false, 0);
    testing_support::reconnect_test_server();
  }

  std::unique_ptr<test_root> root_;
  uint32_t now_ms_ = 0;
};

TEST_F(AgentLevel, CounterMovesSaturateAtTheInt32Limits) {
  const struct {
    int32_t start;
    int64_t delta;
    int32_t result;
    const char* message;
  } cases[] = {
      {5, -7, -2, nullptr},
      {INT32_MAX - 1, 1, INT32_MAX, nullptr},
      {INT32_MAX, 1, INT32_MAX, "trojan_c overflows, saturated at 2147483647"},
      {INT32_MIN, -1, INT32_MIN, "trojan_c overflows, saturated at -2147483648"},
      {-3, int64_t{INT32_MAX} * 2, INT32_MAX, "trojan_c overflows, saturated at 2147483647"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " + " << c.delta);
    root_->log_mark();
    int32_t value = c.start;
    add_counter(value, c.delta, "trojan_c");
    EXPECT_EQ(value, c.result);
    if (c.message != nullptr) {
      EXPECT_TRUE(root_->log_contains(c.message)) << root_->log_text();
    } else {
      EXPECT_FALSE(root_->log_contains("overflows"));
    }
  }
}

TEST_F(AgentLevel, SummaryIsStoredPlusChange) {
  const struct {
    const char* name;
    bool stored;  // store `before` first
    agent_risk_info before;
    agent_risk_info change;
    agent_risk_info summary;
    bool changed;
    const char* message;
  } cases[] = {
      {"high outranks medium and low",
       false,
       {},
       record_with({{&A::high_risk_c, 1}, {&A::mid_risk_c, 1}, {&A::low_risk_c, 1}}),
       record_with(
           {{&A::high_risk_c, 1}, {&A::mid_risk_c, 1}, {&A::low_risk_c, 1}, {&A::risk_level, 2}}),
       true,
       nullptr},
      {"medium outranks low",
       false,
       {},
       record_with({{&A::mid_risk_c, 1}, {&A::low_risk_c, 4}}),
       record_with({{&A::mid_risk_c, 1}, {&A::low_risk_c, 4}, {&A::risk_level, 1}}),
       true,
       nullptr},
      {"low only",
       false,
       {},
       record_with({{&A::low_risk_c, 1}}),
       record_with({{&A::low_risk_c, 1}, {&A::risk_level, 0}}),
       true,
       nullptr},
      {"nothing at risk",
       false,
       {},
       record_with({{&A::trojan_c, 1}}),
       record_with({{&A::trojan_c, 1}, {&A::risk_level, 3}}),
       true,
       nullptr},
      {"a negative count is none, then cleared",
       false,
       {},
       record_with({{&A::high_risk_c, -1}, {&A::low_risk_c, 1}}),
       record_with({{&A::low_risk_c, 1}, {&A::risk_level, 0}}),
       true,
       "high_risk_c is less than zero"},
      {"stored document plus change", true,
       record_with({{&A::high_risk_c, 2}, {&A::risk_level, 2}, {&A::total_events, 5}}, 500),
       record_with({{&A::high_risk_c, -1}, {&A::total_events, 1}}, 300),
       record_with({{&A::high_risk_c, 1}, {&A::risk_level, 2}, {&A::total_events, 6}}, 500), true,
       nullptr},
      {"last_risk_time rises", true, record_with({{&A::risk_level, 3}}, 500), record_with({}, 700),
       record_with({{&A::risk_level, 3}}, 700), true, nullptr},
      {"no change", true, record_with({{&A::low_risk_c, 1}, {&A::risk_level, 0}}, 500),
       record_with({}, 400), record_with({{&A::low_risk_c, 1}, {&A::risk_level, 0}}, 500), false,
       nullptr},
      {"change confined to one category", true, record_with({{&A::risk_level, 3}}),
       record_with({{&A::backdoor_c, 1}}), record_with({{&A::backdoor_c, 1}, {&A::risk_level, 3}}),
       true, nullptr},
      {"negative category count cleared", true,
       record_with({{&A::rootkit_c, 1}, {&A::risk_level, 3}}),
       record_with({{&A::rootkit_c, -1}, {&A::activatetool_c, -1}}),
       record_with({{&A::risk_level, 3}}), true, "activatetool_c is less than zero"},
      {"stored count at the limit", true,
       record_with({{&A::mid_risk_c, INT32_MAX}, {&A::risk_level, 1}}),
       record_with({{&A::mid_risk_c, 1}}),
       record_with({{&A::mid_risk_c, INT32_MAX}, {&A::risk_level, 1}}), false,
       "mid_risk_c overflows"},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string agent = "a" + std::to_string(run++);
    if (c.stored) store_summary(agent, c.before);
    root_->log_mark();
    agent_risk_info summary;
    bool changed = !c.changed;
    ASSERT_TRUE(get_agent_risk_doc(agent, c.change, summary, changed));
    EXPECT_EQ(summary, c.summary);
    EXPECT_EQ(changed, c.changed);
    if (c.message != nullptr) {
      EXPECT_TRUE(root_->log_contains(c.message)) << root_->log_text();
    }
  }
}

TEST_F(AgentLevel, EveryNegativeCountIsClearedInOrder) {
  g_first_insert = true;  // no stored document is read
  const char* order[] = {
      "high_risk_c",  "mid_risk_c",  "low_risk_c",  "high_virus_c",   "mid_virus_c",
      "low_virus_c",  "high_leak_c", "mid_leak_c",  "low_leak_c",     "total_events",
      "webshell_c",   "botnet_c",    "antibfa_c",   "worm_c",         "ransom_c",
      "trojan_c",     "miner_c",     "infection_c", "undefine_c",     "nofile_attack_c",
      "adv_threat_c", "backdoor_c",  "macro_c",     "hacktool_c",     "adware_c",
      "cad_c",        "exploit_c",   "rootkit_c",   "activatetool_c",
  };
  agent_risk_info change{};
  // Every int32 counter of the record, risk_level aside.
  for (counter c : {&A::high_risk_c,    &A::mid_risk_c,  &A::low_risk_c,      &A::high_virus_c,
                    &A::mid_virus_c,    &A::low_virus_c, &A::high_leak_c,     &A::mid_leak_c,
                    &A::low_leak_c,     &A::webshell_c,  &A::nofile_attack_c, &A::botnet_c,
                    &A::antibfa_c,      &A::worm_c,      &A::ransom_c,        &A::trojan_c,
                    &A::miner_c,        &A::backdoor_c,  &A::macro_c,         &A::hacktool_c,
                    &A::adware_c,       &A::cad_c,       &A::exploit_c,       &A::rootkit_c,
                    &A::activatetool_c, &A::infection_c, &A::undefine_c,      &A::adv_threat_c,
                    &A::total_events}) {
    change.*c = -1;
  }
  agent_risk_info summary;
  bool changed = false;
  ASSERT_TRUE(get_agent_risk_doc("7", change, summary, changed));
  EXPECT_EQ(summary, record_with({{&A::risk_level, 3}}));

  const std::string log = root_->log_text();
  size_t previous = 0;
  for (const char* name : order) {
    SCOPED_TRACE(name);
    // Each message must come after the one before it.
    size_t at = log.find(std::string(" ") + name + " is less than zero\n", previous);
    ASSERT_NE(at, std::string::npos) << log;
    previous = at + 1;
  }
  EXPECT_EQ(root_->log_count(" is less than zero"), static_cast<int>(std::size(order)));
}

TEST_F(AgentLevel, StoredSummaryIsReadInFull) {
  agent_risk_info full{};
  int32_t value = 1;
  for (counter c : {&A::high_risk_c,  &A::mid_risk_c,     &A::low_risk_c,  &A::high_virus_c,
                    &A::mid_virus_c,  &A::low_virus_c,    &A::high_leak_c, &A::mid_leak_c,
                    &A::low_leak_c,   &A::risk_level,     &A::webshell_c,  &A::nofile_attack_c,
                    &A::botnet_c,     &A::antibfa_c,      &A::worm_c,      &A::ransom_c,
                    &A::trojan_c,     &A::miner_c,        &A::backdoor_c,  &A::macro_c,
                    &A::hacktool_c,   &A::adware_c,       &A::cad_c,       &A::exploit_c,
                    &A::rootkit_c,    &A::activatetool_c, &A::infection_c, &A::undefine_c,
                    &A::adv_threat_c, &A::total_events}) {
    full.*c = value++;
  }
  full.last_risk_time = 1700000000;
  bson_ptr complete(bson_new());
  build_agent_level_insert(complete.get(), "7", full, full.total_events, 1);

  const struct {
    const char* name;
    bson_ptr document;  // empty: no document
    bool ok;
    const char* message;
  } cases[] = {
      {"no document", bson_ptr(), true, nullptr},
      {"complete document", bson_ptr(bson_copy(complete.get())), true, nullptr},
      {"category missing", without(complete.get(), "event_counts", "adv_threat"), false,
       "get risk info failed,agent_id 7 "},
      {"total missing", without(complete.get(), "total_events"), false,
       "get risk info failed,agent_id 7 "},
      {"no event_counts", without(complete.get(), "event_counts"), false, "bson_iter_find failed"},
      {"event_counts not a document", json(R"({"_id":"7","event_counts":5})"), false,
       "bson_iter_document failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::drop_test_database();
    if (c.document) insert_document(kAgentLevel, c.document.get());
    now_ms_ += 10000;  // past the message limit
    timer_set_manual(true, now_ms_);
    root_->log_mark();
    agent_risk_info read = record_with({{&A::worm_c, 77}});
    ASSERT_EQ(get_agent_origin_info("7", read), c.ok);
    if (c.ok) {
      EXPECT_EQ(read, c.document ? full : agent_risk_info{});
    }
    if (c.message != nullptr) {
      EXPECT_TRUE(root_->log_contains(c.message)) << root_->log_text();
    }
  }

  testing_support::connect_dead_server();
  agent_risk_info read;
  EXPECT_FALSE(get_agent_origin_info("7", read));
}

// Keys and int64 values of a document, in order ("event_counts.x" for the subdocument).
std::vector<std::pair<std::string, int64_t>> int64_fields(const bson_t* document,
                                                          const std::string& prefix = "") {
  std::vector<std::pair<std::string, int64_t>> out;
  bson_iter_t iter;
  bson_iter_init(&iter, document);
  while (bson_iter_next(&iter)) {
    std::string key = prefix + bson_iter_key(&iter);
    if (BSON_ITER_HOLDS_DOCUMENT(&iter)) {
      uint32_t length = 0;
      const uint8_t* data = nullptr;
      bson_iter_document(&iter, &length, &data);
      bson_t sub;
      bson_init_static(&sub, data, length);
      out.emplace_back(key, -1);
      auto inner = int64_fields(&sub, key + ".");
      out.insert(out.end(), inner.begin(), inner.end());
    } else if (BSON_ITER_HOLDS_INT64(&iter)) {
      out.emplace_back(key, bson_iter_int64(&iter));
    } else {
      out.emplace_back(key + " (not int64)", 0);
    }
  }
  return out;
}

TEST_F(AgentLevel, DocumentFieldsInTheirFixedOrder) {
  agent_risk_info s{};
  s.high_risk_c = 1;
  s.mid_risk_c = 2;
  s.low_risk_c = 3;
  s.risk_level = 4;
  s.last_risk_time = 5;
  s.high_virus_c = 7;
  s.mid_virus_c = 8;
  s.low_virus_c = 9;
  s.high_leak_c = 10;
  s.mid_leak_c = 11;
  s.low_leak_c = 12;
  s.webshell_c = 101;
  s.antibfa_c = 102;
  s.botnet_c = 103;
  s.worm_c = 104;
  s.nofile_attack_c = 105;
  s.ransom_c = 106;
  s.trojan_c = 107;
  s.miner_c = 108;
  s.backdoor_c = 109;
  s.macro_c = 110;
  s.hacktool_c = 111;
  s.adware_c = 112;
  s.cad_c = 113;
  s.exploit_c = 114;
  s.rootkit_c = 115;
  s.activatetool_c = 116;
  s.infection_c = 117;
  s.undefine_c = 118;
  s.adv_threat_c = -119;
  s.total_events = 999;  // the written total is passed separately

  const std::vector<std::pair<std::string, int64_t>> fields = {
      {"risk_high", 1},
      {"risk_medium", 2},
      {"risk_low", 3},
      {"risk_level", 4},
      {"last_risk_time", 5},
      {"col_update_time", 6},
      {"virus_high", 7},
      {"virus_medium", 8},
      {"virus_low", 9},
      {"leak_high", 10},
      {"leak_medium", 11},
      {"leak_low", 12},
      {"event_counts", -1},
      {"event_counts.webshell", 101},
      {"event_counts.anti_bfa", 102},
      {"event_counts.botnet", 103},
      {"event_counts.worm", 104},
      {"event_counts.nofile_attack", 105},
      {"event_counts.ransom", 106},
      {"event_counts.trojan", 107},
      {"event_counts.miner", 108},
      {"event_counts.backdoor", 109},
      {"event_counts.macro", 110},
      {"event_counts.hacktool", 111},
      {"event_counts.adware", 112},
      {"event_counts.cad", 113},
      {"event_counts.exploit", 114},
      {"event_counts.rootkit", 115},
      {"event_counts.activatetool", 116},
      {"event_counts.infection", 117},
      {"event_counts.other", 118},
      {"event_counts.adv_threat", -119},
      {"total_events", 14},
  };

  bson_ptr insert(bson_new());
  build_agent_level_insert(insert.get(), "agent-7", s, 14, 6);
  auto expected_insert = fields;
  expected_insert.emplace_back("_id (not int64)", 0);
  EXPECT_EQ(int64_fields(insert.get()), expected_insert);
  bson_iter_t id;
  ASSERT_TRUE(bson_iter_init_find(&id, insert.get(), "_id"));
  EXPECT_STREQ(bson_iter_utf8(&id, nullptr), "agent-7");

  bson_ptr update(bson_new());
  build_agent_level_update(update.get(), s, 14, 6);
  std::vector<std::pair<std::string, int64_t>> expected_update = {{"$set", -1}};
  for (const auto& [key, value] : fields) {
    expected_update.emplace_back("$set." + key, value);
  }
  EXPECT_EQ(int64_fields(update.get()), expected_update);
}

TEST_F(AgentLevel, WritePassUpdatesInsertsOrConsumes) {
  const struct {
    const char* name;
    bool stored;
    agent_risk_info before;
    agent_risk_info change;
    std::vector<std::pair<const char*, int64_t>> written;  // empty: nothing written
  } cases[] = {
      {"new agent takes the change, cleared",
       false,
       {},
       record_with({{&A::high_risk_c, 1}, {&A::macro_c, -1}, {&A::total_events, 1}}, 900),
       {{"risk_high", 1}, {"risk_level", 2}, {"event_counts.macro", 0}, {"last_risk_time", 900}}},
      {"stored agent updated",
       true,
       record_with({{&A::high_risk_c, 2}, {&A::risk_level, 2}, {&A::total_events, 2}}, 500),
       record_with({{&A::high_risk_c, 1}, {&A::trojan_c, 1}, {&A::total_events, 1}}, 400),
       {{"risk_high", 3}, {"event_counts.trojan", 1}, {"last_risk_time", 500}}},
      {"change confined to a category is written",
       true,
       record_with({{&A::risk_level, 3}}),
       record_with({{&A::hacktool_c, 1}}),
       {{"event_counts.hacktool", 1}, {"risk_level", 3}}},
      {"unchanged agent is consumed unwritten",
       true,
       record_with({{&A::low_risk_c, 1}, {&A::risk_level, 0}}, 500),
       record_with({}, 100),
       {}},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string agent = "w" + std::to_string(run++);
    if (c.stored) store_summary(agent, c.before, 1);
    g_agent_risk_map.clear();
    g_agent_risk_map[agent] = c.change;
    const int64_t start = time(nullptr);
    flush_agent_level();
    EXPECT_TRUE(g_agent_risk_map.empty());
    if (c.written.empty()) {
      EXPECT_EQ(stored_number(agent, "col_update_time"), 1);
      continue;
    }
    EXPECT_GE(stored_number(agent, "col_update_time"), start);
    for (const auto& [path, value] : c.written) {
      EXPECT_EQ(stored_number(agent, path), value) << path;
    }
  }
}

// The written total: during the first rebuild the accumulated one; afterwards the sum of
// the agent's documents in the six event tables (whatever the change record says).
TEST_F(AgentLevel, EventTotalByPhase) {
  insert_json("virus_file_log", R"({"_id":"v1","agent_id":"7"})");
  insert_json("virus_file_log", R"({"_id":"v2","agent_id":"7"})");
  insert_json("virus_file_log", R"({"_id":"v3","agent_id":"8"})");
  insert_json("anti_bfa_log", R"({"_id":"b1","agent_id":"7"})");
  insert_json("webshell_log", R"({"_id":"s1","agent_id":"7"})");
  insert_json("nofile_attack_log", R"({"_id":"n1","agent_id":"7"})");
  insert_json("incident_msg", R"({"_id":"i1","agent_id":"7"})");
  insert_json("domain_log", R"({"_id":"d1","agent_id":"7","found_source":1})");
  insert_json("domain_log", R"({"_id":"d2","agent_id":"7"})");
  insert_json("leak_info_log", R"({"_id":"l1","agent_id":"7"})");

  const struct {
    bool first_insert;
    int64_t total;
    int count_lines;
  } cases[] = {{true, 40, 0}, {false, 7, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_insert);
    mongoc_collection_t* coll =
        mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", kAgentLevel);
    bson_ptr all = json("{}");
    mongoc_collection_delete_many(coll, all.get(), nullptr, nullptr, nullptr);
    mongoc_collection_destroy(coll);
    root_->log_mark();
    g_first_insert = c.first_insert;
    g_agent_risk_map.clear();
    g_agent_risk_map["7"] = record_with({{&A::low_risk_c, 1}, {&A::total_events, 40}});
    flush_agent_level();
    EXPECT_EQ(stored_number("7", "total_events"), c.total);
    EXPECT_EQ(root_->log_count(" about agent 7 count is "), c.count_lines);
    if (!c.first_insert) {
      EXPECT_TRUE(root_->log_contains("query virus_file_log about agent 7 count is 2"));
      EXPECT_TRUE(root_->log_contains("query domain_log about agent 7 count is 1"));
    }
  }
}

// Replaces the stored document of `agent_id` by `document`.
void replace_document(const std::string& agent_id, const bson_t* document) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", kAgentLevel);
  bson_ptr filter = json(R"({"_id":")" + agent_id + R"("})");
  bson_error_t error;
  if (!mongoc_collection_delete_one(coll, filter.get(), nullptr, nullptr, &error)) {
    ADD_FAILURE() << "delete failed: " << error.message;
  }
  mongoc_collection_destroy(coll);
  insert_document(kAgentLevel, document);
}

// A broken stored document holds back only its own agent, and the agent is named once per
// document: again only when the document has changed, not in every pass.
TEST_F(AgentLevel, BrokenStoredDocumentsAreNamedOncePerDocument) {
  bson_ptr complete1(bson_new());
  build_agent_level_insert(complete1.get(), "bad1", record_with({{&A::risk_level, 3}}), 0, 1);
  bson_ptr complete2(bson_new());
  build_agent_level_insert(complete2.get(), "bad2", record_with({{&A::risk_level, 3}}), 0, 1);
  bson_ptr broken2 = json(R"({"_id":"bad2","event_counts":5})");
  insert_document(kAgentLevel, without(complete1.get(), "event_counts", "adv_threat").get());
  insert_document(kAgentLevel, broken2.get());
  const std::vector<std::string> lines1 = {
      "get risk info failed,agent_id bad1 \n",
      "get_agent_origin_info failed agent_id is bad1 \n",
      "get_agent_risk_doc failed,agent_id is bad1\n",
  };
  const std::vector<std::string> lines2 = {
      "bson_iter_document failed\n",
      "get_agent_origin_info failed agent_id is bad2 \n",
      "get_agent_risk_doc failed,agent_id is bad2\n",
  };

  const struct {
    const char* name;
    std::function<void()> before;
    int named1;
    int named2;
    bool written2;
  } passes[] = {
      {"first sight", nullptr, 1, 1, false},
      {"the same documents", nullptr, 0, 0, false},
      {"bad1 changed, still broken",
       [&] {
         replace_document("bad1", without(without(complete1.get(), "risk_high").get(),
                                          "event_counts", "adv_threat")
                                      .get());
       },
       1, 0, false},
      {"bad2 repaired", [&] { replace_document("bad2", complete2.get()); }, 0, 0, true},
      {"bad2 broken as before", [&] { replace_document("bad2", broken2.get()); }, 0, 1, false},
  };
  int good = 0;
  for (const auto& pass : passes) {
    SCOPED_TRACE(pass.name);
    if (pass.before) pass.before();
    root_->log_mark();
    const std::string agent = "good" + std::to_string(good++);
    g_agent_risk_map.clear();
    g_agent_risk_map[agent] = record_with({{&A::low_risk_c, 1}});
    g_agent_risk_map["bad1"] = record_with({{&A::low_risk_c, 1}});
    g_agent_risk_map["bad2"] = record_with({{&A::low_risk_c, 1}});
    flush_agent_level();
    EXPECT_EQ(stored_number(agent, "risk_low"), 1);
    EXPECT_EQ(g_agent_risk_map.count(agent), 0u);
    EXPECT_EQ(g_agent_risk_map.count("bad1"), 1u);
    EXPECT_EQ(g_agent_risk_map.count("bad2"), pass.written2 ? 0u : 1u);
    if (pass.written2) {
      EXPECT_EQ(stored_number("bad2", "risk_low"), 1);
    }
    for (const std::string& line : lines1) EXPECT_EQ(root_->log_count(line), pass.named1) << line;
    for (const std::string& line : lines2) EXPECT_EQ(root_->log_count(line), pass.named2) << line;
    EXPECT_EQ(root_->log_count("get agent last risk info  failed\n"), pass.named1 + pass.named2);
  }
}

// An unanswered query stops the pass; every entry waits for the next one.
TEST_F(AgentLevel, UnreachableServerStopsThePass) {
  g_agent_risk_map["1"] = record_with({{&A::low_risk_c, 1}});
  g_agent_risk_map["2"] = record_with({{&A::low_risk_c, 1}});
  testing_support::connect_dead_server();
  flush_agent_level();
  EXPECT_EQ(g_agent_risk_map.size(), 2u);
  EXPECT_TRUE(root_->log_contains("get agent last risk info  failed"));
  EXPECT_EQ(root_->log_count("get_agent_risk_doc failed,agent_id is "), 1);

  testing_support::reconnect_test_server();
  flush_agent_level();
  EXPECT_TRUE(g_agent_risk_map.empty());
  EXPECT_EQ(count_docs(kAgentLevel), 2);
}

// New agents go out in bulk inserts of 10000. A document that already holds the last
// agent's id makes the insert that carries it fail, which shows where the batches end;
// only that agent's change comes back.
TEST_F(AgentLevel, NewAgentsAreInsertedInBatchesOf10000) {
  const struct {
    int agents;
    bool last_conflicts;
    int64_t in_collection;
    size_t left_in_map;
    int failures;
  } cases[] = {
      {10000, false, 10000, 0, 0},
      {10000, true, 10000, 1, 1},  // one insert at the end carries all of them
      {10001, false, 10001, 0, 0},
      {10001, true, 10001, 1, 1},  // the first 10000 went out before the last was batched
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.agents << (c.last_conflicts ? " conflicting" : ""));
    testing_support::drop_test_database();
    g_first_insert = true;
    g_agent_risk_map.clear();
    char id[16];
    for (int i = 0; i < c.agents; ++i) {
      snprintf(id, sizeof(id), "a%05d", i);
      g_agent_risk_map[id] = record_with({{&A::high_risk_c, 1}, {&A::total_events, 1}});
    }
    std::string last;
    for (const auto& entry : g_agent_risk_map) last = entry.first;  // the pass's order
    if (c.last_conflicts) insert_json(kAgentLevel, R"({"_id":")" + last + R"("})");
    root_->log_mark();

    flush_agent_level();
    EXPECT_EQ(count_docs(kAgentLevel), c.in_collection);
    EXPECT_EQ(g_agent_risk_map.size(), c.left_in_map);
    if (c.left_in_map > 0) {
      EXPECT_EQ(g_agent_risk_map.count(last), 1u);
    }
    EXPECT_EQ(root_->log_count("inserts agent_level failed"), c.failures);
  }
}

// A bulk insert that fails for some documents: the written agents' changes are consumed
// and only the rejected ones come back, so the next pass counts every change once. When
// the whole insert fails, every change comes back.
TEST_F(AgentLevel, FailedInsertReturnsOnlyTheRejectedChanges) {
  const struct {
    const char* name;
    bool reachable;
    std::vector<std::string> returned;
  } cases[] = {
      {"one document rejected", true, {"b"}},
      {"server unreachable", false, {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::reconnect_test_server();
    testing_support::drop_test_database();
    // "b" got a document of its own since the rebuild began: its insert is a duplicate.
    store_summary("b",
                  record_with({{&A::low_risk_c, 2}, {&A::risk_level, 0}, {&A::total_events, 2}}));
    g_first_insert = true;
    g_agent_risk_map.clear();
    const agent_risk_info change = record_with({{&A::low_risk_c, 1}, {&A::total_events, 1}}, 50);
    for (const char* agent : {"a", "b", "c"}) g_agent_risk_map[agent] = change;
    if (!c.reachable) testing_support::connect_dead_server();
    root_->log_mark();

    flush_agent_level();
    EXPECT_EQ(root_->log_count("inserts agent_level failed"), 1);
    ASSERT_EQ(g_agent_risk_map.size(), c.returned.size());
    for (const std::string& agent : c.returned) {
      ASSERT_EQ(g_agent_risk_map.count(agent), 1u) << agent;
      EXPECT_EQ(g_agent_risk_map[agent], change) << agent;
    }

    // The next pass writes what came back onto what is stored.
    testing_support::reconnect_test_server();
    g_first_insert = false;
    flush_agent_level();
    EXPECT_TRUE(g_agent_risk_map.empty());
    EXPECT_EQ(stored_number("a", "risk_low"), 1);
    EXPECT_EQ(stored_number("b", "risk_low"), 3);
    EXPECT_EQ(stored_number("c", "risk_low"), 1);
  }
}

TEST_F(AgentLevel, RestoredBatchNeverOverwritesNewerEntries) {
  std::map<std::string, agent_risk_info> batch = {
      {"1", record_with({{&A::worm_c, 1}})},
      {"2", record_with({{&A::worm_c, 2}})},
  };
  g_agent_risk_map["1"] = record_with({{&A::worm_c, 9}});
  restore_agent_risk_batch(batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(g_agent_risk_map["1"], record_with({{&A::worm_c, 9}}));
  EXPECT_EQ(g_agent_risk_map["2"], record_with({{&A::worm_c, 2}}));
}

}  // namespace
