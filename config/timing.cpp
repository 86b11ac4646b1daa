// Wall-clock milliseconds, the timing lines of the update cycle (show_time_use = 1) and its
// stop check.
#include "config/timing.h"

#include <sys/time.h>

#include "compare/table_catalogue.h"
#include "config/config.h"
#include "platform/log.h"
#include "platform/loop.h"

volatile unsigned char g_stop_flag = 0;
cycle_figures g_cycle_figures;

bool cycle_stop_requested() {
  cl_signal_poll();
  return g_stop_flag != 0;
}

int64_t get_current_ms() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void log_time_use(const char* label, int32_t table_type) {
  if (g_update_settings.show_time_use != 1) return;
  const char* name = get_table_name(table_type);
  KLOG(3, ">>>>>>%s table: [%s] millisecond is : %ld", label, name ? name : "",
       static_cast<long>(get_current_ms()));
}
