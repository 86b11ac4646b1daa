// The update-work cycle: merge the brute-force reports, compare every event table, write
// the per-agent summaries, drop the agent cache when it is old, and arm the next cycle.
#include <chrono>
#include <ctime>

#include "agent/agent_info.h"
#include "agent_level/refresh.h"
#include "bfa/bfa_merge.h"
#include "compare/cmp_pass.h"
#include "compare/pending.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/progress.h"
#include "config/timing.h"
#include "daemon/korveld.h"
#include "daemon/metrics.h"
#include "platform/log.h"
#include "platform/loop.h"

int64_t g_last_time = 0;
int64_t g_agent_cache_drop_ms = 0;

namespace {

bool g_agent_cache_drop_set = false;

constexpr int32_t kPassOrder[] = {
    TABLE_VIRUS_FILE_LOG,    TABLE_ANTI_BFA_LOG,  TABLE_WEBSHELL_LOG, TABLE_DOMAIN_LOG,
    TABLE_NOFILE_ATTACK_LOG, TABLE_LEAK_INFO_LOG, TABLE_INCIDENT_MSG};

// Answers from the registry are kept for 30 s of loop time at least. Without a cache (the
// registry never attached) there is nothing to drop.
void drop_agent_cache_when_old() {
  if (g_agent_info_cache == nullptr) return;
  int64_t now = cl_event_loop_now();
  if (!g_agent_cache_drop_set || g_agent_cache_drop_ms > now) {
    g_agent_cache_drop_ms = now;
    g_agent_cache_drop_set = true;
  }
  if (now - g_agent_cache_drop_ms > 29999) {
    g_agent_info_cache->clear();
    KLOG(4, "agent info cache timeout, drop it|now=%ld", static_cast<long>(now));
    g_agent_cache_drop_ms = now;
  }
}

}  // namespace

void update_work(void*) {
  log_time_use(">>>>>>>>>>>>>> start update_work and start update", TABLE_ANTI_BFA_ORIGIN_LOG);

  int64_t now = time(nullptr);
  if (now < g_last_time) {
    // The wall clock went back: move the merge back so nothing in the gap is missed, and
    // stop; the stop sequence saves that progress.
    KLOG(2, "time change,g_last_time,cur_time is %lu, %lu ",
         static_cast<unsigned long>(g_last_time), static_cast<unsigned long>(now));
    g_last_keys[TABLE_ANTI_BFA_ORIGIN_LOG].last_update_time =
        now - g_update_settings.update_interval;
    g_stop_flag = 1;
    return;
  }
  g_last_time = now;
  cycle_timing timing;
  const auto started = std::chrono::steady_clock::now();
  auto phase_start = started;
  // Seconds since the phase began; the next phase begins now.
  auto phase_end = [&phase_start] {
    const auto end = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(end - phase_start).count();
    phase_start = end;
    return seconds;
  };

  if (!merge_anti_bfa_log()) timing.failed = true;
  log_time_use("finish update", TABLE_ANTI_BFA_ORIGIN_LOG);
  timing.merge_seconds = phase_end();

  g_pending_in_db = pending_collection_empty() ? 0 : 1;

  for (int32_t type : kPassOrder) {
    // A stop asked for meanwhile ends the cycle here; the main loop then stops in order.
    if (cycle_stop_requested()) return;
    log_time_use("start one compare", type);
    if (cmp_and_update_agent_inc(type)) {
      log_time_use("finish one compare", type);
    } else if (!g_stop_flag) {
      KLOG(2, "cmp_and_update_agent_inc %d failed", type);
      timing.failed = true;
    }
  }
  timing.passes_seconds = phase_end();

  if (cycle_stop_requested()) return;
  log_time_use("start update", TABLE_AGENT_LEVEL);
  g_cycle_figures.write_pass_failed = false;  // a cycle that only waits writes nothing
  update_agent_level();
  log_time_use(">>>>>>>>>>>>>> [finish] update", TABLE_AGENT_LEVEL);
  timing.write_seconds = phase_end();
  if (g_cycle_figures.write_pass_failed) timing.failed = true;

  drop_agent_cache_when_old();

  timing.total_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  metrics_cycle_end(timing, g_config.metrics_textfile());

  cl_timer_start(static_cast<uint64_t>(g_update_settings.update_interval), update_work, nullptr);
}
