#include "compare/cmp_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "agent/agent_info.h"
#include "agent_level/agent_risk.h"
#include "compare/pass_query.h"
#include "compare/pending.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/progress.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/tick.h"
#include "tests/unit/agent/registry_file.h"
#include "tests/unit/support/fault_proxy.h"
#include "tests/unit/support/test_support.h"

namespace {

using testing_support::json;

std::string strf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string strf(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

// Canonical extended JSON of a document; in `text`, 12L stands for an int64 12.
std::string canon(const bson_t* document) {
  char* s = bson_as_canonical_extended_json(document, nullptr);
  std::string out = s;
  bson_free(s);
  return out;
}
std::string canon(const std::string& text) {
  static const std::regex int64_literal(R"((-?\d+)L\b)");
  return canon(json(std::regex_replace(text, int64_literal, R"({"$$numberLong":"$1"})")).get());
}

// Documents of the event tables with what classification needs. All are unhandled, so
// every counted event shows up in the pending buffer under its log_id.
std::string virus(const char* id, int64_t time, const char* agent = "42", int state = 0) {
  return strf(R"({"_id":"%s","agent_id":"%s","time":%ld,"found_time":%ld,"state":%d,)"
              R"("risk_level":2,"virus_type":1})",
              id, agent, static_cast<long>(time), static_cast<long>(time), state);
}
std::string leak(const char* id, int64_t time) {
  return strf(R"({"_id":"%s","agent_id":"42","kb":"kb-%s","update_time":%ld,"found_time":%ld,)"
              R"("state":1,"risk_level":4})",
              id, id, static_cast<long>(time), static_cast<long>(time));
}
std::string domain(const char* id, int64_t time, bool with_source) {
  return strf(R"({"_id":"%s","agent_id":"42","domain_update_time":%ld,"found_time":%ld,)"
              R"("unhandle_file_count":2,"event_risk_level":1%s})",
              id, static_cast<long>(time), static_cast<long>(time),
              with_source ? R"(,"found_source":"dns")" : "");
}
std::string incident(const char* id, int64_t time_ms, bool merged, const char* agent = "42") {
  return strf(R"({"_id":"o-%s","incident_id":"%s","agent_id":"%s","update_time":%ld,)"
              R"("trigger_time":%ld,"dispose":0,"incident_level":4,"merged":%s})",
              id, id, agent, static_cast<long>(time_ms), static_cast<long>(time_ms),
              merged ? "true" : "false");
}
std::string bfa(const char* id, int64_t time) {
  return strf(R"({"_id":"%s","agent_id":"42","time":%ld,"found_time":%ld,"state":0})", id,
              static_cast<long>(time), static_cast<long>(time));
}

// The progress key of a table as "id@time" ("ObjectId(hex)@time" for an ObjectId id), or
// "none" when it has no entry.
std::string key_of(int32_t type) {
  auto it = g_last_keys.find(type);
  if (it == g_last_keys.end()) return "none";
  const last_key& key = it->second;
  const std::string id = key.last_update_id_type == BSON_TYPE_OID
                             ? "ObjectId(" + key.last_update_id + ")"
                             : key.last_update_id;
  return id + "@" + std::to_string(key.last_update_time);
}

// Extended JSON of an ObjectId made of a number, so that ids sort as the numbers do.
std::string oid(int n) {
  return strf(R"({"$oid":"65%022x"})", n);
}
std::string oid_hex(int n) {
  return strf("65%022x", n);
}

std::vector<std::string> pending_ids() {
  std::vector<std::string> ids;
  for (const auto& [id, info] : g_pending_events) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

void run_on_test_client(const char* collection, const char* filter, const char* update) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", collection);
  bson_error_t error;
  bool ok = update != nullptr
                ? mongoc_collection_update_one(coll, json(filter).get(), json(update).get(),
                                               nullptr, nullptr, &error)
                : mongoc_collection_delete_one(coll, json(filter).get(), nullptr, nullptr, &error);
  EXPECT_TRUE(ok) << error.message;
  mongoc_collection_destroy(coll);
}

// ---------------------------------------------------------------------------------------
// Query building and key reading: no database needed.

const char* const kProjection =
    R"("projection":{"state":1L,"risk_level":1L,"virus_type":1L,"agent_id":1L,)"
    R"("found_time":1L,"domain_update_time":1L,"time":1L,"update_time":1L,"kb":1L,)"
    R"("unhandle_file_count":1L,"event_risk_level":1L,"safety_state":1L,"incident_id":1L,)"
    R"("dispose":1L,"trigger_time":1L,"incident_level":1L})";

TEST(PassQuery, FilterSortAndLimitPerTableAndKey) {
  const bson_type_t text = BSON_TYPE_UTF8;
  const bson_type_t object_id = BSON_TYPE_OID;
  struct row {
    const char* name;
    int32_t table;
    const char* last_id;
    bson_type_t id_type;
    int64_t last_time;
    int64_t upper;
    const char* filter;
    const char* sort;
  };
  const row rows[] = {
      {"first pass", 1, "", text, 0, 1700000000,  //
       R"({"time":{"$gte":0L,"$lt":1700000000L}})", R"({"time":1L,"_id":1L})"},
      {"key with an id", 1, "L", text, 100, 1700000000,
       R"({"$or":[{"time":{"$gt":100L,"$lt":1700000000L}},{"time":100L,"_id":{"$gt":"L"}}]})",
       R"({"time":1L,"_id":1L})"},
      {"key with an ObjectId id", 1, "65a1b2c3d4e5f60718293a4b", object_id, 100, 1700000000,
       R"({"$or":[{"time":{"$gt":100L,"$lt":1700000000L}},)"
       R"({"time":100L,"_id":{"$gt":{"$oid":"65a1b2c3d4e5f60718293a4b"}}}]})",
       R"({"time":1L,"_id":1L})"},
      {"a first pass asks no id, whatever its type", 2, "", object_id, 0, 1700000000,
       R"({"time":{"$gte":0L,"$lt":1700000000L}})", R"({"time":1L,"_id":1L})"},
      {"leak_info_log never uses the id branch", 9, "L", text, 100, 1700000000,
       R"({"update_time":{"$gt":100L,"$lt":1700000000L}})", R"({"update_time":1L,"_id":1L})"},
      {"leak_info_log with an ObjectId key", 9, "65a1b2c3d4e5f60718293a4b", object_id, 100,
       1700000000, R"({"update_time":{"$gt":100L,"$lt":1700000000L}})",
       R"({"update_time":1L,"_id":1L})"},
      {"leak_info_log first pass", 9, "", text, 0, 1700000000,
       R"({"update_time":{"$gte":0L,"$lt":1700000000L}})", R"({"update_time":1L,"_id":1L})"},
      {"domain_log reads only found_source", 3, "L", text, 100, 1700000000,
       R"({"found_source":{"$exists":true},"$or":[{"domain_update_time":{"$gt":100L,)"
       R"("$lt":1700000000L}},{"domain_update_time":100L,"_id":{"$gt":"L"}}]})",
       R"({"domain_update_time":1L,"_id":1L})"},
      {"incident_msg: milliseconds, incident_id, unmerged", 10, "I", text, 100000, 1700000000000,
       R"({"$or":[{"update_time":{"$gt":100000L,"$lt":1700000000000L}},)"
       R"({"update_time":100000L,"incident_id":{"$gt":"I"}}],"merged":false})",
       R"({"update_time":1L,"incident_id":1L})"},
      {"incident_msg first pass", 10, "", text, 0, 1700000000000,
       R"({"update_time":{"$gte":0L,"$lt":1700000000000L},"merged":false})",
       R"({"update_time":1L,"incident_id":1L})"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    bson_owner filter(bson_new()), opts(bson_new());
    ASSERT_TRUE(build_pass_query(r.table, r.last_id, r.id_type, r.last_time, r.upper, 500000,
                                 filter.get(), opts.get()));
    EXPECT_EQ(canon(r.filter), canon(filter.get()));
    EXPECT_EQ(canon(std::string("{") + kProjection + R"(,"sort":)" + r.sort +
                    R"(,"limit":500000L,"batchSize":10000})"),
              canon(opts.get()));
  }

  for (int32_t table : {0, 5, 6, 7, 11}) {
    bson_owner filter(bson_new()), opts(bson_new());
    EXPECT_FALSE(build_pass_query(table, "", BSON_TYPE_UTF8, 0, 1, 1, filter.get(), opts.get()))
        << table;
    EXPECT_TRUE(bson_empty(filter.get()) && bson_empty(opts.get())) << table;
  }
  // An ObjectId key must be ObjectId text.
  for (const char* id : {"65a1b2c3d4e5f60718293a4", "65a1b2c3d4e5f60718293a4g"}) {
    bson_owner filter(bson_new()), opts(bson_new());
    EXPECT_FALSE(build_pass_query(1, id, BSON_TYPE_OID, 5, 9, 1, filter.get(), opts.get())) << id;
    EXPECT_TRUE(bson_empty(filter.get()) && bson_empty(opts.get())) << id;
  }
}

TEST(PassQuery, UpperBoundPerTable) {
  g_last_keys.clear();
  const int64_t now = 1700000000;
  for (int32_t table : {1, 2, 3, 8, 9}) EXPECT_EQ(now, pass_upper_bound(table, now)) << table;
  EXPECT_EQ(now * 1000, pass_upper_bound(10, now));
  // anti_bfa_log stops where the brute-force merge has got to.
  EXPECT_EQ(0, pass_upper_bound(4, now));
  g_last_keys[5].last_update_time = 777;
  EXPECT_EQ(777, pass_upper_bound(4, now));
  g_last_keys.clear();
}

TEST(PassQuery, SaveLastUpdateTimeReadsEachTablesKeyFields) {
  testing_support::test_root root;
  g_last_keys.clear();
  struct row {
    int32_t table;
    const char* document;
    bool ok;
    const char* key;
  };
  const row rows[] = {
      {1, R"({"_id":"a","time":5,"update_time":9})", true, "a@5"},
      {3, R"({"_id":"d","domain_update_time":6,"time":9})", true, "d@6"},
      {9, R"({"_id":"l","update_time":7,"time":9})", true, "l@7"},
      {10, R"({"_id":"x","incident_id":"inc","update_time":8000})", true, "inc@8000"},
      {2, R"({"_id":"w"})", false, "none"},
      {8, R"({"time":5})", false, "none"},
      {10, R"({"_id":"x","update_time":8000})", false, "inc@8000"},
      // ObjectIds keep their type; an id of another type is no key.
      {9, R"({"_id":{"$oid":"650000000000000000000001"},"update_time":11})", true,
       "ObjectId(650000000000000000000001)@11"},
      {4, R"({"_id":{"$oid":"650000000000000000000002"},"time":12})", true,
       "ObjectId(650000000000000000000002)@12"},
      {8, R"({"_id":17,"time":13})", false, "none"},
      {10, R"({"incident_id":{"$oid":"650000000000000000000003"},"update_time":14})", true,
       "ObjectId(650000000000000000000003)@14"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.document);
    EXPECT_EQ(r.ok, save_last_update_time(r.table, json(r.document).get()));
    EXPECT_EQ(r.key, key_of(r.table));
  }
  EXPECT_FALSE(save_last_update_time(1, nullptr));
  EXPECT_TRUE(root.log_contains("invalid doc and ignore this event"));
  EXPECT_EQ("a@5", key_of(1));
  g_last_keys.clear();
}

// ---------------------------------------------------------------------------------------
// Passes against the test server, with a registry file of our own.

class CmpPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::connect_test_db();
    g_last_keys.clear();
    g_agent_risk_map.clear();
    g_pending_events.clear();
    g_pending_db_ids.clear();
    g_pending_in_db = 0;
    g_first_insert = true;
    g_update_settings = update_settings{};
    registry_file::write(root, {{42, 3, 1}, {70, 7, 0}, {80, 8, 1}, {92, 0, 2}, {10, 0, 0}});
    ASSERT_EQ(0, rdb_attach(&g_rdb_handle));
    g_agent_info_cache = new agent_info_cache(g_rdb_handle);
    registry_file::manual_ticks();
    root.log_mark();
  }
  void TearDown() override {
    delete g_agent_info_cache;
    g_agent_info_cache = nullptr;
    rdb_detach(&g_rdb_handle);
    timer_set_manual(false, 0);
  }

  static void insert(const char* collection, const std::vector<std::string>& documents) {
    for (const std::string& d : documents) testing_support::insert_json(collection, d);
  }

  testing_support::test_root root;
};

TEST_F(CmpPassTest, BatchesPageThroughATableWithoutLossOrDoubleCounting) {
  g_update_settings.update_agent_level_query_count = 5;
  // Ids run against time order, and a page boundary falls inside a run of equal times.
  insert("virus_file_log",
         {virus("v07", 100), virus("v08", 100), virus("v09", 100), virus("v10", 100),
          virus("v11", 100), virus("v12", 100), virus("v01", 101), virus("v02", 101),
          virus("v03", 101), virus("v04", 101), virus("v05", 101), virus("v06", 101),
          virus("v99", time(nullptr) + 3600)});
  const struct {
    const char* key;
    size_t counted;
  } passes[] = {{"v11@100", 5}, {"v04@101", 10}, {"v06@101", 12}};
  for (const auto& p : passes) {
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ(p.key, key_of(1));
    EXPECT_EQ(p.counted, g_pending_events.size());
  }

  // Exhausted: an empty batch leaves the key where it was; the future document is never
  // read.
  ASSERT_TRUE(cmp_and_update_agent_inc(1));
  EXPECT_EQ("v06@101", key_of(1));
  EXPECT_EQ(12u, g_pending_events.size());
  EXPECT_EQ(0u, g_pending_events.count("v99virus_file_log"));

  const agent_risk_info& agent = g_agent_risk_map["42"];
  EXPECT_EQ(12, agent.total_events);
  EXPECT_EQ(12, agent.high_risk_c);
  EXPECT_EQ(12, agent.trojan_c);
  EXPECT_EQ(101u, agent.last_risk_time);
  EXPECT_TRUE(root.log_contains("calc id v07virus_file_log state 0 risk_level 2"));
}

// A writer that stamped its event with an earlier second commits it after a pass found
// nothing: the next pass still asks for that range and counts the event.
TEST_F(CmpPassTest, EventCommittedAfterItsSecondIsStillRead) {
  const int64_t now = time(nullptr);
  struct row {
    const char* name;
    int32_t table;
    std::vector<std::string> before;  // read by the first pass
    std::string late;                 // committed after the empty pass
    const char* log_id;
  };
  const row rows[] = {
      {"quiet table", 1, {}, virus("late", now - 1), "latevirus_file_log"},
      {"after a consumed document",
       1,
       {virus("v1", now - 100)},
       virus("late", now - 1),
       "latevirus_file_log"},
      {"leak_info_log",
       9,
       {leak("l1", now - 100)},
       leak("late", now - 1),
       "kb-late42leak_info_log"},
      {"incident_msg, in milliseconds",
       10,
       {incident("i1", (now - 100) * 1000, false)},
       incident("late", (now - 1) * 1000, false),
       "lateincident_msg"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_pending_events.clear();
    insert(get_table_name(r.table), r.before);
    ASSERT_TRUE(cmp_and_update_agent_inc(r.table));
    const std::string key = key_of(r.table);
    ASSERT_TRUE(cmp_and_update_agent_inc(r.table));  // finds nothing
    EXPECT_EQ(key, key_of(r.table));

    insert(get_table_name(r.table), {r.late});
    ASSERT_TRUE(cmp_and_update_agent_inc(r.table));
    EXPECT_EQ(1u, g_pending_events.count(r.log_id));
    EXPECT_EQ(r.before.size() + 1, g_pending_events.size());
  }
}

// ObjectId ids (what MongoDB gives a document inserted without one) page through a table
// like string ids do, ties of one second included where the table breaks them by id.
TEST_F(CmpPassTest, ObjectIdTablesPageThroughWithoutLoss) {
  g_update_settings.update_agent_level_query_count = 2;
  struct row {
    const char* name;
    int32_t table;
    std::vector<std::string> documents;
    std::vector<std::string> keys;  // after each pass
  };
  auto virus_oid = [](int n, int64_t time) {
    return strf(R"({"_id":%s,"agent_id":"42","time":%ld,"found_time":%ld,"state":0,)"
                R"("risk_level":2,"virus_type":1})",
                oid(n).c_str(), static_cast<long>(time), static_cast<long>(time));
  };
  auto leak_oid = [](int n, int64_t time) {
    return strf(R"({"_id":%s,"agent_id":"42","kb":"kb%d","update_time":%ld,"found_time":%ld,)"
                R"("state":1,"risk_level":4})",
                oid(n).c_str(), n, static_cast<long>(time), static_cast<long>(time));
  };
  const row rows[] = {
      {"virus_file_log, ids breaking ties",
       1,
       {virus_oid(5, 100), virus_oid(3, 100), virus_oid(4, 100), virus_oid(1, 101),
        virus_oid(2, 101)},
       {"ObjectId(" + oid_hex(4) + ")@100", "ObjectId(" + oid_hex(1) + ")@101",
        "ObjectId(" + oid_hex(2) + ")@101", "ObjectId(" + oid_hex(2) + ")@101"}},
      {"leak_info_log",
       9,
       {leak_oid(1, 100), leak_oid(2, 101), leak_oid(3, 102), leak_oid(4, 103), leak_oid(5, 104)},
       {"ObjectId(" + oid_hex(2) + ")@101", "ObjectId(" + oid_hex(4) + ")@103",
        "ObjectId(" + oid_hex(5) + ")@104", "ObjectId(" + oid_hex(5) + ")@104"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_pending_events.clear();
    g_agent_risk_map.clear();
    root.log_mark();
    insert(get_table_name(r.table), r.documents);
    for (const std::string& key : r.keys) {
      ASSERT_TRUE(cmp_and_update_agent_inc(r.table));
      EXPECT_EQ(key, key_of(r.table));
    }
    EXPECT_EQ(r.documents.size(), g_pending_events.size());
    const agent_risk_info& agent = g_agent_risk_map["42"];
    EXPECT_EQ(static_cast<int32_t>(r.documents.size()),
              r.table == 9 ? agent.high_leak_c : agent.high_risk_c);
    EXPECT_FALSE(root.log_contains("save_last_update_time failed")) << root.log_text();
  }
  EXPECT_TRUE(root.log_contains("save last key: leak_info_log|log_id=" + oid_hex(5) + "|time=104"));
  EXPECT_EQ(1u, g_pending_events.count("kb542leak_info_log"));
  // The hex text makes the log_id of an ObjectId document.
  testing_support::drop_test_database();
  g_last_keys.clear();
  g_pending_events.clear();
  insert("virus_file_log", {virus_oid(7, 100)});
  ASSERT_TRUE(cmp_and_update_agent_inc(1));
  EXPECT_EQ(1u, g_pending_events.count(oid_hex(7) + "virus_file_log"));
}

TEST_F(CmpPassTest, OnlyDocumentsAfterTheKeyAndInsideTheTablesBoundsAreRead) {
  const int64_t now = time(nullptr);
  struct row {
    const char* name;
    int32_t table;
    const char* key_id;  // null: no key
    int64_t key_time;
    std::vector<std::string> documents;
    std::vector<std::string> counted;
  };
  const row rows[] = {
      {"the key's own time with a greater id, and later times",
       1,
       "m",
       100,
       {virus("a", 100), virus("n", 100), virus("b", 101), virus("m", 100)},
       {"bvirus_file_log", "nvirus_file_log"}},
      {"leak_info_log: the key's own time is never read again",
       9,
       "m",
       100,
       {leak("n", 100), leak("a", 101)},
       {"kb-a42leak_info_log"}},
      {"domain_log without found_source",
       3,
       nullptr,
       0,
       {domain("d1", 100, true), domain("d2", 100, false)},
       {"d1domain_log"}},
      {"merged incidents",
       10,
       nullptr,
       0,
       {incident("i1", 100000, false), incident("i2", 100000, true)},
       {"i1incident_msg"}},
      {"incidents from now on, in milliseconds",
       10,
       nullptr,
       0,
       {incident("i3", (now - 10) * 1000, false), incident("i4", (now + 60) * 1000, false)},
       {"i3incident_msg"}},
      {"times from now on",
       1,
       nullptr,
       0,
       {virus("p", now - 10), virus("f", now + 60)},
       {"pvirus_file_log"}},
      {"anti_bfa_log up to the merge's time",
       4,
       nullptr,
       0,
       {bfa("b1", 499), bfa("b2", 500)},
       {"b1anti_bfa_log"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_pending_events.clear();
    g_last_keys[5].last_update_time = 500;
    if (r.key_id != nullptr) save_last_key(r.table, r.key_id, r.key_time);
    insert(get_table_name(r.table), r.documents);
    ASSERT_TRUE(cmp_and_update_agent_inc(r.table));
    EXPECT_EQ(r.counted, pending_ids());
  }
}

TEST_F(CmpPassTest, KeyMovesToTheLastConsumedDocument) {
  const char* const unclassified[] = {
      R"({"_id":"x1","time":100,"found_time":100,"state":0,"risk_level":2,"virus_type":1})",
      R"({"_id":"x2","agent_id":"42","time":101,"found_time":101,"state":0,"risk_level":2})",
  };
  struct row {
    const char* name;
    int32_t table;
    const char* start;  // key before the pass ("id@time"), or null for none
    int64_t limit;
    std::vector<std::string> documents;
    const char* key;
    const char* log;  // expected message, or null
  };
  const row rows[] = {
      {"empty batch", 1, nullptr, 500000, {}, "none", nullptr},
      {"empty batch after a key", 1, "k@50", 500000, {}, "k@50", nullptr},
      {"empty incident batch", 10, "inc@5000", 500000, {}, "inc@5000", nullptr},
      {"anti_bfa_log: an empty batch moves on to the merge's time",
       4,
       "b@50",
       500000,
       {},
       "@500",
       nullptr},
      {"no document classifies",
       1,
       "k@50",
       500000,
       {unclassified[0], unclassified[1]},
       "k@50",
       "get virus_type faild"},
      {"a full batch of documents that do not classify is stepped over",
       1,
       "k@50",
       2,
       {unclassified[0], unclassified[1]},
       "x2@101",
       "cmp virus_file_log: none of 2 documents classified, key moved past them"},
      {"a full batch without a readable key stays",
       10,
       nullptr,
       2,
       {R"({"agent_id":"42","update_time":1000,"trigger_time":1000,"merged":false})",
        R"({"agent_id":"42","update_time":2000,"trigger_time":2000,"merged":false})"},
       "none",
       "save_last_update_time failed: incident_msg"},
      {"trailing documents that do not classify stay ahead of the key",
       1,
       nullptr,
       500000,
       {virus("v1", 100), R"({"_id":"v2","time":101,"found_time":101,"state":0})"},
       "v1@100",
       nullptr},
      {"unregistered agent",
       1,
       nullptr,
       500000,
       {virus("v1", 100, "99")},
       "v1@100",
       "agent: 99 not exist"},
      {"invalid event",
       1,
       nullptr,
       500000,
       {R"({"_id":"v1","agent_id":"42","time":100,"found_time":100,"state":0,"risk_level":2,)"
        R"("virus_type":14})"},
       "v1@100",
       "invaild virus_type 14,log_id v1virus_file_log"},
      {"unreadable key leaves the key as it was",
       9,
       nullptr,
       500000,
       {R"({"_id":17,"agent_id":"42","kb":"k","update_time":100,)"
        R"("found_time":100,"state":1,"risk_level":4})"},
       "none",
       "save_last_update_time failed: leak_info_log"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_last_keys[5].last_update_time = 500;
    g_update_settings.update_agent_level_query_count = r.limit;
    if (r.start != nullptr) {
      const std::string start = r.start;
      const size_t at = start.find('@');
      save_last_key(r.table, start.substr(0, at), std::stoll(start.substr(at + 1)));
    }
    root.log_mark();
    insert(get_table_name(r.table), r.documents);
    ASSERT_TRUE(cmp_and_update_agent_inc(r.table));
    EXPECT_EQ(r.key, key_of(r.table));
    if (r.log != nullptr) {
      EXPECT_TRUE(root.log_contains(r.log)) << root.log_text();
    }
  }
}

TEST_F(CmpPassTest, DocumentsThatDidNotClassifyAreReadAgainNextPass) {
  insert("virus_file_log",
         {virus("v1", 100), R"({"_id":"v2","time":101,"found_time":101,"state":0,)"
                            R"("risk_level":2,"virus_type":1})"});
  ASSERT_TRUE(cmp_and_update_agent_inc(1));
  EXPECT_EQ("v1@100", key_of(1));
  EXPECT_EQ(std::vector<std::string>{"v1virus_file_log"}, pending_ids());

  run_on_test_client("virus_file_log", R"({"_id":"v2"})", R"({"$set":{"agent_id":"42"}})");
  ASSERT_TRUE(cmp_and_update_agent_inc(1));
  EXPECT_EQ("v2@101", key_of(1));
  EXPECT_EQ((std::vector<std::string>{"v1virus_file_log", "v2virus_file_log"}), pending_ids());
}

TEST_F(CmpPassTest, FailedQueryLeavesTheKeyWhereItWas) {
  struct row {
    const char* name;
    const char* url;  // null: no client at all
  };
  const row rows[] = {
      {"no connection", nullptr},
      {"server unreachable", "mongodb://127.0.0.1:1/?serverSelectionTimeoutMS=300"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::connect_test_db();
    g_last_keys.clear();
    g_pending_events.clear();
    insert("virus_file_log", {virus("v1", 100)});
    save_last_key(1, "k", 50);

    if (r.url == nullptr) {
      db_conn.close();
    } else {
      db_conn.set_url(r.url);
      ASSERT_TRUE(db_conn.connect());
    }
    EXPECT_FALSE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("k@50", key_of(1));

    // The range is read once the database answers again.
    testing_support::reconnect_test_server();
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("v1@100", key_of(1));
    EXPECT_EQ(std::vector<std::string>{"v1virus_file_log"}, pending_ids());
  }
}

// The server stops answering for the pending collection while the pass reads its table:
// the failing event is read again by the next pass and counted once.
TEST_F(CmpPassTest, EventThatFailedOnTheNetworkIsReadAgainAndCountedOnce) {
  struct row {
    const char* name;
    std::vector<std::string> documents;
    const char* key_after_failure;
  };
  const row rows[] = {
      {"failure on the first document", {virus("d2", 101)}, "k@50"},
      // d1 is buffered already, so it needs no look-up in the collection.
      {"failure after a consumed document", {virus("d1", 100), virus("d2", 101)}, "d1@100"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::reconnect_test_server();
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_agent_risk_map.clear();
    g_pending_db_ids.clear();
    g_pending_events.clear();
    g_pending_events["d1virus_file_log"] = pending_info{1, 2};
    g_agent_risk_map["42"].high_risk_c = 1;  // what d1 was counted with
    g_pending_in_db = 1;
    save_last_key(1, "k", 50);
    root.log_mark();
    insert(get_table_name(1), r.documents);

    {
      using testing_support::fault_proxy;
      fault_proxy proxy(testing_support::test_mongo_url());
      proxy.arm_marker(fault_proxy::fault::drop_request, "agent_level_pending_log",
                       fault_proxy::every);
      db_conn.set_url(proxy.url(fault_proxy::kShortTimeouts).c_str());
      ASSERT_TRUE(db_conn.connect());
      EXPECT_FALSE(cmp_and_update_agent_inc(1));
      EXPECT_GE(proxy.broken(), 1);
    }
    EXPECT_EQ(r.key_after_failure, key_of(1));
    EXPECT_TRUE(
        root.log_contains("deal_with_event failed table is virus_file_log ,id is "
                          "d2virus_file_log"))
        << root.log_text();
    EXPECT_EQ(1, g_agent_risk_map["42"].high_risk_c);
    EXPECT_EQ(0u, g_pending_events.count("d2virus_file_log"));

    testing_support::reconnect_test_server();
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("d2@101", key_of(1));
    const agent_risk_info& agent = g_agent_risk_map["42"];
    EXPECT_EQ(2, agent.high_risk_c);  // d1 and d2, each once
    EXPECT_EQ(1, agent.trojan_c);
    EXPECT_EQ(1, agent.total_events);
    EXPECT_EQ(1u, g_pending_events.count("d2virus_file_log"));
  }
}

// A pending document korveld cannot use, or a queue the server refuses to take, does not
// hold up the events after it: each is counted once and the key moves on.
TEST_F(CmpPassTest, UnusablePendingDocumentsAndRefusedEntriesDoNotStallTheTable) {
  struct row {
    const char* name;
    std::function<void()> setup;
    const char* log;
    std::vector<std::string> stored;  // the pending collection afterwards
  };
  const row rows[] = {
      {"pending document without virus_type",
       [] {
         testing_support::insert_json("agent_level_pending_log",
                                      R"({"_id":"Xvirus_file_log","risk_level":2})");
       },
       "pending document Xvirus_file_log unusable (virus_type missing): the event is taken as new",
       {R"({"_id":"Xvirus_file_log","risk_level":2L,"virus_type":1L})"}},
      {"pending document with a category of another type",
       [] {
         testing_support::insert_json(
             "agent_level_pending_log",
             R"({"_id":"Xvirus_file_log","risk_level":2,"virus_type":"1"})");
       },
       "pending document Xvirus_file_log unusable (virus_type is not a number)",
       {R"({"_id":"Xvirus_file_log","risk_level":2L,"virus_type":1L})"}},
      {"a full buffer whose entry no server can store",
       [] {
         g_update_settings.max_update_pending_event = 1;
         g_pending_events[std::string(17 << 20, 'p')] = pending_info{1, 2};
       },
       "bytes is larger than any server stores): kept in memory",
       {R"({"_id":"Xvirus_file_log","risk_level":2L,"virus_type":1L})",
        R"({"_id":"Yvirus_file_log","risk_level":2L,"virus_type":1L})",
        R"({"_id":"Zvirus_file_log","risk_level":2L,"virus_type":1L})"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_agent_risk_map.clear();
    g_pending_db_ids.clear();
    g_pending_events.clear();
    g_update_settings = update_settings{};
    g_pending_in_db = 1;
    root.log_mark();
    r.setup();
    insert("virus_file_log", {virus("X", 100), virus("Y", 101), virus("Z", 102)});

    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("Z@102", key_of(1));
    EXPECT_TRUE(root.log_contains(r.log)) << root.log_text();
    EXPECT_FALSE(root.log_contains("deal_with_event failed"));
    std::string stored;
    for (const std::string& d : r.stored) stored += canon(d) + "\n";
    EXPECT_EQ(stored, testing_support::find_json("agent_level_pending_log"));
    // Seen again, still unhandled: nothing is counted twice.
    run_on_test_client("virus_file_log", R"({"_id":"X"})", R"({"$set":{"time":103}})");
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("X@103", key_of(1));
    const agent_risk_info& agent = g_agent_risk_map["42"];
    EXPECT_EQ(3, agent.high_risk_c);
    EXPECT_EQ(3, agent.trojan_c);
    EXPECT_EQ(3, agent.total_events);
  }
}

TEST_F(CmpPassTest, WithoutAgentInformationEventsAreSkippedButConsumed) {
  struct row {
    const char* name;
    bool drop_cache;  // else the registry fails
  };
  // The cache goes last: the registry row needs it.
  for (const row& r : {row{"registry failing", false}, row{"no cache", true}}) {
    SCOPED_TRACE(r.name);
    testing_support::drop_test_database();
    g_last_keys.clear();
    g_agent_risk_map.clear();
    g_pending_events.clear();
    registry_file::manual_ticks();
    root.log_mark();
    if (r.drop_cache) {
      delete g_agent_info_cache;
      g_agent_info_cache = nullptr;
    } else {
      registry_file::exec(root, "DROP TABLE agent;");
    }
    insert("virus_file_log", {virus("v1", 100), virus("v2", 101), virus("v3", 102)});
    ASSERT_TRUE(cmp_and_update_agent_inc(1));
    EXPECT_EQ("v3@102", key_of(1));
    EXPECT_TRUE(g_pending_events.empty());
    EXPECT_TRUE(g_agent_risk_map.empty());
    EXPECT_EQ(1, root.log_count("agent: 42 query agent info failed")) << root.log_text();
  }
}

TEST_F(CmpPassTest, IncidentsCountOnlyForHostTypes0And1OffPlatforms7And8) {
  // Agent: host_plat, host_type from the registry of the fixture.
  struct row {
    const char* agent;
    bool counted;
  };
  const row rows[] = {{"42", true}, {"10", true}, {"70", false}, {"80", false}, {"92", false}};
  std::vector<std::string> expected;
  for (const row& r : rows) {
    const std::string id = std::string("inc-") + r.agent;
    testing_support::insert_json("incident_msg", incident(id.c_str(), 100000, false, r.agent));
    if (r.counted) expected.push_back(id + "incident_msg");
  }
  // The same agents' other events count.
  insert("virus_file_log", {virus("v70", 100, "70"), virus("v92", 100, "92")});

  ASSERT_TRUE(cmp_and_update_agent_inc(10));
  ASSERT_TRUE(cmp_and_update_agent_inc(1));
  expected.push_back("v70virus_file_log");
  expected.push_back("v92virus_file_log");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, pending_ids());
  EXPECT_EQ(0, g_agent_risk_map["70"].adv_threat_c);
  EXPECT_EQ(1, g_agent_risk_map["70"].trojan_c);
  EXPECT_TRUE(root.log_contains("agent: 70 no need cal adv, skip, host_plat: 7, host_type: 0"));
  EXPECT_TRUE(root.log_contains("agent: 92 no need cal adv, skip, host_plat: 0, host_type: 2"));
  EXPECT_EQ("inc-92@100000", key_of(10));
}

}  // namespace
