// The query of a brute-force merge run (see bfa_query.h).
#include "bfa/bfa_query.h"

namespace {

// Reply batches of up to this many reports: a large run comes in a few round trips.
constexpr int64_t kReportBatch = 10000;
constexpr const char* kZeroOid = "000000000000000000000000";

}  // namespace

void build_merge_query(int64_t last_time, const std::string& last_id, int64_t now, int64_t limit,
                       bson_t* filter, bson_t* opts) {
  const size_t n = last_id.size();

  // A damaged stored id (wrong length or not hexadecimal) re-reads the whole second.
  bson_oid_t oid;
  if (n == 24 && bson_oid_is_valid(last_id.data(), n)) {
    bson_oid_init_from_string(&oid, last_id.c_str());
  } else {
    bson_oid_init_from_string(&oid, kZeroOid);
  }

  // Reports stamped now or later wait for their time: one from an endpoint whose clock is
  // ahead would otherwise carry the progress past every report still to come.
  BCON_APPEND(filter, "att_times", "{", "$gt", BCON_INT64(0), "}");
  if (n == 0) {
    BCON_APPEND(filter, "time", "{", "$gte", BCON_INT64(last_time), "$lt", BCON_INT64(now), "}");
  } else {
    BCON_APPEND(filter, "$or", "[",                                              //
                "{", "time", "{",                                                //
                "$gt", BCON_INT64(last_time), "$lt", BCON_INT64(now), "}", "}",  //
                "{", "time", "{",                                                //
                "$eq", BCON_INT64(last_time), "$lt", BCON_INT64(now), "}",       //
                "_id", "{", "$gt", BCON_OID(&oid), "}", "}",                     //
                "]");
  }

  BCON_APPEND(opts,                                                                //
              "projection", "{", "duration", BCON_INT64(0), "msg", BCON_INT64(0),  //
              "succ", BCON_INT64(0), "}",                                          //
              "sort", "{", "time", BCON_INT64(1), "_id", BCON_INT64(1), "}",       //
              "limit", BCON_INT64(limit),                                          //
              "batchSize", BCON_INT64(kReportBatch));
}
