// Fixed-period housekeeping: the hourly progress save and memory release, and the
// ten-minute refresh of the threat statistics cache.
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/progress.h"
#include "daemon/korveld.h"
#include "platform/log.h"
#include "platform/loop.h"
#include "stats/ransom_virus_cache.h"

#if KORVEL_TCMALLOC
#include <gperftools/malloc_extension_c.h>
#endif

namespace {
constexpr uint64_t kHourlyMs = 3600000;
constexpr uint64_t kRansomMs = 600000;
}  // namespace

void hourly_work(void*) {
  const last_key progress = g_last_keys[TABLE_ANTI_BFA_ORIGIN_LOG];
  if (!g_config.save_anti_last_update_time(progress)) {
    KLOG(2, "save_anti_last_update_time  : %ld failed",
         static_cast<long>(progress.last_update_time));
  }
#if KORVEL_TCMALLOC
  MallocExtension_ReleaseFreeMemory();
#endif
  cl_timer_start(kHourlyMs, hourly_work, nullptr);
}

void update_ransom_work(void*) {
  KLOG(4, ">>>>>>>>>>>>>> start update_ransom_work and start update");
  g_threat_counts.cache_ransom_virus_data();
  if (g_threat_counts.mongodb_data_save() != 0) KLOG(2, "update cache data failed");
  cl_timer_start(kRansomMs, update_ransom_work, nullptr);
}
