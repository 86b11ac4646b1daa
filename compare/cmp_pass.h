// Incremental comparison pass: the next batch of new or changed documents of one event
// table after its progress key, each classified and applied to its agent.
#pragma once

#include <cstdint>

#include <bson/bson.h>

// One pass over `table_type` (1, 2, 3, 4, 8, 9 or 10). True when the batch was walked to
// its end (also when empty); false when the query failed, deal_with_event failed in a way
// a retry may mend (the server did not answer), or a stop request ended the walk (looked
// at every 1000 documents). An event the server refuses to have stored is stepped over.
// The table's progress key moves to the last document consumed; a pass that consumed none
// leaves it where it was, so that a late commit is still read, except that "anti_bfa_log"
// moves it to the empty id and the merge's time, and a full batch of documents none of
// which classifies moves it to the last of them whose key can be read.
bool cmp_and_update_agent_inc(int32_t table_type);

// Stores the document's id (a string or an ObjectId, with its type) and time as the
// progress key of `table_type`. False (key unchanged) when the document is null or lacks
// either field.
bool save_last_update_time(int32_t table_type, const bson_t* document);

// The exclusive upper time bound of a pass over `table_type` that starts at `now` (wall
// seconds): now, now * 1000 for "incident_msg" (milliseconds), and for "anti_bfa_log" the
// time the brute-force merge has reached (progress entry 5; 0 when it has none).
int64_t pass_upper_bound(int32_t table_type, int64_t now);
