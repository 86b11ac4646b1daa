// Reading a merged record's fields and refreshing it from a raw report, against the live
// test server.
#include "tests/unit/bfa/bfa_fixture.h"

namespace bfa_testing {
namespace {

using bfa_refresh = bfa_test;

TEST_F(bfa_refresh, query_doc_fields_reads_requested_fields_with_defaults) {
  testing_support::insert_json("anti_bfa_log",
                               R"({"_id":"k1","found_time":{"$numberLong":"5000000000"},)"
                               R"("user":"root","other":1})");
  bson_ptr selector = json(R"({"_id":"k1"})");
  const std::map<std::string, int> request = {
      {"found_time", 1}, {"user", 2}, {"lost_int", 1}, {"lost_text", 2}, {"other", 3}};
  // Values already in the maps are replaced.
  std::map<std::string, int64_t> ints = {{"found_time", -1}, {"lost_int", 9}};
  std::map<std::string, std::string> strings = {{"lost_text", "stale"}};

  ASSERT_TRUE(query_doc_fields("anti_bfa_log", selector.get(), request, ints, strings));
  EXPECT_EQ(ints, (std::map<std::string, int64_t>{{"found_time", 5000000000}, {"lost_int", 0}}));
  EXPECT_EQ(strings, (std::map<std::string, std::string>{{"user", "root"}, {"lost_text", ""}}));
  EXPECT_EQ(root_.log_count("get anti_bfa_log info failed,field is lost_int \n"), 1);
  EXPECT_EQ(root_.log_count("get anti_bfa_log info failed,field is lost_text \n"), 1);
  EXPECT_FALSE(root_.log_contains("field is other"));

  // Nothing found, or nothing asked: false, and nothing to log.
  root_.log_mark();
  bson_ptr absent = json(R"({"_id":"k2"})");
  EXPECT_FALSE(query_doc_fields("anti_bfa_log", absent.get(), request, ints, strings));
  EXPECT_FALSE(query_doc_fields("anti_bfa_log", selector.get(), {}, ints, strings));
  EXPECT_EQ(root_.log_text(), "");
}

TEST_F(bfa_refresh, refresh_rules) {
  const std::string key = key_of("10.0.0.1");
  // The stored record always has mgr_insert_time 1 and note "old"; the raw report
  // carries mgr_insert_time 999 and note "new".
  struct {
    const char* name;
    const char* stored;  // fields besides _id, mgr_insert_time and note
    const char* found;   // found_time of the raw report
    bool written;
  } cases[] = {
      {"same found_time, stored user", R"("found_time":100,"user":"root")", "100", false},
      {"older report, stored user", R"("found_time":100,"user":"root")", "50", false},
      {"older report, empty stored user", R"("found_time":100,"user":"")", "50", true},
      {"older report, no stored user", R"("found_time":100)", "50", true},
      {"stored record without found_time", R"("user":"root")", "1", true},
      {"newer report", R"("found_time":100,"user":"root")", "101", true},
  };
  for (const auto& c : cases) {
    testing_support::drop_test_database();
    const std::string before =
        std::string(R"({"mgr_insert_time":1,"note":"old",)") + c.stored + "}";
    insert_merged(key, before);
    bson_ptr report = json(raw(1, 10, "10.0.0.1",
                               std::string(R"(,"found_time":)") + c.found +
                                   R"(,"user":"admin","mgr_insert_time":999,"note":"new")"));
    root_.log_mark();

    EXPECT_EQ(update_bfa_log(report.get(), key), bfa_update_result::ok) << c.name;
    if (c.written) {
      // Every field of the report except _id and mgr_insert_time.
      const std::string after = std::string(R"({"mgr_insert_time":1,"note":"new","found_time":)") +
                                c.found +
                                R"(,"user":"admin","time":10,"att_times":3,"agent_id":"7",)"
                                R"("serv_type":"ssh","att_src":"10.0.0.1"})";
      EXPECT_EQ(unordered(stored(key)), unordered(after)) << c.name;
      EXPECT_FALSE(root_.log_contains("needn't update")) << c.name;
    } else {
      EXPECT_EQ(stored(key), expect_json(before)) << c.name;
      EXPECT_EQ(root_.log_count("needn't update ,log_id " + key + "\n"), 1) << c.name;
    }
  }
}

TEST_F(bfa_refresh, report_without_found_time_is_unmergeable) {
  const std::string key = key_of("10.0.0.1");
  const std::string stored_json = R"({"found_time":100,"user":"","mgr_insert_time":1})";
  insert_merged(key, stored_json);
  bson_ptr report = json(raw(1, 10, "10.0.0.1", R"(,"user":"root")"));

  EXPECT_EQ(update_bfa_log(report.get(), key), bfa_update_result::unmergeable);
  EXPECT_EQ(root_.log_count("get found_time field faild, log_id is " + key + "\n"), 1);
  EXPECT_EQ(stored(key), expect_json(stored_json));
}

TEST_F(bfa_refresh, missing_merged_record_is_a_failure) {
  const std::string key = key_of("10.0.0.1");
  bson_ptr report = json(raw(1, 10, "10.0.0.1", R"(,"found_time":5)"));

  EXPECT_EQ(update_bfa_log(report.get(), key), bfa_update_result::failed);
  EXPECT_TRUE(root_.log_contains("get anti_bfa_log info faild, log_id is " + key + "\n"));
  EXPECT_EQ(testing_support::count_docs("anti_bfa_log"), 0);
}

TEST_F(bfa_refresh, failed_update_is_a_failure) {
  const std::string key = key_of("10.0.0.1");
  testing_support::insert_json("anti_bfa_log", R"({"_id":"other","user":"taken"})");
  insert_merged(key, R"({"found_time":1,"user":"root"})");
  add_unique_index("user");
  bson_ptr report = json(raw(1, 10, "10.0.0.1", R"(,"found_time":5,"user":"taken")"));

  EXPECT_EQ(update_bfa_log(report.get(), key), bfa_update_result::failed);
  EXPECT_TRUE(root_.log_contains("Fail to update anti_bfa_log info, error: "));
  EXPECT_EQ(stored(key), expect_json(R"({"found_time":1,"user":"root"})"));
}

}  // namespace
}  // namespace bfa_testing
