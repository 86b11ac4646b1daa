// When the write pass runs: the wait before the first full rebuild of "agent_level", the
// rebuild itself, and the plain write pass at the end of every later cycle.
#pragma once

#include <cstdint>

// Update-work cycles still to wait before the first full rebuild.
extern uint64_t g_max_calc_count;

// Start-up: largest counted table / update_agent_level_query_count. False when a count
// failed.
bool get_max_calc_count();

// Last step of every update-work cycle.
void update_agent_level();
