// Start-up cleanup: the pending events are recounted from scratch after every start, so
// the overflow collection left by the previous run is emptied before the first pass.
#include "compare/cleanup.h"

#include "compare/table_catalogue.h"
#include "db/dbconn.h"
#include "platform/log.h"

bool clean_pending_collection() {
  const char* name = get_table_name(TABLE_AGENT_LEVEL_PENDING_LOG);
  bool ok = db_conn.truncate_collection(name);
  if (!ok) {
    KLOG(2, "delete %s failed", name);
  }
  return ok;
}
