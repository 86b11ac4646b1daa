// The agent level refresh. After a start the comparison passes read every table again
// from its oldest document, one bounded batch per cycle; "agent_level" is rebuilt from
// scratch only once they have had enough cycles to read the largest table, and from then
// on every cycle ends with the plain write pass.
#include "agent_level/refresh.h"

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

}  // namespace

bool get_max_calc_count() {
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
    if (static_cast<uint64_t>(count) > max_count) max_count = static_cast<uint64_t>(count);
  }
  // The settings keep the query count at 1 or more; never divide by less.
  const int64_t per_cycle = g_update_settings.update_agent_level_query_count;
  g_max_calc_count = max_count / static_cast<uint64_t>(per_cycle > 0 ? per_cycle : 1);
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
  flush_agent_level();
  log_time_use("first insert finish", TABLE_AGENT_LEVEL);
  // Entries the rebuild could not write go out with the later plain passes.
  g_first_insert = false;
  KLOG(4, "update history date finsih");
}
