// The metrics file. The figures are gathered from the modules' own state at the end of a
// cycle, kept in a prometheus-cpp registry (the names, types and help texts of the
// exposition format are the library's business), and written to one file that is replaced
// whole, so that the collector never reads half of it.
#include "daemon/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "agent_level/agent_risk.h"
#include "agent_level/refresh.h"
#include "compare/pending.h"
#include "compare/table_catalogue.h"
#include "config/progress.h"
#include "config/timing.h"
#include "platform/log.h"
#include "platform/tick.h"

namespace {

constexpr uint32_t kWriteFailureLogMs = 60000;

// The event tables in the order the cycle compares them.
constexpr int32_t kTables[] = {TABLE_VIRUS_FILE_LOG, TABLE_ANTI_BFA_LOG,      TABLE_WEBSHELL_LOG,
                               TABLE_DOMAIN_LOG,     TABLE_NOFILE_ATTACK_LOG, TABLE_LEAK_INFO_LOG,
                               TABLE_INCIDENT_MSG};
constexpr size_t kTableCount = sizeof(kTables) / sizeof(kTables[0]);

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::Counter;
using prometheus::Gauge;

// The registry and every series, made once; the library keeps the references valid.
struct series {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();

  prometheus::Family<Gauge>& progress =
      BuildGauge()
          .Name("korveld_table_progress_timestamp_seconds")
          .Help("Time of the last document the table's passes consumed (their progress key).")
          .Register(*registry);
  prometheus::Family<Gauge>& lag =
      BuildGauge()
          .Name("korveld_table_lag_seconds")
          .Help("How far behind now the table has been read completely.")
          .Register(*registry);
  prometheus::Family<Gauge>& last_documents =
      BuildGauge()
          .Name("korveld_table_last_cycle_documents")
          .Help("Documents the table's pass read in the last cycle.")
          .Register(*registry);
  prometheus::Family<Counter>& documents =
      BuildCounter()
          .Name("korveld_table_documents_read_total")
          .Help("Documents the table's passes read since start-up.")
          .Register(*registry);
  Gauge* table_progress[kTableCount];
  Gauge* table_lag[kTableCount];
  Gauge* table_last_documents[kTableCount];
  Counter* table_documents[kTableCount];

  prometheus::Family<Gauge>& phases =
      BuildGauge()
          .Name("korveld_last_cycle_phase_duration_seconds")
          .Help("How long each phase of the last update cycle took.")
          .Register(*registry);
  Gauge& merge_phase = phases.Add({{"phase", "merge"}});
  Gauge& passes_phase = phases.Add({{"phase", "passes"}});
  Gauge& write_phase = phases.Add({{"phase", "write_pass"}});
  Gauge& cycle_duration = BuildGauge()
                              .Name("korveld_last_cycle_duration_seconds")
                              .Help("How long the last update cycle took.")
                              .Register(*registry)
                              .Add({});
  Counter& cycles = BuildCounter()
                        .Name("korveld_cycles_total")
                        .Help("Update cycles run since start-up.")
                        .Register(*registry)
                        .Add({});
  Counter& failed_cycles =
      BuildCounter()
          .Name("korveld_cycles_failed_total")
          .Help("Update cycles in which the merge, a pass or the write pass failed.")
          .Register(*registry)
          .Add({});

  Gauge& written_agents = BuildGauge()
                              .Name("korveld_write_pass_agents")
                              .Help("Agents whose agent_level document the last write pass wrote.")
                              .Register(*registry)
                              .Add({});
  Gauge& waiting_changes =
      BuildGauge()
          .Name("korveld_agent_changes_waiting")
          .Help("Agents whose accumulated change waits in memory for the write pass.")
          .Register(*registry)
          .Add({});

  Gauge& pending_entries = BuildGauge()
                               .Name("korveld_pending_buffer_entries")
                               .Help("Pending events held in memory.")
                               .Register(*registry)
                               .Add({});
  Gauge& pending_in_db = BuildGauge()
                             .Name("korveld_pending_collection_in_use")
                             .Help("1 when agent_level_pending_log may hold pending events.")
                             .Register(*registry)
                             .Add({});
  Gauge& pending_cached_ids =
      BuildGauge()
          .Name("korveld_pending_cached_ids")
          .Help("Ids of agent_level_pending_log documents cached in memory.")
          .Register(*registry)
          .Add({});

  Gauge& merge_progress =
      BuildGauge()
          .Name("korveld_merge_progress_timestamp_seconds")
          .Help("Time of the last raw brute-force report merged (the merge's progress).")
          .Register(*registry)
          .Add({});
  Gauge& merge_lag =
      BuildGauge()
          .Name("korveld_merge_lag_seconds")
          .Help("How far behind now the raw brute-force reports have been merged completely.")
          .Register(*registry)
          .Add({});
  Gauge& merge_reports = BuildGauge()
                             .Name("korveld_merge_last_run_reports")
                             .Help("Raw brute-force reports the last merge run took in.")
                             .Register(*registry)
                             .Add({});
  Counter& merge_total = BuildCounter()
                             .Name("korveld_merge_reports_total")
                             .Help("Raw brute-force reports merged since start-up.")
                             .Register(*registry)
                             .Add({});

  Gauge& rebuild_done =
      BuildGauge()
          .Name("korveld_rebuild_done")
          .Help("1 once the start-up rebuild of agent_level has written its documents.")
          .Register(*registry)
          .Add({});
  Gauge& rebuild_wait =
      BuildGauge()
          .Name("korveld_rebuild_wait_cycles")
          .Help("Update cycles the start-up rebuild still waits before it writes.")
          .Register(*registry)
          .Add({});

  Gauge& resident_memory = BuildGauge()
                               .Name("korveld_resident_memory_bytes")
                               .Help("Resident memory of the korveld process.")
                               .Register(*registry)
                               .Add({});
  Gauge& start_time = BuildGauge()
                          .Name("korveld_start_time_seconds")
                          .Help("When korveld started, seconds since the epoch.")
                          .Register(*registry)
                          .Add({});

  series() {
    for (size_t i = 0; i < kTableCount; ++i) {
      const std::map<std::string, std::string> labels = {{"table", get_table_name(kTables[i])}};
      table_progress[i] = &progress.Add(labels);
      table_lag[i] = &lag.Add(labels);
      table_last_documents[i] = &last_documents.Add(labels);
      table_documents[i] = &documents.Add(labels);
    }
  }
};

series& all() {
  static series s;
  return s;
}

uint32_t g_last_failure_log_ms = 0;
bool g_failure_logged = false;

double seconds_of(int32_t table, int64_t time) {
  // Incidents page by milliseconds.
  return table == TABLE_INCIDENT_MSG ? static_cast<double>(time) / 1000.0
                                     : static_cast<double>(time);
}

double lag_behind(double now, double read_to) {
  return now > read_to ? now - read_to : 0.0;
}

// A counter follows a module's own running total.
void raise_to(Counter& counter, int64_t total) {
  const double counted = counter.Value();
  if (static_cast<double>(total) > counted) counter.Increment(static_cast<double>(total) - counted);
}

int64_t resident_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "re");
  if (f == nullptr) return 0;
  long size = 0;
  long resident = 0;
  const bool ok = std::fscanf(f, "%ld %ld", &size, &resident) == 2;
  std::fclose(f);
  return ok ? static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE) : 0;
}

int64_t progress_time(int32_t table) {
  auto it = g_last_keys.find(table);
  return it == g_last_keys.end() ? 0 : it->second.last_update_time;
}

void gather(const cycle_timing& timing) {
  series& s = all();
  const double now = static_cast<double>(time(nullptr));

  // The merge first: the brute-force table is read up to where the merge has come.
  const double merge_key = static_cast<double>(progress_time(TABLE_ANTI_BFA_ORIGIN_LOG));
  const double merged_to = g_cycle_figures.merge_caught_up_to > 0
                               ? static_cast<double>(g_cycle_figures.merge_caught_up_to)
                               : merge_key;
  s.merge_progress.Set(merge_key);
  s.merge_lag.Set(lag_behind(now, merged_to));
  s.merge_reports.Set(static_cast<double>(g_cycle_figures.merge_last_reports));
  raise_to(s.merge_total, g_cycle_figures.merge_total_reports);

  for (size_t i = 0; i < kTableCount; ++i) {
    const int32_t table = kTables[i];
    const pass_figures& pass = g_cycle_figures.passes[table];
    const double key = seconds_of(table, progress_time(table));
    double read_to = key;
    if (pass.caught_up_to > 0) {
      read_to = seconds_of(table, pass.caught_up_to);
      // Read up to the merge's progress, which itself read everything there was.
      if (table == TABLE_ANTI_BFA_LOG) read_to = merged_to;
    }
    s.table_progress[i]->Set(key);
    s.table_lag[i]->Set(lag_behind(now, read_to));
    s.table_last_documents[i]->Set(static_cast<double>(pass.last_documents));
    raise_to(*s.table_documents[i], pass.total_documents);
  }

  s.merge_phase.Set(timing.merge_seconds);
  s.passes_phase.Set(timing.passes_seconds);
  s.write_phase.Set(timing.write_seconds);
  s.cycle_duration.Set(timing.total_seconds);
  s.cycles.Increment();
  if (timing.failed) s.failed_cycles.Increment();

  s.written_agents.Set(static_cast<double>(g_cycle_figures.write_pass_agents));
  s.waiting_changes.Set(static_cast<double>(g_agent_risk_map.size()));
  s.pending_entries.Set(static_cast<double>(g_pending_events.size()));
  s.pending_in_db.Set(g_pending_in_db ? 1 : 0);
  s.pending_cached_ids.Set(static_cast<double>(g_pending_db_ids.size()));
  s.rebuild_done.Set(g_first_insert ? 0 : 1);
  s.rebuild_wait.Set(static_cast<double>(g_first_insert ? g_max_calc_count : 0));
  s.resident_memory.Set(static_cast<double>(resident_bytes()));
}

// Writes `text` to `path` through a temporary file beside it; false with errno set.
bool replace_file(const std::string& path, const std::string& text) {
  // The collector reads only files ending in ".prom": the temporary one is never read.
  std::string temp = path + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // A tree installed before the state folder existed: make it.
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (!error) fd = mkostemp(temp.data(), O_CLOEXEC);
    errno = error ? error.value() : errno;
  }
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0;  // the collector runs as another user
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  const int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  const int failure = ok ? errno : saved;
  unlink(temp.c_str());
  errno = failure;
  return false;
}

}  // namespace

void metrics_start() {
  all().start_time.Set(static_cast<double>(time(nullptr)));
}

void metrics_cycle_end(const cycle_timing& timing, const std::string& path) {
  gather(timing);
  if (path.empty()) return;
  if (replace_file(path, metrics_text())) return;
  const int failure = errno;
  const uint32_t now = timer_ticks2ms(timer_get_ticks());
  if (!g_failure_logged ||
      static_cast<uint32_t>(now - g_last_failure_log_ms) > kWriteFailureLogMs) {
    g_failure_logged = true;
    g_last_failure_log_ms = now;
    KLOG(2, "metrics file %s not written: %s", path.c_str(), std::strerror(failure));
  }
}

std::string metrics_text() {
  prometheus::TextSerializer serializer;
  return serializer.Serialize(all().registry->Collect());
}
