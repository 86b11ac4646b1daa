// Brute-force attack merge. Every update-work cycle reads the raw reports that arrived in
// "anti_bfa_origin_log" after the stored progress (entry 5 of the progress store) and folds
// them into one record per attack in "anti_bfa_log": new attacks go out in bulk inserts,
// known ones are refreshed in place. The progress moves only after a run that wrote
// everything it read, so a failed run is redone from the same place in the next cycle.
#include "bfa/bfa_merge.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "config/config.h"
#include "config/progress.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

namespace {

constexpr const char* k_origin_table = "anti_bfa_origin_log";
constexpr const char* k_merged_table = "anti_bfa_log";
constexpr int32_t k_origin_type = 5;  // progress entry of the origin log
constexpr size_t k_batch_slots = 10000;
constexpr const char* k_zero_oid = "000000000000000000000000";

// Appends every field of `raw` except `_id`, then `_id` = the merge key, to `dst`.
void append_merged_record(const bson_t* raw, const std::string& log_id, bson_t* dst) {
  bson_copy_to_excluding_noinit(raw, dst, "_id", nullptr);
  bson_append_utf8(dst, "_id", 3, log_id.data(), static_cast<int>(log_id.size()));
}

// New merged records of one run, waiting for a bulk insert. Later reports of an attack
// that is still waiting replace its record in its slot, so one attack costs one insert.
class bfa_batch {
 public:
  bfa_batch() = default;
  ~bfa_batch() {
    clear();
    delete[] slots_;
  }
  bfa_batch(const bfa_batch&) = delete;
  bfa_batch& operator=(const bfa_batch&) = delete;

  bool empty() const { return used_ == 0; }
  bool full() const { return used_ == k_batch_slots; }

  // Replaces the waiting record of `log_id` by one built from `raw`; false when the
  // attack has no waiting record.
  bool replace(const std::string& log_id, const bson_t* raw) {
    auto it = index_.find(log_id);
    if (it == index_.end()) return false;
    bson_t* slot = slots_[it->second];
    bson_reinit(slot);  // keeps the slot's buffer for the new copy
    append_merged_record(raw, log_id, slot);
    return true;
  }

  // Puts a new record into the next slot; the caller has made room (see full()).
  void add(const std::string& log_id, const bson_t* raw) {
    if (slots_ == nullptr) slots_ = new bson_t*[k_batch_slots];  // idle runs allocate none
    bson_t* doc = bson_sized_new(raw->len + log_id.size() + 16);
    if (doc == nullptr) {
      KLOG(0, "Out of memory.");
      exit(0);
    }
    append_merged_record(raw, log_id, doc);
    slots_[used_] = doc;
    index_.emplace(log_id, used_);
    ++used_;
  }

  // Inserts every waiting record; on success the batch is empty again.
  bool flush() {
    if (!db_conn.insert_many(k_merged_table, const_cast<const bson_t**>(slots_), used_)) {
      return false;
    }
    clear();
    return true;
  }

  void clear() {
    for (size_t i = 0; i < used_; ++i) bson_destroy(slots_[i]);
    used_ = 0;
    index_.clear();
  }

 private:
  bson_t** slots_ = nullptr;  // k_batch_slots entries once the first record arrives
  size_t used_ = 0;
  std::map<std::string, size_t> index_;  // merge key -> slot
};

}  // namespace

bool get_bfa_log_id(const bson_t* raw, std::string& log_id) {
  std::string agent_id, serv_type, att_src;
  // All three are read so that each field of the wrong type is reported.
  bool have_agent = dbconn::get_string(raw, "agent_id", agent_id);
  bool have_serv = dbconn::get_string(raw, "serv_type", serv_type);
  bool have_src = dbconn::get_string(raw, "att_src", att_src);
  if (!have_agent || !have_serv || !have_src) return false;
  if (agent_id.empty() || serv_type.empty() || att_src.empty()) return false;

  std::string joined;
  joined.reserve(agent_id.size() + serv_type.size() + att_src.size());
  joined.append(agent_id).append(serv_type).append(att_src);
  std::string key = dbconn::sha1_hex(joined);
  // The hex encoder's letter case is not ours to rely on; stored keys are lower case.
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  log_id = std::move(key);
  return true;
}

bool query_doc_fields(const char* collection, const bson_t* filter,
                      const std::map<std::string, int>& request,
                      std::map<std::string, int64_t>& ints,
                      std::map<std::string, std::string>& strings) {
  if (request.empty()) return false;  // nothing to read: spare the round trip

  cursor_owner cursor;
  if (!db_conn.query(collection, filter, nullptr, cursor.address())) {
    KLOG(2, "query %s failed", collection);
    return false;
  }
  const bson_t* doc = nullptr;
  if (!mongoc_cursor_next(cursor.get(), &doc)) {
    // Server errors surface only here; "not found" is silent, a failure is not.
    bson_error_t error;
    if (mongoc_cursor_error(cursor.get(), &error)) {
      KLOG(2, "query %s error:%s", collection, error.message);
      KLOG(2, "query %s failed", collection);
    }
    return false;
  }

  for (const auto& [field, kind] : request) {
    if (kind == 1) {
      int64_t value = 0;
      if (!dbconn::get_int64(doc, field.c_str(), &value)) {
        KLOG(2, "get %s info failed,field is %s ", collection, field.c_str());
        value = 0;
      }
      ints[field] = value;
    } else if (kind == 2) {
      std::string text;
      if (!dbconn::get_string(doc, field.c_str(), text)) {
        KLOG(2, "get %s info failed,field is %s ", collection, field.c_str());
        text.clear();
      }
      strings[field] = std::move(text);
    }
  }
  return true;
}

bfa_update_result update_bfa_log(const bson_t* raw, const std::string& log_id) {
  int64_t found_time = 0;
  if (!dbconn::get_int64(raw, "found_time", &found_time)) {
    // No later run could decide this report's recency either: the merge steps over it.
    KLOG(2, "get found_time field faild, log_id is %s", log_id.c_str());
    return bfa_update_result::unmergeable;
  }

  bson_owner selector(dbconn::new_document());
  bson_append_utf8(selector.get(), "_id", 3, log_id.data(), static_cast<int>(log_id.size()));

  static const std::map<std::string, int> request = {{"found_time", 1}, {"user", 2}};
  std::map<std::string, int64_t> ints;
  std::map<std::string, std::string> strings;
  if (!query_doc_fields(k_merged_table, selector.get(), request, ints, strings)) {
    KLOG(2, "get %s info faild, log_id is %s", k_merged_table, log_id.c_str());
    return bfa_update_result::failed;
  }

  // A stored record with a user keeps its data against reports that are not newer; one
  // without a user takes any report, older or not.
  if (static_cast<uint64_t>(ints["found_time"]) >= static_cast<uint64_t>(found_time) &&
      !strings["user"].empty()) {
    KLOG(4, "needn't update ,log_id %s", log_id.c_str());
    return bfa_update_result::ok;
  }

  bson_owner update(dbconn::new_document());
  bson_t set;
  bson_append_document_begin(update.get(), "$set", 4, &set);
  bson_copy_to_excluding_noinit(raw, &set, "_id", "mgr_insert_time", nullptr);
  bson_append_document_end(update.get(), &set);
  if (!db_conn.update(k_merged_table, selector.get(), update.get(), MONGOC_UPDATE_NONE)) {
    return bfa_update_result::failed;
  }
  return bfa_update_result::ok;
}

void build_bfa_query(bson_t* filter, bson_t* opts, int64_t now) {
  int64_t last_time = 0;
  std::string last_id;
  get_last_key(k_origin_type, last_time, last_id);
  const size_t n = last_id.size();

  // A damaged stored id (wrong length or not hexadecimal) re-reads the whole second.
  bson_oid_t oid;
  if (n == 24 && bson_oid_is_valid(last_id.data(), n)) {
    bson_oid_init_from_string(&oid, last_id.c_str());
  } else {
    bson_oid_init_from_string(&oid, k_zero_oid);
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
              "limit", BCON_INT64(g_update_settings.update_anti_query_count));
}

bool get_doc_id_time(const bson_t* raw, std::string& id, int64_t& time) {
  std::string oid_text;
  if (!dbconn::get_doc_oid_str(raw, "_id", oid_text)) return false;
  int64_t value = 0;
  if (!dbconn::get_int64(raw, "time", &value)) return false;
  id.swap(oid_text);
  time = value;
  return true;
}

bool merge_anti_bfa_log() {
  bson_owner filter(dbconn::new_document());
  bson_owner opts(dbconn::new_document());
  build_bfa_query(filter.get(), opts.get(), static_cast<int64_t>(::time(nullptr)));

  cursor_owner cursor;
  if (!db_conn.query(k_origin_table, filter.get(), opts.get(), cursor.address())) {
    KLOG(2, "query %s failed", k_origin_table);
    return false;
  }

  // Unwritten records are released by the batch on every way out of the run.
  bfa_batch batch;
  std::string id, last_id, log_id;
  int64_t time = 0, last_time = 0;
  bool taken_in = false;

  const bson_t* raw = nullptr;
  while (mongoc_cursor_next(cursor.get(), &raw)) {
    if (!get_doc_id_time(raw, id, time)) continue;
    last_id.assign(id);
    last_time = time;
    taken_in = true;

    if (!get_bfa_log_id(raw, log_id)) continue;
    // Within a run the latest report of an attack wins outright.
    if (batch.replace(log_id, raw)) continue;

    // A failed look-up must not pass for "absent": that would insert a duplicate.
    int known = db_conn.id_lookup(k_merged_table, log_id);
    if (known < 0) {
      KLOG(2, "query %s failed", k_merged_table);
      return false;
    }
    if (known == 1) {
      // An unmergeable report was logged by update_bfa_log and is stepped over: it
      // would fail the same way in every later run and hold back every later report.
      if (update_bfa_log(raw, log_id) == bfa_update_result::failed) {
        KLOG(2, "update %s failed log_id is %s ", k_merged_table, log_id.c_str());
        return false;
      }
      continue;
    }

    if (batch.full() && !batch.flush()) {
      KLOG(2, "inserts %s failed", k_merged_table);
      return false;
    }
    batch.add(log_id, raw);
  }

  bson_error_t error;
  if (mongoc_cursor_error(cursor.get(), &error)) {
    // The read broke off part way: what was not seen must be read again.
    KLOG(2, "query %s error:%s", k_origin_table, error.message);
    KLOG(2, "query %s failed", k_origin_table);
    return false;
  }

  if (!batch.empty() && !batch.flush()) {
    KLOG(2, "inserts %s failed", k_merged_table);
    return false;
  }

  if (taken_in) {
    last_key& entry = g_last_keys[k_origin_type];
    entry.last_update_time = last_time;
    entry.last_update_id.swap(last_id);
  } else {
    auto it = g_last_keys.find(k_origin_type);
    if (it != g_last_keys.end() && it->second.last_update_time != 0) {
      // Nothing new: move the lower bound on so the next query starts one second later.
      it->second.last_update_time += 1;
      it->second.last_update_id.clear();
    }
  }
  return true;
}
