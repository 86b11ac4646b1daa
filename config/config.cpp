// The update configuration: five settings rebuilt from their defaults and section "update"
// of korvel.ini at start-up and on every reload.
#include "config/config.h"

#include <cstdlib>

#include "platform/ini.h"
#include "platform/log.h"
#include "platform/memprobe.h"
#include "platform/paths.h"

config g_config;
update_settings g_update_settings;

namespace {

constexpr const char* kConfigPattern = "@/../config/korvel.ini";
constexpr const char* kMetricsPattern = "@/../var/lib/korvel/korveld.prom";
constexpr const char* kSection = "update";
constexpr int64_t kDefaultPendingEvents = 1280000;
constexpr int64_t kMinPendingEvents = 10000;
constexpr int64_t kMaxPendingEvents = 5000000;

// One plain key: `low`..`high` accepted, stored times `scale`; missing or empty logs
// `missing_message` with the default still in force.
struct int_key {
  const char* key;
  int64_t update_settings::*field;
  int64_t low;
  int64_t high;
  int64_t scale;
  const char* missing_message;
};

void read_int_key(ini_file* ini, update_settings& settings, const int_key& k) {
  const char* text = ini_file_get(ini, kSection, k.key);
  if (text == nullptr || *text == '\0') {
    KLOG(3, k.missing_message, static_cast<int>(settings.*k.field));
    return;
  }
  long value = std::strtol(text, nullptr, 10);
  if (value >= k.low && value <= k.high) settings.*k.field = value * k.scale;
}

void read_pending_event_unit(ini_file* ini, update_settings& settings) {
  int64_t total = qrt_cgroup_memory_total();
  if (total <= 0) {
    KLOG(1, "get system memory info failed: %m");
    KLOG(3, "get system memory total failed, use default: %d",
         static_cast<int>(kDefaultPendingEvents));
    return;
  }
  int gigabytes = static_cast<int>(total / (int64_t{1} << 30)) + 1;
  KLOG(3, "get sys memory total succ: %lld B -> %d G", static_cast<long long>(total), gigabytes);

  const char* text = ini_file_get(ini, kSection, "pending_event_unit");
  if (text == nullptr || *text == '\0') {
    KLOG(3, "get max_update_pending_event failed, use default: %d",
         static_cast<int>(kDefaultPendingEvents));
    return;
  }
  // The product is taken in 128 bits' worth of care: a huge unit must clamp, not wrap.
  long unit = std::strtol(text, nullptr, 10);
  __int128 product = static_cast<__int128>(unit) * gigabytes;
  int64_t value = product < kMinPendingEvents   ? kMinPendingEvents
                  : product > kMaxPendingEvents ? kMaxPendingEvents
                                                : static_cast<int64_t>(product);
  settings.max_update_pending_event = value;
  KLOG(3, "set max_update_pending_event: %d, sys_mem = %d", static_cast<int>(value), gigabytes);
}

// Key "textfile" of section "metrics": a path ("@/" patterns expanded), or empty for no
// file; the default place when the key is missing.
std::string read_metrics_textfile(ini_file* ini) {
  const char* text = ini != nullptr ? ini_file_get(ini, "metrics", "textfile") : nullptr;
  if (text != nullptr && *text == '\0') return std::string();
  char path[4096] = {0};
  if (dirutils_path_transform(text != nullptr ? text : kMetricsPattern, path, sizeof(path)) != 0) {
    KLOG(2, "metrics textfile path too long, no metrics file: %s", text != nullptr ? text : "");
    return std::string();
  }
  return path;
}

}  // namespace

const update_settings& config::get_update_config() {
  settings_ = update_settings{};

  char path[4096] = {0};
  dirutils_path_transform(kConfigPattern, path, sizeof(path));
  ini_file* ini = ini_file_load(path);
  metrics_textfile_ = read_metrics_textfile(ini);
  if (ini == nullptr) {
    KLOG(2, "open update config failed %s", kConfigPattern);
    return settings_;
  }

  read_int_key(ini, settings_,
               {"update_anti_query_count", &update_settings::update_anti_query_count, 1, 5000000, 1,
                "get update_anti_query_count failed, use default: %d"});
  read_int_key(ini, settings_,
               {"update_agent_level_query_count", &update_settings::update_agent_level_query_count,
                1, 5000000, 1, "get update_agent_level_query_count, use default: %d"});
  read_pending_event_unit(ini, settings_);
  read_int_key(ini, settings_,
               {"show_time_use", &update_settings::show_time_use, 0, 1, 1,
                "get time use failed, use default: %d"});
  read_int_key(ini, settings_,
               {"update_interval", &update_settings::update_interval, 1, 60, 1000,
                "get update_interval failed, use default: %d"});

  ini_file_free(ini);
  return settings_;
}
