// Agent information cache: the host platform and host type of each agent, asked of the
// registry once per agent and cache lifetime. Unknown agents and failed look-ups are
// remembered too, so a burst of events from one agent costs at most two registry calls.
#include "agent/agent_info.h"

#include <cstdlib>
#include <cstring>

#include "db/dbbase.h"
#include "platform/log.h"
#include "platform/tick.h"

rdb_handle g_rdb_handle = nullptr;
agent_info_cache* g_agent_info_cache = nullptr;

namespace {

mongoc_db s_mongoc_db;

// The map starts small: the cache is dropped every 30 s and rebuilt from the agents seen.
constexpr size_t kInitialBuckets = 10;

// Tick time of the last "get agent info failed" line, shared by every look-up.
uint32_t s_last_failure_log_ms = 0;

int32_t read_int32(const unsigned char* record, int offset) {
  int32_t value;
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}

}  // namespace

agent_info_cache::agent_info_cache(rdb_handle handle) : handle_(handle), entries_(kInitialBuckets) {
  entries_.max_load_factor(1.0f);
}

bool agent_info_cache::get_agent_info(const std::string& agent_id, agent_host_info** info) {
  *info = nullptr;
  auto it = entries_.find(agent_id);
  if (it != entries_.end()) {
    if (it->second.found) *info = &it->second;
    return true;
  }
  agent_host_info& entry = entries_.try_emplace(agent_id).first->second;
  bool ok = load_from_registry(agent_id, entry);
  // An unknown agent or a failure is asked once more at once: the registry may have been
  // updated, or the failure may pass.
  if (!entry.found) ok = load_from_registry(agent_id, entry);
  if (entry.found) *info = &entry;
  return ok;
}

void agent_info_cache::clear() {
  std::unordered_map<std::string, agent_host_info> fresh(kInitialBuckets);
  fresh.max_load_factor(1.0f);
  entries_.swap(fresh);
}

bool agent_info_cache::load_from_registry(const std::string& agent_id, agent_host_info& entry) {
  const uint32_t agent_number = static_cast<uint32_t>(std::strtol(agent_id.c_str(), nullptr, 10));
  alignas(8) unsigned char record[RDB_RECORD_SIZE];
  ++registry_calls_;
  const int ret = rdb_get_agent(&handle_, agent_number, record);
  if (ret == RDB_AGENT_NOT_FOUND) return true;
  if (ret == 0) {
    entry.found = true;
    entry.host_type = read_int32(record, RDB_HOST_TYPE_OFFSET);
    entry.host_plat = read_int32(record, RDB_HOST_PLAT_OFFSET);
    return true;
  }
  if (s_log_level >= 2) {
    const uint32_t now = timer_ticks2ms(timer_get_ticks());
    if (static_cast<uint32_t>(now - s_last_failure_log_ms) > 5000) {
      s_last_failure_log_ms = now;
      KLOG(2, "get agent info failed|ret=%d|agent_id=%s", ret, agent_id.c_str());
    }
  }
  return false;
}
