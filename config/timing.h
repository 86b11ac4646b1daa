// Wall-clock milliseconds, the optional timing lines, the stop check and the figures of
// the update cycle.
#pragma once

#include <cstdint>

// Set by the daemon's SIGINT/SIGTERM handler: the process is to stop in an orderly way.
extern volatile unsigned char g_stop_flag;

// True when a stop has been asked for. First serves the signals that arrived while the
// current callback runs, so that a long pass or write pass can end its cycle early.
bool cycle_stop_requested();

// Milliseconds since the epoch (gettimeofday: seconds * 1000 + microseconds / 1000).
int64_t get_current_ms();

// When show_time_use is 1 and level 3 is logged: ">>>>>>%s table: [%s] millisecond is : %ld"
// with the label, the collection name of `table_type` and get_current_ms().
void log_time_use(const char* label, int32_t table_type);

// What the stages of the update cycle did, for the metrics file and the rebuild's progress
// lines. Each stage keeps its own entries; nothing here steers the work.
struct pass_figures {
  int64_t last_documents = 0;   // documents the table's last pass read
  int64_t total_documents = 0;  // documents its passes read since start-up
  // The pass's upper time bound (the table's unit) when its last pass read everything below
  // it; 0 when it stopped at its limit, failed or has not run.
  int64_t caught_up_to = 0;
};
struct cycle_figures {
  pass_figures passes[16];          // by table type
  int64_t merge_last_reports = 0;   // raw reports the last merge run took in
  int64_t merge_total_reports = 0;  // raw reports the merge took in since start-up
  int64_t merge_caught_up_to = 0;   // its upper bound (seconds) when it read everything below it
  int64_t write_pass_agents = 0;    // agents the last write pass wrote (updated or inserted)
  bool write_pass_failed = false;   // the last write pass stopped on a failure
};
extern cycle_figures g_cycle_figures;
