// Component tests of the threat statistics cache against the live test server. The local
// time zone is pinned (UTC unless a test says otherwise) because the seven-day window and
// the "dated today" test depend on it.
#include "stats/ransom_virus_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "db/dbconn.h"
#include "tests/unit/support/test_support.h"

namespace {

using testing_support::bson_ptr;
using testing_support::insert_json;
using testing_support::json;

constexpr const char* kDeadServer = "mongodb://127.0.0.1:1/?serverSelectionTimeoutMS=300";

void set_time_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

std::string canonical(const bson_t* doc) {
  char* text = bson_as_canonical_extended_json(doc, nullptr);
  std::string out = text;
  bson_free(text);
  return out;
}

std::string canonical(const std::string& json_text) {
  return canonical(json(json_text).get());
}

std::string num(int64_t v) {
  return std::to_string(v);
}

// The cache_data document with unique_key 1 as the daemon wrote it.
struct saved_cache {
  int64_t documents = 0;  // how many documents carry unique_key 1
  std::string desc;
  int64_t update_time = -1;
  std::string counts;  // canonical JSON of the cache_data subdocument
};

saved_cache read_saved_cache() {
  saved_cache out;
  out.documents = testing_support::count_docs("cache_data", R"({"unique_key": 1})");
  std::string lines = testing_support::find_json("cache_data", R"({"unique_key": 1})");
  if (lines.empty()) return out;
  bson_ptr doc = json(lines.substr(0, lines.find('\n')));
  bson_iter_t it;
  if (bson_iter_init_find(&it, doc.get(), "desc") && BSON_ITER_HOLDS_UTF8(&it)) {
    out.desc = bson_iter_utf8(&it, nullptr);
  }
  if (bson_iter_init_find(&it, doc.get(), "update_time") && BSON_ITER_HOLDS_INT64(&it)) {
    out.update_time = bson_iter_int64(&it);
  }
  if (bson_iter_init_find(&it, doc.get(), "cache_data") && BSON_ITER_HOLDS_DOCUMENT(&it)) {
    const uint8_t* data = nullptr;
    uint32_t len = 0;
    bson_iter_document(&it, &len, &data);
    bson_t sub;
    if (bson_init_static(&sub, data, len)) out.counts = canonical(&sub);
  }
  return out;
}

// The cache_data subdocument as it must be stored: four int32 fields in this order.
std::string expected_counts(int32_t virus, int32_t behavior, int32_t bfa, int32_t interception) {
  auto i32 = [](int32_t v) { return R"({"$numberInt": ")" + std::to_string(v) + R"("})"; };
  return canonical(R"({"ransom_virus_count": )" + i32(virus) + R"(, "ransom_behavior_count": )" +
                   i32(behavior) + R"(, "anti_bfa_count": )" + i32(bfa) +
                   R"(, "interception_count": )" + i32(interception) + "}");
}

void update_json(const char* collection, const std::string& selector, const std::string& update) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", collection);
  bson_error_t error;
  if (!mongoc_collection_update_one(coll, json(selector).get(), json(update).get(), nullptr,
                                    nullptr, &error)) {
    ADD_FAILURE() << "update of " << collection << " failed: " << error.message;
  }
  mongoc_collection_destroy(coll);
}

class StatsCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_time_zone("UTC");
    // Keep a test from straddling local midnight, where "dated today" changes meaning.
    int64_t left = today_end_time() - static_cast<int64_t>(time(nullptr));
    if (left < 20) std::this_thread::sleep_for(std::chrono::seconds(left + 2));
    now_ = static_cast<int64_t>(time(nullptr));

    reset_threat_counts_state();
    testing_support::connect_test_db();
    use_statistics_server(testing_support::test_mongo_url().c_str());
    root_.log_mark();
  }

  void TearDown() override {
    use_statistics_server(nullptr);
    set_time_zone("UTC");
  }

  // Points statistics_client at `url` (null: no client at all).
  void use_statistics_server(const char* url) {
    if (statistics_client != nullptr) mongoc_client_destroy(statistics_client);
    statistics_client = url == nullptr ? nullptr : mongoc_client_new(url);
  }

  // One refresh; the log then shows only what this refresh did.
  void refresh() {
    root_.log_mark();
    g_threat_counts.cache_ransom_virus_data();
  }

  void expect_counts(int32_t a, int32_t b, int32_t c, int32_t d) {
    EXPECT_EQ(g_threat_counts.counts[0], a);
    EXPECT_EQ(g_threat_counts.counts[1], b);
    EXPECT_EQ(g_threat_counts.counts[2], c);
    EXPECT_EQ(g_threat_counts.counts[3], d);
  }

  // Source collections whose freshness test asked for a recount, in the order asked.
  std::vector<std::string> recounted() const {
    const std::string marker = "need to update cache ";
    std::string log = root_.log_text();
    std::vector<std::string> out;
    for (size_t pos = log.find(marker); pos != std::string::npos; pos = log.find(marker, pos)) {
      pos += marker.size();
      out.push_back(log.substr(pos, log.find(',', pos) - pos));
    }
    return out;
  }

  // Counts actually made (a negative counter is recounted without a freshness decision).
  int counts_made() const { return root_.log_count("mongodb_data_count info="); }

  // One record dated now in every source; totals 1, 2, 3 and 4.
  void seed_today(int64_t t) {
    insert_json("virus_file_log", R"({"time": )" + num(t) + R"(, "state": 1, "virus_type": 4})");
    for (int i = 0; i < 2; ++i) {
      insert_json("behavior_log", R"({"time": )" + num(t) + R"(, "state": 10})");
    }
    for (int i = 0; i < 3; ++i) {
      insert_json("anti_bfa_origin_log", R"({"time": )" + num(t) + R"(, "state": 1})");
    }
    insert_json("interception_log", R"({"last_time": )" + num(t) + R"(, "reject_times": 4})");
  }

  testing_support::test_root root_{4};
  int64_t now_ = 0;
};

const std::vector<std::string> kAllSources = {"virus_file_log", "behavior_log",
                                              "anti_bfa_origin_log", "interception_log"};

TEST_F(StatsCacheTest, FirstRunRecountsAllAndCreatesTheDocument) {
  insert_json("cache_data", R"({"unique_key": 2, "desc": "someone else's"})");

  refresh();
  EXPECT_EQ(recounted(), kAllSources);
  EXPECT_EQ(root_.log_count("mongodb_data_count info=0"), 4);
  EXPECT_TRUE(root_.log_contains("cache_ransom_virus_data 0,0,0,0"));

  ASSERT_EQ(g_threat_counts.mongodb_data_save(), 0);
  saved_cache saved = read_saved_cache();
  EXPECT_EQ(saved.documents, 1);
  EXPECT_EQ(saved.desc, "cache program is korveld");
  EXPECT_GE(saved.update_time, now_);
  EXPECT_LE(saved.update_time, static_cast<int64_t>(time(nullptr)));
  EXPECT_EQ(saved.counts, expected_counts(0, 0, 0, 0));
  EXPECT_EQ(
      testing_support::count_docs("cache_data", R"({"unique_key": 2, "desc": "someone else's"})"),
      1);
  EXPECT_EQ(testing_support::count_docs("cache_data"), 2);
}

TEST_F(StatsCacheTest, UnchangedSourcesDatedTodayAreNotRecountedButTheDocumentIsRewritten) {
  seed_today(now_);
  refresh();
  EXPECT_EQ(recounted(), kAllSources);
  expect_counts(1, 2, 3, 4);
  ASSERT_EQ(g_threat_counts.mongodb_data_save(), 0);
  EXPECT_EQ(read_saved_cache().counts, expected_counts(1, 2, 3, 4));

  // Age the stored document and give it a field of someone else's: the next save must
  // refresh update_time and leave that field alone.
  update_json("cache_data", R"({"unique_key": 1})",
              R"({"$set": {"update_time": {"$numberLong": "0"}, "note": "kept"}})");

  refresh();
  EXPECT_TRUE(recounted().empty());
  EXPECT_EQ(counts_made(), 0);
  EXPECT_EQ(root_.log_count("collection: "), 4);  // the four freshness tests still ran
  expect_counts(1, 2, 3, 4);

  ASSERT_EQ(g_threat_counts.mongodb_data_save(), 0);
  saved_cache saved = read_saved_cache();
  EXPECT_EQ(saved.documents, 1);
  EXPECT_GE(saved.update_time, now_);
  EXPECT_EQ(saved.counts, expected_counts(1, 2, 3, 4));
  EXPECT_EQ(testing_support::count_docs("cache_data", R"({"unique_key": 1, "note": "kept"})"), 1);
}

TEST_F(StatsCacheTest, ANewRecordRecountsOnlyItsOwnSource) {
  seed_today(now_);
  refresh();
  expect_counts(1, 2, 3, 4);

  insert_json("behavior_log", R"({"time": )" + num(now_ + 1) + R"(, "state": 7})");
  refresh();
  EXPECT_EQ(recounted(), std::vector<std::string>{"behavior_log"});
  EXPECT_TRUE(
      root_.log_contains("need to update cache behavior_log, last update time: " + num(now_)));
  expect_counts(1, 3, 3, 4);

  refresh();
  EXPECT_TRUE(recounted().empty());
}

// Same day of month in an earlier month: the month must be compared as well.
int64_t same_day_earlier_month(int64_t now) {
  time_t t = static_cast<time_t>(now);
  struct tm today {};
  localtime_r(&t, &today);
  for (int back = 1; back <= 12; ++back) {
    struct tm c = today;
    c.tm_mon -= back;
    c.tm_isdst = -1;
    time_t r = mktime(&c);
    struct tm check {};
    localtime_r(&r, &check);
    if (check.tm_mday == today.tm_mday) return static_cast<int64_t>(r);
  }
  return 0;
}

// The same day and month a year ago: not today either.
int64_t same_day_a_year_ago(int64_t now) {
  time_t t = static_cast<time_t>(now);
  struct tm c {};
  localtime_r(&t, &c);
  c.tm_year -= 1;
  if (c.tm_mon == 1 && c.tm_mday == 29) c.tm_mday = 28;  // no 29 February a year ago
  c.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&c));
}

TEST_F(StatsCacheTest, ANewestRecordNotDatedTodayIsRecountedOnEveryRun) {
  const struct {
    const char* name;
    int64_t newest;
  } cases[] = {
      {"two days ago", now_ - 2 * 86400},
      {"same day of an earlier month", same_day_earlier_month(now_)},
      {"same day a year ago", same_day_a_year_ago(now_)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.newest, 0);
    reset_threat_counts_state();
    testing_support::drop_test_database();
    seed_today(now_);
    update_json("virus_file_log", "{}", R"({"$set": {"time": )" + num(c.newest) + "}}");
    refresh();
    EXPECT_EQ(recounted(), kAllSources);
    for (int run = 0; run < 2; ++run) {
      refresh();
      EXPECT_EQ(recounted(), std::vector<std::string>{"virus_file_log"}) << "run " << run;
      EXPECT_EQ(counts_made(), 1) << "run " << run;
    }
  }
}

// "Dated today" is judged on the local calendar: a record that is today locally but on
// another day in UTC must not trigger a recount.
TEST_F(StatsCacheTest, DatedTodayIsJudgedInLocalTime) {
  time_t now = time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  int64_t record_time = 0;
  if (utc.tm_hour < 12) {
    // UTC+12: local midnight is still yesterday in UTC.
    set_time_zone("XYZ-12");
    struct tm local {};
    localtime_r(&now, &local);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 1;
    record_time = static_cast<int64_t>(mktime(&local));
  } else {
    // UTC-12: the end of the local day is already tomorrow in UTC.
    set_time_zone("XYZ+12");
    record_time = today_end_time();
  }
  time_t rt = static_cast<time_t>(record_time);
  struct tm record_utc {};
  gmtime_r(&rt, &record_utc);
  ASSERT_NE(record_utc.tm_mday, utc.tm_mday) << "the fixture must span two UTC days";

  seed_today(record_time);
  refresh();
  EXPECT_EQ(recounted(), kAllSources);
  refresh();
  EXPECT_TRUE(recounted().empty());
}

TEST_F(StatsCacheTest, WindowBoundsAreInclusiveAndFiltersApply) {
  const int64_t end = today_end_time();
  const int64_t start = end - 7 * 86400;
  struct record {
    const char* collection;
    int64_t time;
    const char* fields;
  };
  const record records[] = {
      // ransomware files: state in the handled list and virus_type 4 -> 2
      {"virus_file_log", start - 1, R"("state": 1, "virus_type": 4)"},
      {"virus_file_log", start, R"("state": 1, "virus_type": 4)"},
      {"virus_file_log", end, R"("state": 11, "virus_type": 4)"},
      {"virus_file_log", end + 1, R"("state": 1, "virus_type": 4)"},
      {"virus_file_log", start + 60, R"("state": 2, "virus_type": 4)"},
      {"virus_file_log", start + 60, R"("state": 1, "virus_type": 3)"},
      // ransomware behaviours: state in the handled list -> 3
      {"behavior_log", start - 1, R"("state": 1)"},
      {"behavior_log", start, R"("state": 9)"},
      {"behavior_log", end, R"("state": 1)"},
      {"behavior_log", end + 1, R"("state": 1)"},
      {"behavior_log", start + 60, R"("state": 6)"},
      {"behavior_log", start + 60, R"("state": 0)"},
      // brute force: state 1 or automatically blocked -> 3
      {"anti_bfa_origin_log", start - 1, R"("state": 1)"},
      {"anti_bfa_origin_log", start, R"("state": 1)"},
      {"anti_bfa_origin_log", end, R"("state": 0, "is_auto_flag": true)"},
      {"anti_bfa_origin_log", end + 1, R"("state": 1, "is_auto_flag": true)"},
      {"anti_bfa_origin_log", start + 60, R"("state": 2, "is_auto_flag": true)"},
      {"anti_bfa_origin_log", start + 60, R"("state": 0, "is_auto_flag": false)"},
      {"anti_bfa_origin_log", start + 60, R"("state": 2)"},
      // interceptions: sum of reject_times by last_time -> 10 + 100 + 5
      {"interception_log", start - 1, R"("reject_times": 1)"},
      {"interception_log", start, R"("reject_times": 10)"},
      {"interception_log", end, R"("reject_times": 100)"},
      {"interception_log", end + 1, R"("reject_times": 1000)"},
      {"interception_log", start + 60, R"("reject_times": 5)"},
  };
  for (const record& r : records) {
    const char* field = std::string(r.collection) == "interception_log" ? "last_time" : "time";
    insert_json(r.collection,
                std::string("{\"") + field + "\": " + num(r.time) + ", " + r.fields + "}");
  }

  refresh();
  expect_counts(2, 3, 3, 115);
}

TEST_F(StatsCacheTest, InterceptionsOutsideTheWindowGiveZero) {
  const int64_t start = today_end_time() - 7 * 86400;
  insert_json("interception_log", R"({"last_time": )" + num(start - 1) + R"(, "reject_times": 5})");
  insert_json("interception_log",
              R"({"last_time": )" + num(start - 86400) + R"(, "reject_times": 7})");
  g_threat_counts.counts[3] = 55;  // an old total must not survive an empty window

  refresh();
  EXPECT_EQ(g_threat_counts.counts[3], 0);
  EXPECT_TRUE(root_.log_contains("mongodb_data_count info=0"));
}

TEST_F(StatsCacheTest, FailedCountsKeepTheLastGoodValueAndAreRetried) {
  seed_today(now_);
  refresh();
  ASSERT_EQ(g_threat_counts.mongodb_data_save(), 0);

  // New records make every type due; the counting server is gone.
  seed_today(now_ + 1);
  use_statistics_server(kDeadServer);
  refresh();
  for (int type = 0; type < 3; ++type) {
    EXPECT_LT(g_threat_counts.counts[type], 0) << type;
    EXPECT_EQ(root_.log_count("get collection " + kAllSources[type] + " count err:"), 1) << type;
  }
  EXPECT_FALSE(root_.log_contains("cache_ransom_virus_data err, collection=virus_file_log"));
  // A failed aggregation keeps the old total instead of reading as an empty window.
  EXPECT_EQ(g_threat_counts.counts[3], 4);
  EXPECT_TRUE(root_.log_contains("query interception_log error:"));
  EXPECT_TRUE(
      root_.log_contains("cache_ransom_virus_data err, collection=interception_log, type=3"));

  // Saving while the counts are negative keeps the last good values in the document.
  use_statistics_server(testing_support::test_mongo_url().c_str());
  root_.log_mark();
  ASSERT_EQ(g_threat_counts.mongodb_data_save(), 0);
  EXPECT_TRUE(root_.log_contains("cache_ransom_virus_data -1,-1,-1,4"));
  EXPECT_EQ(read_saved_cache().counts, expected_counts(1, 2, 3, 4));

  // The negative types are recounted without a freshness decision.
  refresh();
  EXPECT_TRUE(recounted().empty());
  EXPECT_EQ(counts_made(), 3);
  EXPECT_EQ(g_threat_counts.counts[0], 2);
  EXPECT_EQ(g_threat_counts.counts[1], 4);
  EXPECT_EQ(g_threat_counts.counts[2], 6);
}

TEST_F(StatsCacheTest, AllFourNegativeSkipsTheSaveAndSucceeds) {
  for (int32_t& c : g_threat_counts.counts) c = -1;
  EXPECT_EQ(g_threat_counts.mongodb_data_save(), 0);
  EXPECT_TRUE(root_.log_contains("info unvalid, skip"));
  EXPECT_EQ(testing_support::count_docs("cache_data"), 0);

  // One good counter is enough to write.
  g_threat_counts.counts[2] = 9;
  root_.log_mark();
  EXPECT_EQ(g_threat_counts.mongodb_data_save(), 0);
  EXPECT_FALSE(root_.log_contains("info unvalid, skip"));
  EXPECT_EQ(read_saved_cache().counts, expected_counts(0, 0, 9, 0));
}

// A freshness query that fails must not pass for an empty collection: nothing is
// recounted, and the remembered newest records stay as they were.
TEST_F(StatsCacheTest, FailedFreshnessQueryRecountsNothing) {
  seed_today(now_);
  refresh();
  seed_today(now_ + 1);

  db_conn.set_url(kDeadServer);
  ASSERT_TRUE(db_conn.connect());
  refresh();
  EXPECT_EQ(counts_made(), 0);
  EXPECT_TRUE(root_.log_contains("query virus_file_log error:"));
  expect_counts(1, 2, 3, 4);

  testing_support::reconnect_test_server();
  refresh();
  EXPECT_EQ(recounted(), kAllSources);
  EXPECT_TRUE(root_.log_contains("last update time: " + num(now_)));
  expect_counts(2, 4, 6, 8);
}

TEST_F(StatsCacheTest, MissingStatisticsClientFailsCountsAndSave) {
  seed_today(now_);
  use_statistics_server(nullptr);
  refresh();
  EXPECT_EQ(root_.log_count("mongodb_find_data init mongo client err"), 4);
  for (int type = 0; type < 4; ++type) {
    EXPECT_TRUE(root_.log_contains("cache_ransom_virus_data err, collection=" + kAllSources[type] +
                                   ", type=" + std::to_string(type)));
  }
  expect_counts(0, 0, 0, 0);

  root_.log_mark();
  EXPECT_EQ(g_threat_counts.mongodb_data_save(), -1);
  EXPECT_TRUE(root_.log_contains("mongodb_data_save init mongo client err"));
}

TEST_F(StatsCacheTest, UnknownTypesAreRejected) {
  EXPECT_FALSE(need_update_cache(4, "virus_file_log"));
  EXPECT_TRUE(root_.log_contains("unknown type: 4"));
  EXPECT_TRUE(root_.log_contains("get ptr error"));

  EXPECT_EQ(build_count_condition(-1), nullptr);
  EXPECT_TRUE(root_.log_contains("unkown type=-1"));

  int32_t counter = 17;
  EXPECT_EQ(mongodb_data_count(9, "virus_file_log", counter), -1);
  EXPECT_EQ(counter, 17);
  EXPECT_TRUE(root_.log_contains("mongodb_find_data build condition err"));
}

TEST_F(StatsCacheTest, CountConditionsCarryTheWindowAsInt32) {
  const int64_t end = today_end_time();
  const std::string s = R"({"$numberInt": ")" + num(end - 7 * 86400) + R"("})";
  const std::string e = R"({"$numberInt": ")" + num(end) + R"("})";
  const std::string window = R"({"$gte": )" + s + R"(, "$lte": )" + e + "}";
  std::string states = "[";
  for (int v : {1, 10, 6, 7, 8, 9, 11}) {
    states += std::string(states.size() > 1 ? ", " : "") + R"({"$numberLong": ")" +
              std::to_string(v) + R"("})";
  }
  states += "]";
  const std::string expected[] = {
      R"({"state": {"$in": )" + states + R"(}, "virus_type": {"$numberInt": "4"}, "time": )" +
          window + "}",
      R"({"state": {"$in": )" + states + R"(}, "time": )" + window + "}",
      R"({"$or": [{"state": {"$numberInt": "1"}}, {"is_auto_flag": true}], "time": )" + window +
          "}",
      R"({"pipeline": [{"$match": {"last_time": )" + window +
          R"(}}, {"$group": {"_id": "null", "total_count": {"$sum": "$reject_times"}}}]})",
  };
  for (int type = 0; type < 4; ++type) {
    bson_ptr condition(build_count_condition(type));
    ASSERT_TRUE(condition) << type;
    EXPECT_EQ(canonical(condition.get()), canonical(expected[type])) << "type " << type;
  }
}

TEST(TodayEndTime, IsTheLastSecondOfTheLocalDay) {
  struct zone {
    const char* tz;
    int64_t offset;  // seconds east of UTC
  };
  const zone zones[] = {{"UTC0", 0}, {"XYZ-5:30", 19800}, {"XYZ+7", -25200}, {"XYZ-14", 50400}};
  for (const zone& z : zones) {
    set_time_zone(z.tz);
    const int64_t before = static_cast<int64_t>(time(nullptr));
    const int64_t end = today_end_time();
    EXPECT_EQ(((end + z.offset) % 86400 + 86400) % 86400, 86399) << z.tz;
    EXPECT_GE(end, before) << z.tz;
    EXPECT_LT(end - before, 86400) << z.tz;
  }
  set_time_zone("UTC");
}

}  // namespace
