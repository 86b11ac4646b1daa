// Merge keys, the merge query built from the progress store, and the raw record's
// progress key. None of these touch the database.
#include "tests/unit/bfa/bfa_fixture.h"

namespace bfa_testing {
namespace {

class bfa_key : public ::testing::Test {
 protected:
  void SetUp() override {
    g_last_keys.clear();
    g_update_settings = update_settings{};
  }
  testing_support::test_root root_;
};

std::string key_or_none(const std::string& doc_json) {
  std::string key = "untouched";
  if (!get_bfa_log_id(json(doc_json).get(), key)) return key == "untouched" ? "none" : "written";
  return key;
}

TEST_F(bfa_key, merge_key_is_lower_case_sha1_of_the_joined_fields) {
  // SHA-1 of "abc": the three fields joined in this order, without separators.
  EXPECT_EQ(key_or_none(R"({"agent_id":"a","serv_type":"b","att_src":"c"})"),
            "a9993e364706816aba3e25717850c26c9cd0d89d");

  const std::string base = key_or_none(
      R"({"agent_id":"7","serv_type":"ssh","att_src":"host-a","time":1,"user":"root"})");
  EXPECT_EQ(base.size(), 40u);
  EXPECT_EQ(base.find_first_not_of("0123456789abcdef"), std::string::npos) << base;

  struct {
    const char* doc;
    bool same;
  } cases[] = {
      // Other fields take no part.
      {R"({"time":99,"agent_id":"7","serv_type":"ssh","att_src":"host-a","user":"x"})", true},
      // Only the digest is lower-cased, never the fields.
      {R"({"agent_id":"7","serv_type":"ssh","att_src":"HOST-A"})", false},
      {R"({"agent_id":"7","serv_type":"ssh","att_src":"Host-a"})", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_or_none(c.doc) == base, c.same) << c.doc;
  }

  // Joined without separators: the same characters split differently give the same key.
  EXPECT_EQ(key_or_none(R"({"agent_id":"ab","serv_type":"x","att_src":"s"})"),
            key_or_none(R"({"agent_id":"a","serv_type":"bx","att_src":"s"})"));
}

TEST_F(bfa_key, merge_key_needs_three_non_empty_strings) {
  struct {
    const char* doc;
    const char* message;  // logged, or null for none
  } cases[] = {
      {R"({"agent_id":"7","serv_type":"ssh","att_src":""})", nullptr},
      {R"({"agent_id":"","serv_type":"ssh","att_src":"1.2.3.4"})", nullptr},
      {R"({"agent_id":"7","att_src":"1.2.3.4"})", nullptr},
      {R"({"agent_id":7,"serv_type":"ssh","att_src":"1.2.3.4"})", "get field agent_id failed"},
      {R"({"agent_id":"7","serv_type":"ssh","att_src":{"ip":"1.2.3.4"}})",
       "get field att_src failed"},
  };
  for (const auto& c : cases) {
    root_.log_mark();
    EXPECT_EQ(key_or_none(c.doc), "none") << c.doc;
    if (c.message != nullptr) {
      EXPECT_TRUE(root_.log_contains(c.message)) << c.doc;
    } else {
      EXPECT_EQ(root_.log_text(), "") << c.doc;
    }
  }
}

TEST_F(bfa_key, query_follows_the_stored_progress) {
  const std::string valid = "65a1b2c3d4e5f60718293a4b";
  const char* zero = "000000000000000000000000";
  // Both branches end before `now`: a report from the future waits for its time.
  const int64_t now = 1700000500;
  const std::string before_now = R"("$lt":{"$numberLong":"1700000500"})";
  auto resume_after = [&](const std::string& id) {
    const std::string t = R"({"$numberLong":"1700000000"})";
    return R"({"att_times":{"$gt":{"$numberLong":"0"}},"$or":[)"
           R"({"time":{"$gt":)" +
           t + "," + before_now + "}}," + R"({"time":{"$eq":)" + t + "," + before_now +
           R"(},"_id":{"$gt":{"$oid":")" + id + R"("}}}]})";
  };
  struct {
    const char* name;
    bool has_entry;
    std::string id;
    int64_t time;
    std::string filter;
  } cases[] = {
      {"no entry", false, "", 0,
       R"({"att_times":{"$gt":{"$numberLong":"0"}},"time":{"$gte":{"$numberLong":"0"},)" +
           before_now + "}}"},
      {"time without id", true, "", 1700000000,
       R"({"att_times":{"$gt":{"$numberLong":"0"}},)"
       R"("time":{"$gte":{"$numberLong":"1700000000"},)" +
           before_now + "}}"},
      {"time and id", true, valid, 1700000000, resume_after(valid)},
      {"id of the wrong length", true, "65a1b2c3", 1700000000, resume_after(zero)},
      {"id of 24 characters, not hexadecimal", true, "zz" + valid.substr(2), 1700000000,
       resume_after(zero)},
  };
  for (const auto& c : cases) {
    g_last_keys.clear();
    if (c.has_entry) set_progress(c.time, c.id);
    bson_ptr filter(bson_new());
    bson_ptr opts(bson_new());
    build_bfa_query(filter.get(), opts.get(), now);
    bson_ptr expected = json(c.filter);
    EXPECT_TRUE(bson_equal(filter.get(), expected.get()))
        << c.name << "\n got:      " << to_json(filter.get()) << "\n expected: " << c.filter;
    // Building the query never creates the entry.
    EXPECT_EQ(g_last_keys.count(5), c.has_entry ? 1u : 0u) << c.name;
  }
}

TEST_F(bfa_key, query_options_skip_unread_fields_and_take_the_limit) {
  g_update_settings.update_anti_query_count = 250;
  bson_ptr filter(bson_new());
  bson_ptr opts(bson_new());
  build_bfa_query(filter.get(), opts.get(), 1700000500);
  const char* expected_json =
      R"({"projection":{"duration":{"$numberLong":"0"},"msg":{"$numberLong":"0"},)"
      R"("succ":{"$numberLong":"0"}},"sort":{"time":{"$numberLong":"1"},)"
      R"("_id":{"$numberLong":"1"}},"limit":{"$numberLong":"250"},)"
      R"("batchSize":{"$numberLong":"10000"}})";
  bson_ptr expected = json(expected_json);
  EXPECT_TRUE(bson_equal(opts.get(), expected.get())) << to_json(opts.get());
}

TEST_F(bfa_key, progress_key_of_a_raw_record) {
  struct {
    const char* doc;
    bool ok;
    const char* message;  // logged on failure, or null for none
  } cases[] = {
      {R"({"_id":{"$oid":"65a1b2c3d4e5f60718293a4b"},"time":{"$numberLong":"1700000001"}})", true,
       nullptr},
      {R"({"time":1})", false, "bson_iter_find failed, get _id failed"},
      {R"({"_id":"65a1b2c3d4e5f60718293a4b","time":1})", false, "get oid failed"},
      {R"({"_id":{"$oid":"65a1b2c3d4e5f60718293a4b"}})", false, nullptr},
  };
  for (const auto& c : cases) {
    root_.log_mark();
    std::string id = "before";
    int64_t time = -5;
    EXPECT_EQ(get_doc_id_time(json(c.doc).get(), id, time), c.ok) << c.doc;
    if (c.ok) {
      EXPECT_EQ(id, "65a1b2c3d4e5f60718293a4b");
      EXPECT_EQ(time, 1700000001);
    } else {
      EXPECT_EQ(id, "before") << c.doc;
      EXPECT_EQ(time, -5) << c.doc;
      if (c.message != nullptr) {
        EXPECT_TRUE(root_.log_contains(c.message)) << c.doc;
      }
    }
  }
}

}  // namespace
}  // namespace bfa_testing
