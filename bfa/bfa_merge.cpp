// Brute-force attack merge. Every update-work cycle reads the raw reports that arrived in
// "anti_bfa_origin_log" after the stored progress (entry 5 of the progress store) and folds
// them into one record per attack in "anti_bfa_log": new attacks go out in bulk inserts,
// known ones are refreshed in place. The reports are taken in chunks: one read tells which
// of a chunk's attacks are stored and what the refresh rule needs of them; the refreshes
// go out in ordered update commands of up to 50. The progress moves only after a run that
// wrote everything it read, so a failed run is redone from the same place in the next
// cycle.
#include "bfa/bfa_merge.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bfa/bfa_query.h"
#include "config/config.h"
#include "config/progress.h"
#include "config/timing.h"
#include "db/bulk.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

namespace {

constexpr const char* k_origin_table = "anti_bfa_origin_log";
constexpr const char* k_merged_table = "anti_bfa_log";
constexpr int32_t k_origin_type = 5;  // progress entry of the origin log
constexpr size_t k_batch_slots = 10000;
// Raw reports per cursor batch: a server's default (FerretDB's is a few hundred after the
// first 101) would make a large run one getMore per few hundred reports.
// Refreshes wait until the run ends, a full batch of new attacks goes out, or this many
// are waiting: the longer they wait, the more reports of one attack fold into one update.
constexpr size_t k_refresh_bound = 10000;
// What a run remembers of stored records: past this many, it is dropped once what it
// describes is written, and read again where needed.
constexpr size_t k_known_bound = 100000;

// Appends every field of `raw` except `_id`, then `_id` = the merge key, to `dst`.
void append_merged_record(const bson_t* raw, const std::string& log_id, bson_t* dst) {
  bson_copy_to_excluding_noinit(raw, dst, "_id", nullptr);
  bson_append_utf8(dst, "_id", 3, log_id.data(), static_cast<int>(log_id.size()));
}

// Appends what a refresh sets: every field of `raw` except `_id` and `mgr_insert_time`.
void append_refresh_fields(const bson_t* raw, bson_t* dst) {
  bson_copy_to_excluding_noinit(raw, dst, "_id", "mgr_insert_time", nullptr);
}

// The refresh rule: a stored record with a user keeps its data against reports that are
// not newer; one without a user takes any report, older or not.
bool refresh_needed(int64_t stored_found_time, const std::string& stored_user, int64_t found_time) {
  return static_cast<uint64_t>(stored_found_time) < static_cast<uint64_t>(found_time) ||
         stored_user.empty();
}

// A stored merged record's `found_time` and `user` as a read of the record would give
// them, with what such a read would find missing.
struct known_record {
  enum user_kind : uint8_t { user_absent, user_text, user_other };
  int64_t found_time = 0;
  std::string user;
  bool has_found_time = false;
  user_kind user_state = user_absent;

  // Takes the `user` element `it` points at: a string, or anything else (read as "").
  void take_user(const bson_iter_t* it) {
    if (BSON_ITER_HOLDS_UTF8(it)) {
      uint32_t length = 0;
      const char* text = bson_iter_utf8(it, &length);
      user.assign(text, length);
      user_state = user_text;
    } else {
      user.clear();
      user_state = user_other;
    }
  }

  // Reads both fields of a stored (or about to be stored) record, first occurrences.
  void read(const bson_t* doc) {
    *this = known_record{};
    bson_iter_t it;
    if (bson_iter_init_find(&it, doc, "found_time")) {
      found_time = bson_iter_as_int64(&it);
      has_found_time = true;
    }
    if (bson_iter_init_find(&it, doc, "user")) take_user(&it);
  }

  // The messages a read of the stored record logs for its missing fields.
  void log_missing() const {
    if (!has_found_time) {
      KLOG(2, "get %s info failed,field is %s ", k_merged_table, "found_time");
    }
    if (user_state == user_other) KLOG(2, "get field %s failed", "user");
    if (user_state != user_text) KLOG(2, "get %s info failed,field is %s ", k_merged_table, "user");
  }
};

// True when `doc` holds two fields of one name.
bool has_duplicate_keys(const bson_t* doc) {
  std::vector<std::string_view> keys;
  bson_iter_t it;
  if (!bson_iter_init(&it, doc)) return true;
  while (bson_iter_next(&it)) keys.emplace_back(bson_iter_key(&it), bson_iter_key_len(&it));
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

// The field of `doc` named exactly `key`.
bool find_exact(const bson_t* doc, std::string_view key, bson_iter_t* out) {
  if (!bson_iter_init(out, doc)) return false;
  while (bson_iter_next(out)) {
    if (std::string_view(bson_iter_key(out), bson_iter_key_len(out)) == key) return true;
  }
  return false;
}

// One $set that leaves a record exactly as `earlier` followed by `later` would, or null
// when that cannot be shown. It can when `later` names only fields that `earlier` names
// (and neither names one twice): after `earlier` every such field exists, so `later` only
// replaces values in place; the one $set names the same fields in the same order, so the
// server places them as it placed `earlier`'s, holding `later`'s values.
bson_t* coalesce(const bson_t* earlier, const bson_t* later) {
  if (has_duplicate_keys(earlier) || has_duplicate_keys(later)) return nullptr;
  bson_iter_t it;
  bson_iter_t match;
  if (!bson_iter_init(&it, later)) return nullptr;
  while (bson_iter_next(&it)) {
    if (!find_exact(earlier, std::string_view(bson_iter_key(&it), bson_iter_key_len(&it)),
                    &match)) {
      return nullptr;
    }
  }
  if (!bson_iter_init(&it, earlier)) return nullptr;
  bson_t* merged = dbconn::new_document();
  while (bson_iter_next(&it)) {
    const std::string_view key(bson_iter_key(&it), bson_iter_key_len(&it));
    bson_append_iter(merged, nullptr, 0, find_exact(later, key, &match) ? &match : &it);
  }
  return merged;
}

// A raw report of the run, copied out of the cursor (whose documents die at the next
// call), with its merge key.
struct raw_report {
  std::string log_id;
  bson_owner doc;
};

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
  bool holds(const std::string& log_id) const { return index_.count(log_id) != 0; }

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

  // Inserts every waiting record; on success the batch is empty again and, when given,
  // `stored` learns each inserted record as a read of it would give it.
  bool flush(std::unordered_map<std::string, known_record>* stored) {
    if (!db_conn.insert_many(k_merged_table, const_cast<const bson_t**>(slots_), used_)) {
      return false;
    }
    if (stored != nullptr) {
      for (const auto& [log_id, slot] : index_) (*stored)[log_id].read(slots_[slot]);
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

// Refreshes of stored records waiting to be sent, in the order they were decided. A
// refresh of a record that already has one waiting is folded into it where coalesce()
// shows the result to be the same, so an attack reported many times costs one update.
class refresh_queue {
 public:
  refresh_queue() = default;
  ~refresh_queue() { clear(); }
  refresh_queue(const refresh_queue&) = delete;
  refresh_queue& operator=(const refresh_queue&) = delete;

  size_t size() const { return pending_.size(); }

  // Queues the refresh of `log_id` from the raw report `raw`.
  void add(const std::string& log_id, const bson_t* raw) {
    bson_t* fields = dbconn::new_document();
    append_refresh_fields(raw, fields);
    auto latest = latest_.find(log_id);
    if (latest != latest_.end()) {
      pending& last = pending_[latest->second];
      if (bson_t* merged = coalesce(last.fields, fields)) {
        bson_destroy(last.fields);
        bson_destroy(fields);
        last.fields = merged;
        return;
      }
    }
    latest_[log_id] = pending_.size();
    pending_.push_back(pending{log_id, fields});
  }

  // Sends every waiting refresh in order, in ordered update commands; false when one
  // failed ("update %s failed log_id is %s " names the first one not known to be
  // written) or a stop was requested between two commands.
  bool send() {
    if (pending_.empty()) return true;
    ordered_writes writes(k_merged_table);
    for (const pending& p : pending_) {
      bson_t selector = BSON_INITIALIZER;
      bson_t update = BSON_INITIALIZER;
      bson_append_utf8(&selector, "_id", 3, p.log_id.data(), static_cast<int>(p.log_id.size()));
      bson_append_document(&update, "$set", 4, p.fields);
      writes.update_one(&selector, &update);
      bson_destroy(&update);
      bson_destroy(&selector);
    }
    const write_outcome outcome = writes.execute(cycle_stop_requested);
    if (!outcome.ok && !outcome.stopped) {
      const size_t failed = std::min(outcome.applied, pending_.size() - 1);
      KLOG(2, "update %s failed log_id is %s ", k_merged_table, pending_[failed].log_id.c_str());
    }
    clear();
    return outcome.ok;
  }

  void clear() {
    for (pending& p : pending_) bson_destroy(p.fields);
    pending_.clear();
    latest_.clear();
  }

 private:
  struct pending {
    std::string log_id;
    bson_t* fields;  // the $set document
  };
  std::vector<pending> pending_;
  std::unordered_map<std::string, size_t> latest_;  // merge key -> its last refresh
};

// One merge run: the new attacks waiting for their insert, what the run knows of stored
// records (from its reads and its own writes), and the refreshes waiting to be sent. Each
// report is decided in cursor order as a run that read and wrote one report at a time
// would decide it, and the writes go out in that order: refreshes before the batch of new
// attacks that follows them (records of different attacks do not depend on each other).
class merge_run {
 public:
  // Merges a chunk of reports; false when a command failed or a stop was requested (what
  // was written stays written; the caller leaves the progress unmoved).
  bool merge_chunk(const std::vector<raw_report>& chunk) {
    if (!look_up(chunk)) return false;
    for (const raw_report& report : chunk) {
      const bson_t* raw = report.doc.get();
      // Within a run the latest report of an attack still waiting wins outright.
      if (batch_.replace(report.log_id, raw)) continue;
      auto stored = known_.find(report.log_id);
      if (stored != known_.end()) {
        refresh(report.log_id, raw, stored->second);
        continue;
      }
      if (batch_.full() && !make_room()) return false;
      batch_.add(report.log_id, raw);
    }
    if (refreshes_.size() >= k_refresh_bound || known_.size() > k_known_bound) {
      if (!refreshes_.send()) return false;
      if (known_.size() > k_known_bound) known_.clear();  // all it holds is written now
    }
    return true;
  }

  // Sends the refreshes still waiting, then inserts the new attacks still waiting, as a
  // run writing one report at a time ends; false when that failed.
  bool finish() {
    if (!refreshes_.send()) return false;
    if (!batch_.empty() && !batch_.flush(nullptr)) {
      KLOG(2, "inserts %s failed", k_merged_table);
      return false;
    }
    return true;
  }

 private:
  // Reads `found_time` and `user` of the stored records of every attack of the chunk that
  // the run does not know yet, in one find; an attack not found is new.
  bool look_up(const std::vector<raw_report>& chunk) {
    std::unordered_set<std::string_view> asked;
    bson_owner filter(dbconn::new_document());
    bson_t in_condition, keys;
    bson_append_document_begin(filter.get(), "_id", 3, &in_condition);
    bson_append_array_begin(&in_condition, "$in", 3, &keys);
    for (const raw_report& report : chunk) {
      if (known_.count(report.log_id) != 0 || batch_.holds(report.log_id)) continue;
      if (!asked.insert(report.log_id).second) continue;
      char index[16];
      const char* index_key = nullptr;
      const size_t index_len = bson_uint32_to_string(static_cast<uint32_t>(asked.size() - 1),
                                                     &index_key, index, sizeof index);
      bson_append_utf8(&keys, index_key, static_cast<int>(index_len), report.log_id.data(),
                       static_cast<int>(report.log_id.size()));
    }
    bson_append_array_end(&in_condition, &keys);
    bson_append_document_end(filter.get(), &in_condition);
    if (asked.empty()) return true;

    // At most one answer per key, all in the first batch; a batch one larger than can
    // fill tells the server the cursor is done (a full one leaves it open for a getMore).
    const int64_t n = static_cast<int64_t>(asked.size());
    bson_owner opts(BCON_NEW("projection", "{", "found_time", BCON_INT32(1), "user", BCON_INT32(1),
                             "}", "limit", BCON_INT64(n), "batchSize", BCON_INT64(n + 1)));
    cursor_owner cursor;
    if (!db_conn.query(k_merged_table, filter.get(), opts.get(), cursor.address())) {
      KLOG(2, "query %s failed", k_merged_table);
      return false;
    }
    const bson_t* doc = nullptr;
    while (mongoc_cursor_next(cursor.get(), &doc)) {
      bson_iter_t it;
      if (!bson_iter_init_find(&it, doc, "_id") || !BSON_ITER_HOLDS_UTF8(&it)) continue;
      uint32_t length = 0;
      const char* id = bson_iter_utf8(&it, &length);
      known_[std::string(id, length)].read(doc);
    }
    bson_error_t error;
    if (mongoc_cursor_error(cursor.get(), &error)) {
      // A failed read must not pass for "absent": that would insert a duplicate.
      KLOG(2, "query %s error:%s", k_merged_table, error.message);
      KLOG(2, "query %s failed", k_merged_table);
      return false;
    }
    return true;
  }

  // Applies the refresh rule to a report of a stored attack and queues the refresh; the
  // run's view of the record is then what the record will hold.
  void refresh(const std::string& log_id, const bson_t* raw, known_record& stored) {
    int64_t found_time = 0;
    if (!dbconn::get_int64(raw, "found_time", &found_time)) {
      // No later run could decide this report's recency either: step over it, since it
      // would fail the same way in every later run and hold back every later report.
      KLOG(2, "get found_time field faild, log_id is %s", log_id.c_str());
      return;
    }
    stored.log_missing();
    if (!refresh_needed(stored.found_time, stored.user, found_time)) {
      KLOG(4, "needn't update ,log_id %s", log_id.c_str());
      return;
    }
    refreshes_.add(log_id, raw);
    stored.found_time = found_time;
    stored.has_found_time = true;
    bson_iter_t it;
    if (bson_iter_init_find(&it, raw, "user")) stored.take_user(&it);
  }

  // Sends the refreshes decided so far, then inserts the full batch, as a run writing one
  // report at a time would have; its records are stored attacks from then on.
  bool make_room() {
    if (!refreshes_.send()) return false;
    if (!batch_.flush(&known_)) {
      KLOG(2, "inserts %s failed", k_merged_table);
      return false;
    }
    return true;
  }

  bfa_batch batch_;
  std::unordered_map<std::string, known_record> known_;
  refresh_queue refreshes_;
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
  if (!refresh_needed(ints["found_time"], strings["user"], found_time)) {
    KLOG(4, "needn't update ,log_id %s", log_id.c_str());
    return bfa_update_result::ok;
  }

  bson_owner update(dbconn::new_document());
  bson_t set;
  bson_append_document_begin(update.get(), "$set", 4, &set);
  append_refresh_fields(raw, &set);
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
  build_merge_query(last_time, last_id, now, g_update_settings.update_anti_query_count, filter,
                    opts);
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
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  bson_owner filter(dbconn::new_document());
  bson_owner opts(dbconn::new_document());
  build_bfa_query(filter.get(), opts.get(), now);

  // What the run did, for the metrics file, noted on every way out: the reports it took in
  // (none when it failed: the next run takes them again), and `now` when it read every
  // report below it.
  int64_t read = 0;
  int64_t taken = 0;
  bool merged = false;
  struct figures_note {
    const int64_t& read;
    const int64_t& taken;
    const bool& merged;
    int64_t now;
    ~figures_note() {
      g_cycle_figures.merge_last_reports = merged ? taken : 0;
      if (merged) g_cycle_figures.merge_total_reports += taken;
      g_cycle_figures.merge_caught_up_to =
          merged && read < g_update_settings.update_anti_query_count ? now : 0;
    }
  } note{read, taken, merged, now};

  cursor_owner cursor;
  if (!db_conn.query(k_origin_table, filter.get(), opts.get(), cursor.address())) {
    KLOG(2, "query %s failed", k_origin_table);
    return false;
  }

  // Unwritten records are released by the run on every way out.
  merge_run run;
  std::vector<raw_report> chunk;
  chunk.reserve(k_bfa_merge_chunk);
  std::string id, last_id, log_id;
  int64_t time = 0, last_time = 0;
  bool taken_in = false;

  const bson_t* raw = nullptr;
  while (mongoc_cursor_next(cursor.get(), &raw)) {
    ++read;
    if (!get_doc_id_time(raw, id, time)) continue;
    last_id.assign(id);
    last_time = time;
    taken_in = true;
    ++taken;

    if (!get_bfa_log_id(raw, log_id)) continue;
    chunk.push_back(raw_report{log_id, bson_owner(bson_copy(raw))});
    if (chunk.size() == k_bfa_merge_chunk) {
      if (cycle_stop_requested() || !run.merge_chunk(chunk)) return false;
      chunk.clear();
    }
  }

  bson_error_t error;
  if (mongoc_cursor_error(cursor.get(), &error)) {
    // The read broke off part way: what was not seen must be read again.
    KLOG(2, "query %s error:%s", k_origin_table, error.message);
    KLOG(2, "query %s failed", k_origin_table);
    return false;
  }

  if (!chunk.empty() && (cycle_stop_requested() || !run.merge_chunk(chunk))) return false;
  if (!run.finish()) return false;

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
  merged = true;
  return true;
}
