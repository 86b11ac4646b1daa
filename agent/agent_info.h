// Agent information cache: host platform and host type of each agent from the registry,
// positive and negative answers remembered until clear().
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/registry.h"

struct agent_host_info {
  bool found = false;  // the registry knows the agent; the numbers below are valid
  int32_t host_type = 0;
  int32_t host_plat = 0;
};

class agent_info_cache {
 public:
  explicit agent_info_cache(rdb_handle handle);
  virtual ~agent_info_cache() = default;
  agent_info_cache(const agent_info_cache&) = delete;
  agent_info_cache& operator=(const agent_info_cache&) = delete;

  // True with *info set: known agent. True with null: unregistered (or an earlier failed
  // look-up since the last clear). False with null: the registry failed on this call.
  // *info stays valid until the next clear() or destruction.
  bool get_agent_info(const std::string& agent_id, agent_host_info** info);

  // Forgets every answer; the map returns to its initial size.
  void clear();

  size_t size() const { return entries_.size(); }
  // Registry look-ups made since construction (for tests and diagnostics).
  uint64_t registry_calls() const { return registry_calls_; }

 private:
  // One registry call for `agent_id` (its leading decimal digits, low 32 bits). True when
  // the registry answered (entry filled when it knows the agent); false when it failed.
  bool load_from_registry(const std::string& agent_id, agent_host_info& entry);

  rdb_handle handle_;
  std::unordered_map<std::string, agent_host_info> entries_;
  uint64_t registry_calls_ = 0;
};

extern rdb_handle g_rdb_handle;
extern agent_info_cache* g_agent_info_cache;  // null when the registry did not attach
