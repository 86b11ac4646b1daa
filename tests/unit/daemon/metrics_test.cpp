// The metrics file: what it says of the tables, the queue and the rebuild, that it is
// replaced whole, and that a file that cannot be written costs one log line, not the cycle.
#include "daemon/metrics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "compare/pending.h"
#include "config/progress.h"
#include "config/timing.h"
#include "tests/unit/support/test_support.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, FileTellsProgressLagQueueAndRebuild) {
  testing_support::test_root root(4);
  const std::string path = root.file("var/lib/korvel/korveld.prom");
  const int64_t now = time(nullptr);
  g_last_keys[1] = last_key{"v1", now - 100};           // behind: stopped at its limit
  g_last_keys[10] = last_key{"i1", (now - 50) * 1000};  // incidents page by ms
  g_cycle_figures.passes[1] = pass_figures{500, 1500, 0};
  g_cycle_figures.passes[10] = pass_figures{3, 3, now * 1000};  // read all there was
  g_pending_events.emplace("e1virus_file_log", pending_info{1, 2});

  metrics_start();
  metrics_cycle_end(cycle_timing{0.25, 1.5, 0.75, 2.5, false}, path);
  metrics_cycle_end(cycle_timing{0.25, 1.5, 0.75, 2.5, true}, path);

  const std::string text = read_all(path);
  EXPECT_TRUE(has_line(text, "korveld_table_progress_timestamp_seconds{table=\"virus_file_log\"} " +
                                 std::to_string(now - 100)))
      << text;
  EXPECT_TRUE(text.find("korveld_table_lag_seconds{table=\"virus_file_log\"} 10") !=
              std::string::npos)
      << text;  // about 100 s behind
  EXPECT_TRUE(has_line(text, "korveld_table_last_cycle_documents{table=\"virus_file_log\"} 500"));
  EXPECT_TRUE(has_line(text, "korveld_table_documents_read_total{table=\"virus_file_log\"} 1500"));
  EXPECT_TRUE(has_line(text, "korveld_table_progress_timestamp_seconds{table=\"incident_msg\"} " +
                                 std::to_string(now - 50)))
      << text;
  EXPECT_TRUE(has_line(text, "korveld_cycles_total 2")) << text;
  EXPECT_TRUE(has_line(text, "korveld_cycles_failed_total 1")) << text;
  EXPECT_TRUE(has_line(text, "korveld_last_cycle_phase_duration_seconds{phase=\"passes\"} 1.5"));
  EXPECT_TRUE(has_line(text, "korveld_pending_buffer_entries 1")) << text;
  EXPECT_TRUE(has_line(text, "korveld_rebuild_done 0")) << text;
  EXPECT_TRUE(text.find("# TYPE korveld_cycles_total counter") != std::string::npos);

  // Replaced whole, readable by the collector, nothing left beside it.
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.file("var/lib/korvel"))) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST(Metrics, UnwritableFileIsOneLogLineAndNoFile) {
  testing_support::test_root root(4);
  root.write_file("blocker", "a file where a folder should be");
  const std::string path = root.file("blocker/korveld.prom");
  for (int i = 0; i < 3; ++i) metrics_cycle_end(cycle_timing{}, path);
  EXPECT_EQ(root.log_count("metrics file " + path + " not written: "), 1) << root.log_text();
  EXPECT_FALSE(std::filesystem::exists(path));
  // An empty path writes nothing and says nothing.
  root.log_mark();
  metrics_cycle_end(cycle_timing{}, "");
  EXPECT_EQ(root.log_text(), "");
}

}  // namespace
