// The merge in chunks against the live test server: each report is decided as a run that
// read and refreshed one record at a time would decide it, the records come out the same
// to the field order, a chunk costs one read, the refreshes an update command per 50, and
// a failed read or write anywhere leaves the progress for the next run to redo.
#include <sstream>

#include "config/timing.h"
#include "tests/unit/bfa/bfa_fixture.h"
#include "tests/unit/support/fault_proxy.h"

namespace bfa_testing {
namespace {

using bfa_chunk = bfa_test;

// The log's messages with their levels ("[4] needn't update ,log_id ..."), without the
// time and the source line.
std::vector<std::string> messages(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const size_t level = line.find(" [");
    const size_t source = line.find(' ', line.find("] ", level) + 2);
    if (level == std::string::npos || source == std::string::npos) continue;
    out.push_back(line.substr(level + 1, 4) + line.substr(source));
  }
  return out;
}

// Report n of agent 7's ssh attack from 10.0.0.1, at second 100 + n.
std::string report(int n, const std::string& more) {
  return raw(n, 100 + n, "10.0.0.1", more);
}

TEST_F(bfa_chunk, reports_of_a_known_attack_end_as_refreshes_one_at_a_time_would) {
  const std::string key = key_of("10.0.0.1");
  struct {
    const char* name;
    std::string stored;  // the merged record's fields besides _id
    std::vector<std::string> reports;
  } cases[] = {
      {"an older report after a refresh meets the refreshed record",
       R"({"found_time":10,"user":"","mgr_insert_time":1})",
       {report(1, R"(,"found_time":20,"user":"a","mgr_insert_time":7)"),
        report(2, R"(,"found_time":15,"user":"b","mgr_insert_time":8)")}},
      {"newer reports in a row, then an older one",
       R"({"found_time":10,"user":"root","mgr_insert_time":1})",
       {report(1, R"(,"found_time":20,"user":"x")"), report(2, R"(,"found_time":30,"user":"y")"),
        report(3, R"(,"found_time":25,"user":"z")")}},
      {"later reports bring fields the record lacks",
       R"({"found_time":10,"user":""})",
       {report(1, R"(,"found_time":20,"user":"a")"),
        report(2, R"(,"found_time":21,"user":"b","port":22)"),
        report(3, R"(,"zone":"x","found_time":22,"user":"c","port":23)")}},
      {"a later report lacks a field of an earlier one",
       R"({"found_time":10,"user":""})",
       {report(1, R"(,"found_time":20,"port":22,"user":"a")"),
        report(2, R"(,"found_time":21,"user":"b")")}},
      {"the same fields in another order",
       R"({"found_time":10,"user":"","mgr_insert_time":1})",
       {report(1, R"(,"found_time":20,"user":"a","port":22)"),
        R"({"port":23,"user":"b","found_time":21,"att_src":"10.0.0.1","serv_type":"ssh",)"
        R"("agent_id":"7","att_times":4,"time":102,"_id":{"$oid":")" +
            oid(2) + R"("}})"}},
      {"reports without a user leave the stored one to the rule",
       R"({"found_time":10,"user":""})",
       {report(1, R"(,"found_time":20)"), report(2, R"(,"found_time":5)"),
        report(3, R"(,"found_time":30,"user":"u")"), report(4, R"(,"found_time":29,"user":"v")")}},
      {"a user that is not a string reads as none",
       R"({"found_time":10,"user":"root"})",
       {report(1, R"(,"found_time":20,"user":5)"), report(2, R"(,"found_time":15,"user":"b")")}},
      {"a stored record without found_time and user",
       R"({"note":"x"})",
       {report(1, R"(,"found_time":1,"user":"a")"), report(2, R"(,"found_time":1,"user":"b")")}},
      {"a report without found_time is stepped over",
       R"({"found_time":10,"user":""})",
       {report(1, R"(,"user":"a")"), report(2, R"(,"found_time":20,"user":"b")")}},
  };
  for (const auto& c : cases) {
    // Today's rule, one stored record read and refreshed per report.
    testing_support::drop_test_database();
    insert_merged(key, c.stored);
    root_.log_mark();
    for (const std::string& r : c.reports) update_bfa_log(json(r).get(), key);
    const std::string one_by_one = stored(key);
    const std::vector<std::string> one_by_one_log = messages(root_.log_text());

    testing_support::drop_test_database();
    g_last_keys.clear();
    insert_merged(key, c.stored);
    add_raws(c.reports);
    root_.log_mark();
    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    // The same document, field order included, and the same messages.
    EXPECT_EQ(stored(key), one_by_one) << c.name;
    EXPECT_EQ(messages(root_.log_text()), one_by_one_log) << c.name;
  }
}

TEST_F(bfa_chunk, known_attacks_cost_a_read_per_chunk_and_an_update_per_50_refreshes) {
  struct {
    const char* name;
    int attacks;
    int rounds;      // reports per attack, each newer than the last
    bool new_field;  // each report names a field no earlier one named
    int late;        // further stored attacks, reported once after all rounds
    int lookups;
    int updates;
  } cases[] = {
      // One refresh per attack: the later ones fold into the first. A run that read and
      // refreshed one report at a time would send 3 commands per report: 1,080.
      {"three reports of each of 120 attacks", 120, 3, false, 0, 1, 3},
      // 360 refreshes, since folding them would reorder the new fields.
      {"each report with a new field", 120, 3, true, 0, 1, 8},
      // 1,200 reports of 100 attacks over two chunks fold into 100 refreshes; the second
      // chunk's read asks only for the 100 attacks reported late: 200 refreshes.
      {"two chunks", 100, 12, false, 100, 2, 4},
  };
  auto src = [](int i) {
    return "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
  };
  for (const auto& c : cases) {
    testing_support::drop_test_database();
    g_last_keys.clear();
    std::vector<std::string> merged, reports;
    for (int i = 0; i < c.attacks + c.late; ++i) {
      merged.push_back(R"({"_id":")" + key_of(src(i)) + R"(","found_time":1,"user":"root"})");
    }
    const std::string last = std::to_string(10 + c.rounds - 1);
    for (int round = 0; round < c.rounds; ++round) {
      for (int i = 0; i < c.attacks; ++i) {
        const std::string extra = c.new_field ? ",\"f" + std::to_string(round) + "\":1" : "";
        reports.push_back(raw(static_cast<int>(reports.size()) + 1, 100 + round, src(i),
                              ",\"found_time\":" + std::to_string(10 + round) + extra));
      }
    }
    for (int i = c.attacks; i < c.attacks + c.late; ++i) {
      reports.push_back(raw(static_cast<int>(reports.size()) + 1, 100 + c.rounds, src(i),
                            ",\"found_time\":" + last));
    }
    insert_all("anti_bfa_log", merged);
    add_raws(reports);

    testing_support::command_counter counter;
    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    EXPECT_EQ(counter.count("find"), 1 + c.lookups) << c.name << ": " << counter.summary();
    EXPECT_EQ(counter.count("update"), c.updates) << c.name << ": " << counter.summary();
    // The raw reports come in one batch; nothing else is sent.
    EXPECT_EQ(counter.data_commands(), 1 + c.lookups + c.updates)
        << c.name << ": " << counter.summary();
    EXPECT_EQ(testing_support::count_docs("anti_bfa_log", R"({"found_time":)" + last + "}"),
              c.attacks + c.late)
        << c.name;
  }
}

// The run's commands and where a broken connection can cut them.
TEST_F(bfa_chunk, broken_connection_leaves_the_progress_for_the_next_run) {
  const std::string known = key_of("10.0.0.1");
  const std::string fresh = key_of("10.0.0.2");
  auto load = [&] {
    testing_support::drop_test_database();
    insert_merged(known, R"({"found_time":10,"user":"","mgr_insert_time":1})");
    add_raws({raw(1, 10, "10.0.0.1", R"(,"found_time":20,"user":"a","mgr_insert_time":7)"),
              raw(2, 11, "10.0.0.2", R"(,"found_time":20,"user":"n","mgr_insert_time":7)"),
              raw(3, 12, "10.0.0.1", R"(,"found_time":30,"user":"b","mgr_insert_time":8)")});
    set_progress(5, "");
  };
  // What an undisturbed run leaves.
  load();
  ASSERT_TRUE(merge_anti_bfa_log());
  const std::string known_after = stored(known);
  const std::string fresh_after = stored(fresh);
  const std::string progress_after = progress();

  using testing_support::fault_proxy;
  using fault = fault_proxy::fault;
  struct {
    const char* name;
    const char* command;
    fault how;
    const char* message;
  } cases[] = {
      {"look-up lost on the way", "find", fault::drop_request, "query anti_bfa_log failed"},
      {"look-up answer lost", "find", fault::lose_reply, "query anti_bfa_log failed"},
      {"refresh lost on the way", "update", fault::drop_request,
       "update anti_bfa_log failed log_id is "},
      {"refresh answer lost", "update", fault::lose_reply, "update anti_bfa_log failed log_id is "},
      {"insert answer lost", "insert", fault::lose_reply, "inserts anti_bfa_log failed"},
  };
  for (const auto& c : cases) {
    load();
    fault_proxy proxy(testing_support::test_mongo_url());
    db_conn.set_url(proxy.url().c_str());
    ASSERT_TRUE(db_conn.connect());
    proxy.arm(c.how, c.command, "anti_bfa_log", fault_proxy::every);
    root_.log_mark();

    EXPECT_FALSE(merge_anti_bfa_log()) << c.name;
    EXPECT_GT(proxy.broken(), 0) << c.name;
    // A command whose answer was lost is done on the server before the next run reads.
    EXPECT_TRUE(proxy.wait_answered()) << c.name;
    EXPECT_TRUE(root_.log_contains(c.message)) << c.name << "\n" << root_.log_text();
    EXPECT_EQ(progress(), "5|") << c.name;

    testing_support::reconnect_test_server();
    EXPECT_TRUE(merge_anti_bfa_log()) << c.name;
    EXPECT_EQ(stored(known), known_after) << c.name;
    EXPECT_EQ(stored(fresh), fresh_after) << c.name;
    EXPECT_EQ(progress(), progress_after) << c.name;
  }
}

TEST_F(bfa_chunk, stop_request_ends_the_run_before_it_writes) {
  insert_merged(key_of("a"), R"({"found_time":1,"user":"root"})");
  add_raws({raw(1, 10, "a", R"(,"found_time":5,"user":"u")"), raw(2, 11, "b")});
  set_progress(5, "");

  g_stop_flag = 1;
  EXPECT_FALSE(merge_anti_bfa_log());
  g_stop_flag = 0;
  EXPECT_EQ(progress(), "5|");
  EXPECT_EQ(stored(key_of("a")), expect_json(R"({"found_time":1,"user":"root"})"));
  EXPECT_EQ(stored(key_of("b")), "");

  EXPECT_TRUE(merge_anti_bfa_log());
  EXPECT_EQ(progress(), "11|" + oid(2));
  EXPECT_NE(stored(key_of("b")), "");
}

}  // namespace
}  // namespace bfa_testing
