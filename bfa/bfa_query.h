// The query of a brute-force merge run: the raw reports after the merge's progress whose
// `time` is before now, in (`time`, `_id`) order. It needs nothing but libbson, so that a
// tool which must ask the server exactly what the daemon asks can build it too.
#pragma once

#include <cstdint>
#include <string>

#include <bson/bson.h>

// Appends the filter and the options (projection, sort, limit, reply size) of the reports
// after the progress (`last_time`, `last_id`: the 24-character hex text of the last
// report's ObjectId, or empty for none) stamped before `now` (seconds), at most `limit`.
// An id that is no ObjectId's text reads the whole second `last_time` again.
void build_merge_query(int64_t last_time, const std::string& last_id, int64_t now, int64_t limit,
                       bson_t* filter, bson_t* opts);
