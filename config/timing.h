// Wall-clock milliseconds, the optional timing lines and the stop check of the update cycle.
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
