// The query of an incremental comparison pass: where each event table keeps its progress
// key, and the filter and options that read the next batch after that key.
#pragma once

#include <cstdint>
#include <string>

#include <bson/bson.h>

// Where a table keeps the two parts of its progress key.
struct pass_table {
  int32_t type;
  const char* time_field;
  const char* id_field;
};

// The key fields of `table_type`, or null for a table the passes do not read.
const pass_table* find_pass_table(int32_t table_type);

// Appends the filter and the options (projection, sort, limit, reply size) of a pass over
// `table_type` after the key (`last_id` of BSON type `last_id_type`, `last_time`), reading
// times below `upper` and at most `limit` documents. The id is compared as a string, or as
// an ObjectId when `last_id_type` says so (`last_id` then holds its 24 hex characters).
// False, with nothing appended, for a table the pass does not read or an ObjectId key
// that is no ObjectId text.
bool build_pass_query(int32_t table_type, const std::string& last_id, bson_type_t last_id_type,
                      int64_t last_time, int64_t upper, int64_t limit, bson_t* filter,
                      bson_t* opts);
