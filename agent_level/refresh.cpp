// The agent level refresh. After a start the comparison passes read every table again
// from its oldest document, one bounded batch per cycle; "agent_level" is rebuilt from
// scratch only once they have had enough cycles to read the largest table, and from then
// on every cycle ends with the plain write pass.
#include "agent_level/refresh.h"

#include <chrono>

#include "agent_level/agent_risk.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/timing.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

uint64_t g_max_calc_count = 0;

namespace {

mongoc_db s_mongoc_db;

// The tables whose size bounds the wait; leak_info_log is compared but not counted.
constexpr int32_t kCountedTables[] = {
    TABLE_VIRUS_FILE_LOG, TABLE_WEBSHELL_LOG,      TABLE_DOMAIN_LOG,
    TABLE_ANTI_BFA_LOG,   TABLE_NOFILE_ATTACK_LOG, TABLE_INCIDENT_MSG,
};

// For the rebuild's progress lines: the largest counted table at start-up, its size, and
// when the counting began.
int32_t s_largest_table = 0;
uint64_t s_largest_count = 0;
std::chrono::steady_clock::time_point s_counted_at;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool get_max_calc_count() {
  s_counted_at = std::chrono::steady_clock::now();
  bson_owner filter(dbbase::new_document());
  uint64_t max_count = 0;
  bool ok = true;
  for (int32_t type : kCountedTables) {
    const char* name = get_table_name(type);
    const int64_t count = db_conn.count(name, filter.get());
    if (count < 0) {
      KLOG(2, "get_max_col_count %s failed", name);
      ok = false;
      break;
    }
    KLOG(4, "col : %s count is %ld", name, static_cast<long>(count));
    if (static_cast<uint64_t>(count) > max_count) {
      max_count = static_cast<uint64_t>(count);
      s_largest_table = type;
    }
  }
  // The settings keep the query count at 1 or more; never divide by less.
  const int64_t per_cycle = g_update_settings.update_agent_level_query_count;
  g_max_calc_count = max_count / static_cast<uint64_t>(per_cycle > 0 ? per_cycle : 1);
  s_largest_count = max_count;
  KLOG(4, "max_count is %ld,max_calc_count is %ld", static_cast<long>(max_count),
       static_cast<long>(g_max_calc_count));
  return ok;
}

void update_agent_level() {
  if (!g_first_insert) {
    flush_agent_level();
    return;
  }
  if (g_max_calc_count > 0) {
    --g_max_calc_count;
    KLOG(4, "g_max_calc_count is %ld", static_cast<long>(g_max_calc_count));
    // How far the passes have paged through the history, for an operator waiting on it.
    const char* largest = get_table_name(s_largest_table);
    KLOG(3, "agent_level rebuild waits: %ld of %ld documents of %s read; cycles to wait: %ld",
         static_cast<long>(g_cycle_figures.passes[s_largest_table].total_documents),
         static_cast<long>(s_largest_count), largest != nullptr ? largest : "",
         static_cast<long>(g_max_calc_count));
    return;
  }
  const char* name = get_table_name(TABLE_AGENT_LEVEL);
  bson_owner everything(dbbase::new_document());
  if (!db_conn.delete_many(name, everything.get(), nullptr)) {
    // The old documents stay; the rebuild is tried again next cycle.
    KLOG(2, "delete %s failed,use old data", name);
    return;
  }
  log_time_use("first insert start", TABLE_AGENT_LEVEL);
  const auto writing = std::chrono::steady_clock::now();
  flush_agent_level();
  log_time_use("first insert finish", TABLE_AGENT_LEVEL);
  KLOG(3, "agent_level rebuilt %.1f s after start-up: %ld agent documents written in %.1f s",
       seconds_since(s_counted_at), static_cast<long>(g_cycle_figures.write_pass_agents),
       seconds_since(writing));
  // Entries the rebuild could not write go out with the later plain passes.
  g_first_insert = false;
  KLOG(4, "update history date finsih");
}
