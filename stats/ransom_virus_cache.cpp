// Threat statistics cache: four seven-day totals kept in one "cache_data" document.
// The freshness test (newest record of each source) goes through db_conn; counting and
// saving go through the separate statistics_client so that the slow aggregate work never
// shares a client with the update-work cycle.
#include "stats/ransom_virus_cache.h"

#include <ctime>

#include <mongoc/mongoc.h>

#include "compare/table_catalogue.h"
#include "db/dbbase.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

threat_counts g_threat_counts;

namespace {

mongoc_db s_mongoc_guard;

constexpr int kTypeCount = 4;
constexpr const char* kDbName = "tavrund_qmx";
constexpr int64_t kWindowSeconds = 7 * 86400;

// Source table of each statistic type, in type order.
constexpr int32_t kSourceTable[kTypeCount] = {TABLE_VIRUS_FILE_LOG, TABLE_BEHAVIOR_LOG,
                                              TABLE_ANTI_BFA_ORIGIN_LOG, TABLE_INTERCEPTION_LOG};

// Newest freshness-field value seen when a recount was last decided, per type.
int64_t newest_record_time[kTypeCount] = {0, 0, 0, 0};
// Last non-negative value of each counter; saved in place of a failed (negative) count.
int32_t last_good_counts[kTypeCount] = {0, 0, 0, 0};

const char* freshness_field(int type) {
  switch (type) {
    case 0:
    case 1:
    case 2:
      return "time";
    case 3:
      return "last_time";
    default:
      return nullptr;
  }
}

// True when `t` falls on another local day than `now`. The year counts too: a newest
// record from a year ago to the day is not today's, and the window has moved past it.
bool other_local_day(int64_t t, time_t now) {
  time_t tt = static_cast<time_t>(t);
  struct tm then_tm {};
  struct tm now_tm {};
  localtime_r(&tt, &then_tm);
  localtime_r(&now, &now_tm);
  return then_tm.tm_mday != now_tm.tm_mday || then_tm.tm_mon != now_tm.tm_mon ||
         then_tm.tm_year != now_tm.tm_year;
}

// A handle on `collection` from statistics_client; null when there is no client.
mongoc_collection_t* statistics_collection(const char* collection) {
  if (statistics_client == nullptr) return nullptr;
  return mongoc_client_get_collection(statistics_client, kDbName, collection);
}

class collection_owner {
 public:
  explicit collection_owner(mongoc_collection_t* handle) : handle_(handle) {}
  ~collection_owner() {
    if (handle_ != nullptr) mongoc_collection_destroy(handle_);
  }
  collection_owner(const collection_owner&) = delete;
  collection_owner& operator=(const collection_owner&) = delete;
  mongoc_collection_t* get() const { return handle_; }

 private:
  mongoc_collection_t* handle_;
};

}  // namespace

int64_t today_end_time() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  local.tm_hour = 23;
  local.tm_min = 59;
  local.tm_sec = 59;
  // The filters carry the bounds as int32 values.
  return static_cast<int32_t>(mktime(&local));
}

bson_t* build_count_condition(int type) {
  const int32_t end = static_cast<int32_t>(today_end_time());
  const int32_t start = static_cast<int32_t>(end - kWindowSeconds);
  switch (type) {
    case 0:
      return BCON_NEW("state", "{", "$in", "[", BCON_INT64(1), BCON_INT64(10), BCON_INT64(6),
                      BCON_INT64(7), BCON_INT64(8), BCON_INT64(9), BCON_INT64(11), "]", "}",
                      "virus_type", BCON_INT32(4), "time", "{", "$gte", BCON_INT32(start), "$lte",
                      BCON_INT32(end), "}");
    case 1:
      return BCON_NEW("state", "{", "$in", "[", BCON_INT64(1), BCON_INT64(10), BCON_INT64(6),
                      BCON_INT64(7), BCON_INT64(8), BCON_INT64(9), BCON_INT64(11), "]", "}", "time",
                      "{", "$gte", BCON_INT32(start), "$lte", BCON_INT32(end), "}");
    case 2:
      return BCON_NEW("$or", "[", "{", "state", BCON_INT32(1), "}", "{", "is_auto_flag",
                      BCON_BOOL(true), "}", "]", "time", "{", "$gte", BCON_INT32(start), "$lte",
                      BCON_INT32(end), "}");
    case 3:
      // The group key is a constant text, so every matching record lands in one group.
      return BCON_NEW("pipeline", "[",                                                   //
                      "{", "$match", "{", "last_time", "{", "$gte", BCON_INT32(start),   //
                      "$lte", BCON_INT32(end), "}", "}", "}",                            //
                      "{", "$group", "{", "_id", BCON_UTF8("null"), "total_count", "{",  //
                      "$sum", BCON_UTF8("$reject_times"), "}", "}", "}",                 //
                      "]");
    default:
      KLOG(2, "unkown type=%d", type);
      return nullptr;
  }
}

bool need_update_cache(int type, const char* collection) {
  const char* field = freshness_field(type);
  if (field == nullptr) {
    KLOG(2, "unknown type: %d", type);
    KLOG(1, "get ptr error");
    return false;
  }
  KLOG(4, "collection: %s, last update time: %ld", collection,
       static_cast<long>(newest_record_time[type]));

  bson_owner filter(bson_new());
  bson_owner opts(BCON_NEW("sort", "{", field, BCON_INT64(-1), "}", "limit", BCON_INT64(1)));
  cursor_owner cursor;
  if (!db_conn.query(collection, filter.get(), opts.get(), cursor.address())) return false;

  int64_t newest = 0;
  const bson_t* doc = nullptr;
  if (mongoc_cursor_next(cursor.get(), &doc)) {
    if (!dbconn::get_int64(doc, field, &newest)) return false;
    KLOG(4, "latest time: %ld", static_cast<long>(newest));
  } else {
    // The server is first asked on the first next(): a failure here is a failed freshness
    // query, not an empty collection.
    bson_error_t error;
    if (mongoc_cursor_error(cursor.get(), &error)) {
      KLOG(2, "query %s error:%s", collection, error.message);
      return false;
    }
  }

  int64_t& remembered = newest_record_time[type];
  const bool due =
      remembered != newest || remembered == 0 || other_local_day(remembered, time(nullptr));
  if (!due) return false;
  KLOG(4, "need to update cache %s, last update time: %ld", collection,
       static_cast<long>(remembered));
  remembered = newest;
  return true;
}

int mongodb_data_count(int type, const char* collection, int32_t& counter) {
  bson_owner condition(build_count_condition(type));
  if (!condition) {
    KLOG(2, "mongodb_find_data build condition err");
    return -1;
  }
  collection_owner handle(statistics_collection(collection));
  if (handle.get() == nullptr) {
    KLOG(2, "mongodb_find_data init mongo client err");
    return -1;
  }

  bson_error_t error;
  if (type != 3) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    int64_t n = mongoc_collection_count_with_opts(handle.get(), MONGOC_QUERY_NONE, condition.get(),
                                                  0, 0, nullptr, nullptr, &error);
#pragma GCC diagnostic pop
    counter = static_cast<int32_t>(n);
    // A negative counter makes the next refresh recount without asking for freshness.
    if (n < 0) KLOG(2, "get collection %s count err:%s", collection, error.message);
  } else {
    cursor_owner cursor;
    *cursor.address() = mongoc_collection_aggregate(handle.get(), MONGOC_QUERY_NONE,
                                                    condition.get(), nullptr, nullptr);
    if (mongoc_cursor_error(cursor.get(), &error)) {
      KLOG(2, "query %s error:%s", collection, error.message);
      return -1;
    }
    bool any = false;
    bool have_total = false;
    int32_t total = 0;
    const bson_t* doc = nullptr;
    while (mongoc_cursor_next(cursor.get(), &doc)) {
      any = true;
      if (!dbconn::get_int32(doc, "total_count", &total)) {
        KLOG(2, "get total_count err");
        break;
      }
      have_total = true;
    }
    // An error met while reading must not pass for an empty window and zero the total.
    if (mongoc_cursor_error(cursor.get(), &error)) {
      KLOG(2, "query %s error:%s", collection, error.message);
      return -1;
    }
    if (have_total) {
      counter = total;
    } else if (!any) {
      counter = 0;  // no record in the window
    }
  }
  KLOG(4, "mongodb_data_count info=%d", counter);
  return 0;
}

void threat_counts::cache_ransom_virus_data() {
  for (int type = 0; type < kTypeCount; ++type) {
    const char* collection = get_table_name(kSourceTable[type]);
    // A failed count is retried without asking whether the source changed.
    if (counts[type] < 0 || need_update_cache(type, collection)) {
      if (mongodb_data_count(type, collection, counts[type]) == -1) {
        KLOG(2, "cache_ransom_virus_data err, collection=%s, type=%d", collection, type);
      }
    }
  }
  KLOG(4, "cache_ransom_virus_data %d,%d,%d,%d", counts[0], counts[1], counts[2], counts[3]);
}

int threat_counts::mongodb_data_save() {
  if (counts[0] < 0 && counts[1] < 0 && counts[2] < 0 && counts[3] < 0) {
    KLOG(2, "info unvalid, skip");
    return 0;
  }
  bson_owner selector(BCON_NEW("unique_key", BCON_INT32(1)));
  bson_owner update(bson_new());
  if (!selector || !update) {
    KLOG(2, "bson_new err");
    return -1;
  }
  for (int type = 0; type < kTypeCount; ++type) {
    if (counts[type] >= 0) last_good_counts[type] = counts[type];
  }
  const int64_t now = static_cast<int64_t>(time(nullptr));
  BCON_APPEND(update.get(), "$set", "{",                                   //
              "desc", BCON_UTF8("cache program is korveld"),               //
              "update_time", BCON_INT64(now),                              //
              "cache_data", "{",                                           //
              "ransom_virus_count", BCON_INT32(last_good_counts[0]),       //
              "ransom_behavior_count", BCON_INT32(last_good_counts[1]),    //
              "anti_bfa_count", BCON_INT32(last_good_counts[2]),           //
              "interception_count", BCON_INT32(last_good_counts[3]), "}",  //
              "}");

  collection_owner handle(statistics_collection("cache_data"));
  if (handle.get() == nullptr) {
    KLOG(2, "mongodb_data_save init mongo client err");
    return -1;
  }
  KLOG(3, "cache_ransom_virus_data %d,%d,%d,%d", counts[0], counts[1], counts[2], counts[3]);

  bson_error_t error;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  bool ok = mongoc_collection_update(handle.get(), MONGOC_UPDATE_UPSERT, selector.get(),
                                     update.get(), nullptr, &error);
#pragma GCC diagnostic pop
  if (!ok) {
    KLOG(2, "fail to update db, error: %s", error.message);
    return -1;
  }
  return 0;
}

void reset_threat_counts_state() {
  for (int type = 0; type < kTypeCount; ++type) {
    g_threat_counts.counts[type] = 0;
    newest_record_time[type] = 0;
    last_good_counts[type] = 0;
  }
}
