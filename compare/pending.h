// Pending event queue: the events that count against their agent, with the risk level and
// category they were counted with. An in-memory buffer bounded by max_update_pending_event
// overflows into "agent_level_pending_log"; g_pending_db_ids caches ids known to be there.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "compare/event.h"
#include "db/bulk.h"

struct pending_info {
  signed char virus_type = 0;
  signed char risk_level = 0;
};

// The hash of an event id. Being cheap and noexcept, it is not stored in every entry: the
// buffer may hold millions of entries, and recomputing the hash of the few a look-up passes
// costs less than eight more bytes per entry (which also puts a map node of the buffer
// into the allocator's 48-byte class instead of the 64-byte one).
struct log_id_hash {
  size_t operator()(const std::string& log_id) const noexcept {
    return std::hash<std::string_view>{}(log_id);
  }
};

extern std::unordered_map<std::string, pending_info, log_id_hash> g_pending_events;
extern std::unordered_set<std::string, log_id_hash> g_pending_db_ids;
// The pending collection may hold entries: ids not buffered must be looked for there.
extern unsigned char g_pending_in_db;

// Why an event could not be applied or remembered.
struct event_failure {
  // transient: the server did not answer, try the event again later; rejected: the server
  // refuses what the event needs stored, a retry fails the same way.
  db_failure kind = db_failure::none;
  std::string reason;  // what was refused, for the log
};

// Applies one valid event to its agent's change record and to the queue. On false the
// agent's change record is as before the call (a raised last_risk_time may stay) and
// `failure` (when given) says whether to try again; a rejected event is logged at level 1
// and is to be stepped over. A pending document that cannot be used (a field missing, not
// a number, or out of range) is logged at level 1 and replaced: the event counts as new.
bool deal_with_event(int32_t table_type, const event_info& event, event_failure* failure = nullptr);

// The remembered risk level and category of a pending event (buffer, then collection).
bool get_pending_event_info(const std::string& log_id, pending_info& info);
// Forgets a pending event: its buffer entry, or its document and cached id.
bool delete_from_pending(const std::string& log_id);
// Remembers an event as pending with its current risk level and category; flushes a
// full buffer first. When the flush left no room because the server refuses what it took,
// the event goes to the collection by itself. False (event not remembered, `failure` says
// why) when the flush failed transiently without making room, or a look-up, update or
// insert failed.
bool save_pending_event(const event_info& event, event_failure* failure = nullptr);
// Moves up to 10000 buffered entries into the collection in one unordered insert. What
// the collection holds afterwards (inserted, or already there) leaves the buffer and joins
// g_pending_db_ids; the rest goes back. Entries the server refuses for good (or too large
// for any document) stay buffered, logged at level 1. True when every entry reached the
// collection.
bool flush_pending_events();
// Puts the entries of a failed flush back into the buffer and empties `batch`.
void restore_pending_batch(std::map<std::string, pending_info>& batch);

// Reads the pending document of `log_id`; false when absent, unusable (a field missing,
// not a number, or out of range) or unreadable.
bool query_pending_event(const std::string& log_id, pending_info& info);
// Deletes the pending document of `log_id` (true also when there was none).
bool delete_pending_event(const std::string& log_id);
// True when the collection holds no document. A failed look-up answers false ("may hold
// entries"), so no pending event is ever counted twice.
bool pending_collection_empty();
