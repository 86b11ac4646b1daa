// Per-agent risk records: accumulated changes in g_agent_risk_map, and the write pass that
// turns them into "agent_level" documents.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include <bson/bson.h>

// One agent's counters: a signed change record in g_agent_risk_map, or a summary.
struct agent_risk_info {
  int32_t high_risk_c = 0;
  int32_t mid_risk_c = 0;
  int32_t low_risk_c = 0;
  int32_t high_virus_c = 0;
  int32_t mid_virus_c = 0;
  int32_t low_virus_c = 0;
  int32_t high_leak_c = 0;
  int32_t mid_leak_c = 0;
  int32_t low_leak_c = 0;
  int32_t risk_level = 0;  // derived in a summary; unused in a change record
  int32_t webshell_c = 0;
  int32_t nofile_attack_c = 0;
  int32_t botnet_c = 0;
  int32_t antibfa_c = 0;
  int32_t worm_c = 0;
  int32_t ransom_c = 0;
  int32_t trojan_c = 0;
  int32_t miner_c = 0;
  int32_t backdoor_c = 0;
  int32_t macro_c = 0;
  int32_t hacktool_c = 0;
  int32_t adware_c = 0;
  int32_t cad_c = 0;
  int32_t exploit_c = 0;
  int32_t rootkit_c = 0;
  int32_t activatetool_c = 0;
  int32_t infection_c = 0;
  int32_t undefine_c = 0;
  int32_t adv_threat_c = 0;
  uint64_t last_risk_time = 0;
  int32_t total_events = 0;

  bool operator==(const agent_risk_info&) const = default;
};

// Agent id -> accumulated change. Filled by the comparison passes, emptied by
// flush_agent_level.
extern std::unordered_map<std::string, agent_risk_info> g_agent_risk_map;

// True until the first full rebuild: stored documents are not read, every changed agent
// is inserted and total_events comes from the change record.
extern bool g_first_insert;

// Adds `delta` to a counter, saturating at the int32 limits (logged at level 2).
void add_counter(int32_t& counter, int64_t delta, const char* name);

// The stored summary of an agent (zero record when it has none). False when the stored
// document cannot be read or lacks a field.
bool get_agent_origin_info(const std::string& agent_id, agent_risk_info& info);

// New summary = stored summary + change (clamped at 0, risk level derived);
// `changed` tells whether it differs from the stored one. False when the stored
// summary cannot be read.
bool get_agent_risk_doc(const std::string& agent_id, const agent_risk_info& change,
                        agent_risk_info& summary, bool& changed);

// True when the two summaries differ in any field (every counter, the risk level,
// last_risk_time, total_events).
bool agent_risk_changed(const agent_risk_info& stored, const agent_risk_info& updated);

// Fields 1-14 of an "agent_level" document, all numbers int64, in their fixed order:
// risk_high, risk_medium, risk_low, risk_level, last_risk_time, col_update_time,
// virus_high, virus_medium, virus_low, leak_high, leak_medium, leak_low, event_counts
// (nineteen category counts), total_events.
void append_agent_level_fields(bson_t* document, const agent_risk_info& summary,
                               int64_t total_events, int64_t update_time);
// The document inserted for an agent without one: fields 1-14, then `_id`.
void build_agent_level_insert(bson_t* document, const std::string& agent_id,
                              const agent_risk_info& summary, int64_t total_events,
                              int64_t update_time);
// The update of an agent's stored document: {"$set": fields 1-14}.
void build_agent_level_update(bson_t* document, const agent_risk_info& summary,
                              int64_t total_events, int64_t update_time);

// The write pass: updates or inserts the "agent_level" document of every changed agent.
// After the rebuild it takes the map in batches of up to 10000 agents: one read of their
// stored summaries, one aggregation per event-total table, then one ordered run of the
// batch's updates and inserts (updates at most 50 to a command, fewer where one update is
// slow, so that no command takes much over 2 s). An agent whose stored document cannot be
// read is stepped over (its entry stays) and named once per document; a database that
// does not answer, a write the server refuses or a stop request ends the pass, leaving in
// the map exactly the entries whose write did not happen. A write whose outcome is unknown
// (a lost reply) is remembered and settled by the next read of its document, so no change
// is added twice. During the rebuild no document is read, nothing is counted and every
// changed agent is inserted, in unordered bulk inserts of 10000.
void flush_agent_level();

// Returns to g_agent_risk_map the entries of a batch whose documents were not written
// (an entry already there stays as it is) and empties the batch.
void restore_agent_risk_batch(std::map<std::string, agent_risk_info>& batch);
