// Incremental comparison pass: the next batch of new or changed documents of one event
// table after its progress key, each classified and applied to its agent.
#pragma once

#include <cstdint>

#include <bson/bson.h>

// One pass over `table_type` (1, 2, 3, 4, 8, 9 or 10). True when the batch was walked to
// its end (also when empty); false when the query or deal_with_event failed.
bool cmp_and_update_agent_inc(int32_t table_type);

// Stores the document's id and time as the progress key of `table_type`.
bool save_last_update_time(int32_t table_type, const bson_t* document);
