// Update configuration ("@/../config/korvel.ini", section "update") and the progress file
// ("@/../config/korvel_last_time.ini", section "anti_bfa").
#pragma once

#include <cstdint>
#include <string>

struct last_key;

// The five settings in force. Defaults: 100000, 500000, 2000 ms, 1280000, 0.
struct update_settings {
  int64_t update_anti_query_count = 100000;
  int64_t update_agent_level_query_count = 500000;
  int64_t update_interval = 2000;  // milliseconds
  int64_t max_update_pending_event = 1280000;
  int64_t show_time_use = 0;
};

class config {
 public:
  config() = default;
  virtual ~config() = default;
  config(const config&) = delete;
  config& operator=(const config&) = delete;

  // Rebuilds the settings from the defaults and the file; never fails (problems are
  // logged and leave the default). The reference stays valid for the object's life.
  const update_settings& get_update_config();

  // Where the metrics file goes, as of the last get_update_config: key "textfile" of
  // section "metrics", expanded; "@/../var/lib/korvel/korveld.prom" when the key is
  // missing; empty (no file) when its value is empty.
  const std::string& metrics_textfile() const { return metrics_textfile_; }

  // Fills `entry` from the progress file where the file allows; leaves the rest unchanged.
  void get_anti_last_update_time(last_key& entry);

  // Writes `entry` into the progress file (created 0700 when missing). True on success.
  bool save_anti_last_update_time(const last_key& entry);

 private:
  update_settings settings_;
  std::string metrics_textfile_;
};

// The process's configuration object and the settings copied from it.
extern config g_config;
extern update_settings g_update_settings;
