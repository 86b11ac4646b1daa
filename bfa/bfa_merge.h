// Brute-force attack merge: raw reports of "anti_bfa_origin_log" folded into one record
// per attack (agent, service, source) in "anti_bfa_log".
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <bson/bson.h>

// The merge key: lower-case SHA-1 hex of agent_id + serv_type + att_src. False when a
// field is missing, empty or not a string.
bool get_bfa_log_id(const bson_t* raw, std::string& log_id);

// Reads the requested fields (kind 1: int64, kind 2: string) of the first document that
// matches `filter`; absent fields read as 0 or "". False when nothing was found, the
// query failed or the request is empty.
bool query_doc_fields(const char* collection, const bson_t* filter,
                      const std::map<std::string, int>& request,
                      std::map<std::string, int64_t>& ints,
                      std::map<std::string, std::string>& strings);

enum class bfa_update_result {
  ok,           // refreshed, or nothing to change
  unmergeable,  // the raw record can never be merged (no found_time): step over it
  failed,       // the database failed: stop the run, retry from the unmoved progress
};

// Refreshes the stored merged record `log_id` from a raw record (as read by the merge
// query): $set of every raw field except `_id` and `mgr_insert_time`, unless the stored
// record has a user and a found_time at least as recent.
bfa_update_result update_bfa_log(const bson_t* raw, const std::string& log_id);

// Filter and options of the next merge query, from entry 5 of the progress store: the
// reports after the progress whose `time` is before `now` (seconds).
void build_bfa_query(bson_t* filter, bson_t* opts, int64_t now);

// The raw record's ObjectId text and time; false unless both can be read.
bool get_doc_id_time(const bson_t* raw, std::string& id, int64_t& time);

// Raw reports merged per chunk: one read of the chunk's attacks the run does not know yet.
constexpr size_t k_bfa_merge_chunk = 1000;

// One merge run; advances entry 5 of the progress store. False when the query, a read or
// a write failed, or a stop was requested between two chunks or commands (progress
// unmoved, so the next run redoes the work).
bool merge_anti_bfa_log();
