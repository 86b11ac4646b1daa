// Threat statistics cache: four seven-day totals in the "cache_data" document
// (unique_key 1), recounted only when their source changed or the day moved on.
#pragma once

#include <cstdint>

#include <bson/bson.h>

class threat_counts {
 public:
  threat_counts() = default;
  virtual ~threat_counts() = default;

  // Recounts the totals that are due.
  void cache_ransom_virus_data();
  // Writes the cache_data document; 0 on success, -1 on failure.
  int mongodb_data_save();

  int32_t counts[4] = {0, 0, 0, 0};  // ransom files, ransom behaviours, brute force, interceptions
};

extern threat_counts g_threat_counts;

// Internal steps, declared for the tests.
bool need_update_cache(int type, const char* collection);
int mongodb_data_count(int type, const char* collection, int32_t& counter);
bson_t* build_count_condition(int type);  // caller destroys; null for an unknown type
int64_t today_end_time();
// Forgets all remembered state (newest record times, last good counts, counters).
void reset_threat_counts_state();
