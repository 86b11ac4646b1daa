// Progress store: per-table keys in memory, and entry 5 (the brute-force merge) kept in
// the progress file across restarts.
#include "config/progress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "compare/table_catalogue.h"
#include "config/config.h"
#include "platform/ini.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/strfmt.h"

std::map<int32_t, last_key> g_last_keys;

namespace {
constexpr const char* kProgressPattern = "@/../config/korvel_last_time.ini";
constexpr const char* kSection = "anti_bfa";
}  // namespace

void save_last_key(int32_t type, const std::string& id, int64_t time, bson_type_t id_type) {
  last_key& entry = g_last_keys[type];
  entry.last_update_time = time;
  entry.last_update_id = id;
  entry.last_update_id_type = id_type;
  const char* name = get_table_name(type);
  KLOG(4, "save last key: %s|log_id=%s|time=%u", name ? name : "", id.c_str(),
       static_cast<unsigned>(time));
}

void get_last_key(int32_t type, int64_t& time, std::string& id, bson_type_t* id_type) {
  auto it = g_last_keys.find(type);
  if (it == g_last_keys.end()) return;
  time = it->second.last_update_time;
  id = it->second.last_update_id;
  if (id_type != nullptr) *id_type = it->second.last_update_id_type;
}

void load_last_keys() {
  g_config.get_anti_last_update_time(g_last_keys[TABLE_ANTI_BFA_ORIGIN_LOG]);
}

void config::get_anti_last_update_time(last_key& entry) {
  char path[4096] = {0};
  dirutils_path_transform(kProgressPattern, path, sizeof(path));
  ini_file* ini = ini_file_load(path);
  if (ini == nullptr) {
    KLOG(2, "get anti_last_update_time failed");
    return;
  }

  const char* time_text = ini_file_get(ini, kSection, "last_update_time");
  if (time_text != nullptr && *time_text != '\0') {
    long value = std::strtol(time_text, nullptr, 10);
    // Unsigned comparison: a negative value reads as a time far in the future.
    if (static_cast<uint64_t>(value) > static_cast<uint64_t>(::time(nullptr))) {
      KLOG(2, "get last_update_time failed");
      entry.last_update_time = 0;
    } else {
      entry.last_update_time = value;
    }
  }

  const char* id_text = ini_file_get(ini, kSection, "last_update_id");
  if (id_text != nullptr && *id_text != '\0') entry.last_update_id = id_text;

  ini_file_free(ini);
}

bool config::save_anti_last_update_time(const last_key& entry) {
  char path[4096] = {0};
  dirutils_path_transform(kProgressPattern, path, sizeof(path));

  // Only this process saves the file (the instance lock): a temporary file beside it is
  // what a save killed before its rename left behind.
  ini_file_remove_stale_temps(path);

  const bool exists = access(path, F_OK) == 0;
  ini_file* ini = exists ? ini_file_load(path) : nullptr;
  if (ini == nullptr) {
    // A file that does not load would fail every save and the merge would start from 0 at
    // each start: it is replaced by one that holds the progress.
    if (exists) KLOG(2, "progress file %s does not load: writing a fresh one", path);
    ini = ini_file_new();
    if (ini == nullptr) {
      KLOG(2, "save anti_last_update_time failed");
      return false;
    }
  }
  // A new file is private to the daemon's user; it appears only through the save's rename.
  if (!exists) umask(022);

  char time_text[16] = {0};
  str_snprintf(time_text, sizeof(time_text), "%ld", static_cast<long>(entry.last_update_time));
  ini_file_set(ini, kSection, "last_update_time", time_text);
  ini_file_set(ini, kSection, "last_update_id", entry.last_update_id.c_str());

  bool ok = true;
  if (ini_file_save_mode(ini, path, 0700) != 0) {
    if (exists) {
      KLOG(2, "ini_file_save file : %s failed", path);
    } else {
      KLOG(2, "file %s creat failed ", path);
    }
    ok = false;
  }
  ini_file_free(ini);
  return ok;
}
