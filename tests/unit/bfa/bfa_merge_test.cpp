// Merge runs against the live test server: what a run writes, where the next one resumes,
// and how failures leave the progress for the next run to redo.
#include "tests/unit/bfa/bfa_fixture.h"

namespace bfa_testing {
namespace {

using bfa_merge = bfa_test;

int64_t merged_count() {
  return testing_support::count_docs("anti_bfa_log");
}

TEST_F(bfa_merge, idle_runs_move_the_bound_one_second_each) {
  struct {
    const char* name;
    bool has_entry;
    int64_t time;
    std::string raw;  // a report the run reads but cannot take in, or ""
    std::string after_first;
    std::string after_second;
  } cases[] = {
      {"first start", false, 0, "", "none", "none"},
      {"zero time", true, 0, "", "0|" + oid(4), "0|" + oid(4)},
      {"non-zero time", true, 1000, "", "1001|", "1002|"},
      // A report without an ObjectId is skipped and not taken in.
      {"unreadable report only", true, 1000,
       R"({"_id":"text","time":1000,"att_times":3,"agent_id":"7","serv_type":"ssh",)"
       R"("att_src":"1.1.1.1"})",
       "1001|", "1002|"},
  };
  for (const auto& c : cases) {
    testing_support::drop_test_database();
    g_last_keys.clear();
    if (c.has_entry) set_progress(c.time, oid(4));
    if (!c.raw.empty()) add_raw(c.raw);

    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    EXPECT_EQ(progress(), c.after_first) << c.name;
    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    EXPECT_EQ(progress(), c.after_second) << c.name;
    EXPECT_EQ(merged_count(), 0) << c.name;
  }
}

TEST_F(bfa_merge, reports_of_a_new_attack_collapse_into_the_last) {
  add_raws({
      raw(1, 10, "10.0.0.1", R"(,"found_time":5,"user":"a","mgr_insert_time":1,"first":1)"),
      raw(2, 11, "10.0.0.1", R"(,"found_time":6,"user":"b","mgr_insert_time":2)"),
      raw(3, 11, "10.0.0.2", R"(,"found_time":6,"user":"x","mgr_insert_time":2)"),
      // The last report wins outright, even with an older found_time.
      raw(4, 12, "10.0.0.1",
          R"(,"duration":30,"found_time":4,"msg":"m","user":"c","succ":1,)"
          R"("mgr_insert_time":3,"port":22)"),
      // Not an attack yet: never merged, not even read.
      {R"({"_id":{"$oid":")" + oid(5) +
       R"("},"time":13,"att_times":0,"agent_id":"7","serv_type":"ssh","att_src":"10.0.0.3"})"},
  });

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 2);
  // The raw fields in their order, without _id and the fields the query never reads.
  EXPECT_EQ(stored(key_of("10.0.0.1")),
            expect_json(R"({"time":12,"att_times":3,"agent_id":"7","serv_type":"ssh",)"
                        R"("att_src":"10.0.0.1","found_time":4,"user":"c",)"
                        R"("mgr_insert_time":3,"port":22})"));
  EXPECT_NE(stored(key_of("10.0.0.2")), "");
  EXPECT_EQ(stored(key_of("10.0.0.3")), "");
  EXPECT_EQ(progress(), "12|" + oid(4));
  EXPECT_FALSE(root_.log_contains("needn't update"));
}

TEST_F(bfa_merge, known_attack_is_refreshed_without_unread_fields) {
  const std::string key = key_of("10.0.0.1");
  insert_merged(key, R"({"time":1,"found_time":100,"user":"","mgr_insert_time":1})");
  add_raw(raw(1, 20, "10.0.0.1",
              R"(,"duration":30,"found_time":200,"msg":"m","user":"root","succ":1,)"
              R"("mgr_insert_time":999)"));

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 1);
  EXPECT_EQ(unordered(stored(key)),
            unordered(R"({"time":20,"found_time":200,"user":"root","mgr_insert_time":1,)"
                      R"("att_times":3,"agent_id":"7","serv_type":"ssh","att_src":"10.0.0.1"})"));
  EXPECT_EQ(progress(), "20|" + oid(1));
}

TEST_F(bfa_merge, full_batch_is_written_before_the_next_new_attack) {
  constexpr int new_attacks = 10001;
  auto src = [](int i) { return "10." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
  std::vector<std::string> docs;
  for (int i = 0; i < new_attacks; ++i) {
    docs.push_back(raw(i + 1, 1000, src(i), R"(,"found_time":5,"user":"u","mgr_insert_time":1)"));
  }
  // Later reports of the first attack (written with the full batch, so now known) and of
  // the last one (still waiting in the second batch).
  docs.push_back(
      raw(new_attacks + 1, 2000, src(0), R"(,"found_time":9,"user":"v","mgr_insert_time":999)"));
  docs.push_back(raw(new_attacks + 2, 2000, src(new_attacks - 1),
                     R"(,"found_time":3,"user":"w","mgr_insert_time":999)"));
  add_raws(docs);

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), new_attacks);
  // Refreshed in place: the creating report's mgr_insert_time stays.
  EXPECT_EQ(unordered(stored(key_of(src(0)))),
            unordered(R"({"time":2000,"att_times":3,"agent_id":"7","serv_type":"ssh",)"
                      R"("att_src":"10.0.0","found_time":9,"user":"v","mgr_insert_time":1})"));
  // Replaced in the batch: every field of the later report.
  EXPECT_EQ(stored(key_of(src(new_attacks - 1))),
            expect_json(R"({"time":2000,"att_times":3,"agent_id":"7","serv_type":"ssh",)"
                        R"("att_src":"10.39.16","found_time":3,"user":"w",)"
                        R"("mgr_insert_time":999})"));
  EXPECT_EQ(progress(), "2000|" + oid(new_attacks + 2));
}

TEST_F(bfa_merge, stored_id_decides_what_of_its_second_is_read_again) {
  struct {
    const char* name;
    std::string id;
    int64_t merged;
  } cases[] = {
      {"valid id", oid(2), 2},
      {"id of the wrong length", "abc", 3},
  };
  for (const auto& c : cases) {
    testing_support::drop_test_database();
    set_progress(100, c.id);
    add_raws({raw(1, 99, "a"), raw(2, 100, "b"), raw(3, 100, "c"), raw(4, 101, "d")});

    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    EXPECT_EQ(merged_count(), c.merged) << c.name;
    EXPECT_EQ(stored(key_of("b")) != "", c.merged == 3) << c.name;
    EXPECT_EQ(progress(), "101|" + oid(4)) << c.name;
  }
}

TEST_F(bfa_merge, full_page_resumes_after_its_last_record) {
  g_update_settings.update_anti_query_count = 3;
  add_raws({raw(1, 50, "a"), raw(2, 50, "b"), raw(3, 50, "c"), raw(4, 50, "d"), raw(5, 50, "e")});

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 3);
  EXPECT_EQ(progress(), "50|" + oid(3));

  // The rest of second 50 is still read.
  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 5);
  EXPECT_EQ(progress(), "50|" + oid(5));

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(progress(), "51|");
}

TEST_F(bfa_merge, report_from_the_future_waits_and_holds_back_nothing) {
  // An endpoint whose clock is far ahead stamps its report 2^33 (the year 2242).
  const int64_t future = int64_t{1} << 33;
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  set_progress(now - 100, "");
  add_raws({raw(1, future, "ahead"), raw(2, now - 50, "a")});

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(stored(key_of("ahead")), "");
  EXPECT_NE(stored(key_of("a")), "");
  EXPECT_EQ(progress(), std::to_string(now - 50) + "|" + oid(2));

  // A later ordinary report is merged in the next run; the future one still waits.
  add_raw(raw(3, now - 40, "b"));
  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_NE(stored(key_of("b")), "");
  EXPECT_EQ(stored(key_of("ahead")), "");
  EXPECT_EQ(progress(), std::to_string(now - 40) + "|" + oid(3));
}

TEST_F(bfa_merge, unreachable_server_leaves_the_progress_unmoved) {
  add_raw(raw(1, 10, "a"));
  set_progress(5, "");
  testing_support::connect_dead_server();

  EXPECT_FALSE(merge_anti_bfa_log());
  EXPECT_TRUE(root_.log_contains("query anti_bfa_origin_log failed"));
  EXPECT_EQ(progress(), "5|");

  testing_support::reconnect_test_server();
  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 1);
  EXPECT_EQ(progress(), "10|" + oid(1));
}

TEST_F(bfa_merge, failed_insert_is_redone_by_the_next_run) {
  add_unique_index("port");  // two new attacks on the same port collide
  add_raws({raw(1, 10, "a", R"(,"found_time":5,"user":"u","port":22)"),
            raw(2, 11, "b", R"(,"found_time":5,"user":"u","port":22)")});
  set_progress(5, "");

  EXPECT_FALSE(merge_anti_bfa_log());
  EXPECT_TRUE(root_.log_contains("inserts anti_bfa_log failed"));
  EXPECT_EQ(progress(), "5|");

  drop_unique_index();
  root_.log_mark();
  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 2);
  EXPECT_NE(stored(key_of("b")), "");
  EXPECT_EQ(progress(), "11|" + oid(2));
  // Whatever the unordered insert did write is now a known attack.
  EXPECT_EQ(root_.log_count("needn't update ,log_id "), 1);
}

TEST_F(bfa_merge, failed_update_stops_the_run_and_drops_its_batch) {
  const std::string known = key_of("b");
  insert_merged("someone", R"({"user":"taken"})");
  insert_merged(known, R"({"found_time":1,"user":"root"})");
  add_unique_index("user");
  add_raws({raw(1, 10, "a", R"(,"found_time":5,"user":"u1")"),
            raw(2, 11, "b", R"(,"found_time":5,"user":"taken")"),
            raw(3, 12, "c", R"(,"found_time":5,"user":"u3")")});
  set_progress(5, "");

  EXPECT_FALSE(merge_anti_bfa_log());
  EXPECT_EQ(root_.log_count("update anti_bfa_log failed log_id is " + known + " \n"), 1);
  EXPECT_EQ(merged_count(), 2);  // the new attack before it was not written
  EXPECT_EQ(progress(), "5|");

  drop_unique_index();
  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(merged_count(), 4);
  EXPECT_EQ(unordered(stored(known)),
            unordered(R"({"time":11,"att_times":3,"agent_id":"7","serv_type":"ssh",)"
                      R"("att_src":"b","found_time":5,"user":"taken"})"));
  EXPECT_EQ(progress(), "12|" + oid(3));
}

TEST_F(bfa_merge, known_attack_report_without_found_time_is_stepped_over) {
  // Such a report can never refresh its record; it must not hold back later reports.
  const std::string known = key_of("a");
  const std::string before = R"({"found_time":100,"user":"root"})";
  insert_merged(known, before);
  add_raws({raw(1, 10, "a", R"(,"user":"x")"), raw(2, 11, "b", R"(,"found_time":5)")});

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(root_.log_count("get found_time field faild, log_id is " + known + "\n"), 1);
  EXPECT_EQ(stored(known), expect_json(before));
  EXPECT_NE(stored(key_of("b")), "");
  EXPECT_EQ(progress(), "11|" + oid(2));

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(root_.log_count("get found_time field faild"), 1);
  EXPECT_EQ(progress(), "12|");
}

}  // namespace
}  // namespace bfa_testing
