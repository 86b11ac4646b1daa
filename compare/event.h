// Event classification: one document of any of the seven event tables reduced to an
// event_info, its validity, whether it counts as unhandled, and the counters it moves.
#pragma once

#include <cstdint>
#include <string>

#include <bson/bson.h>

struct agent_risk_info;

struct event_info {
  signed char risk_level = 0;  // 0..4 when valid
  signed char virus_type = 0;  // category code
  uint64_t state = 0;
  uint64_t event_time = 0;  // seconds
  std::string agent_id;
  std::string log_id;  // the table's own id (an ObjectId as 24 hex characters) + collection name
};

// Fills `event` from a document of table `table_type`; false skips the document.
// Reuses the strings' storage, so a caller may keep one event_info for a whole pass.
bool get_event_info(int32_t table_type, const bson_t* document, event_info& event);
// The table's handling state (for "domain_log": 1 once no file is left unhandled).
bool get_event_state(int32_t table_type, const bson_t* document, uint64_t& state);
// The table's risk level, before it is cut to 8 bits.
bool get_event_risk_level(int32_t table_type, const bson_t* document, int64_t& risk);
// incident_level -> risk level: 0..2 -> 3, 3 -> 1, 4..5 -> 2, above 5 unchanged (logged).
int64_t incident_level_to_risk(int64_t incident_level);

// Risk level 0..4 and a known category code.
bool check_event_info(const event_info& event);
// The same test without a message: whether korveld could have counted these values.
bool valid_risk_and_category(signed char risk_level, signed char virus_type);

// Whether `state` counts against the agent for this table.
bool event_unhandled(int32_t table_type, uint64_t state);

// Move the counters of the agent's entry in g_agent_risk_map (which must exist) by delta.
void add_risk_count(int32_t table_type, const std::string& agent_id, signed char risk_level,
                    signed char virus_type, int delta);
void add_event_count(const std::string& agent_id, signed char virus_type, int delta);
// The same on a record the caller already holds (spares the per-event map look-ups).
void add_risk_count(int32_t table_type, agent_risk_info& record, signed char risk_level,
                    signed char virus_type, int delta);
void add_event_count(agent_risk_info& record, signed char virus_type, int delta);
