// Wall-clock milliseconds and the optional timing lines of the update cycle.
#pragma once

#include <cstdint>

// Milliseconds since the epoch (gettimeofday: seconds * 1000 + microseconds / 1000).
int64_t get_current_ms();

// When show_time_use is 1 and level 3 is logged: ">>>>>>%s table: [%s] millisecond is : %ld"
// with the label, the collection name of `table_type` and get_current_ms().
void log_time_use(const char* label, int32_t table_type);
