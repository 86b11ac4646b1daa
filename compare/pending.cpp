// Pending event queue: remembers every event that counts against its agent with the risk
// level and category it was counted with, so that exactly that contribution can be moved
// or taken back later. The buffer spares the common case any database write; it overflows
// into "agent_level_pending_log" in unordered bulk inserts.
#include "compare/pending.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent_level/agent_risk.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "db/dbconn.h"
#include "platform/log.h"

std::unordered_map<std::string, pending_info, log_id_hash> g_pending_events;
std::unordered_set<std::string, log_id_hash> g_pending_db_ids;
unsigned char g_pending_in_db = 0;

namespace {

constexpr size_t kFlushBatch = 10000;
constexpr int32_t kDuplicateKey = 11000;
// MongoDB's largest document. An entry whose document is larger can never be stored, and
// the driver refuses a whole insert for one such document: it is never sent.
constexpr uint32_t kMaxDocumentBytes = 16 * 1024 * 1024;

const char* pending_collection() {
  return get_table_name(TABLE_AGENT_LEVEL_PENDING_LOG);
}

// Where an event is known to be remembered, as far as the caller has found out.
enum class pending_place { unknown, none, buffer, collection };

// What the collection holds of one event.
enum class stored_entry { absent, found, unusable, failed };

// The id cache is bounded like the buffer; ids beyond the bound are found by a look-up.
void remember_db_id(const std::string& log_id) {
  if (static_cast<int64_t>(g_pending_db_ids.size()) < g_update_settings.max_update_pending_event) {
    g_pending_db_ids.insert(log_id);
  }
}

void append_id(bson_t* document, const std::string& log_id) {
  bson_append_utf8(document, "_id", 3, log_id.data(), static_cast<int>(log_id.size()));
}

void set_failure(event_failure& failure, db_failure kind, std::string reason) {
  failure.kind = kind;
  failure.reason = std::move(reason);
}

// One remembered value of a pending document: a number of any integer type (doubles are
// cut, as the readers do), of which the low 8 bits count. Empty `problem` when usable.
signed char stored_value(const bson_t* document, const char* field, std::string& problem) {
  bson_iter_t iter;
  if (!bson_iter_init_find(&iter, document, field)) {
    problem = std::string(field) + " missing";
    return 0;
  }
  if (!BSON_ITER_HOLDS_INT32(&iter) && !BSON_ITER_HOLDS_INT64(&iter) &&
      !BSON_ITER_HOLDS_DOUBLE(&iter)) {
    problem = std::string(field) + " is not a number";
    return 0;
  }
  return static_cast<signed char>(bson_iter_as_int64(&iter));
}

// Reads the pending document of `log_id`. A document korveld cannot have written (a field
// missing or of another type, values it never counts with) is unusable: taking its values
// back would move counters that were never moved. A failed read is never taken as absent.
stored_entry read_pending_document(const std::string& log_id, pending_info& info,
                                   event_failure& failure) {
  const char* name = pending_collection();
  bson_t filter;
  bson_init(&filter);
  append_id(&filter, log_id);
  mongoc_cursor_t* cursor = nullptr;
  stored_entry result = stored_entry::failed;
  bson_error_t error;
  const bson_t* reply = nullptr;
  if (db_conn.query(name, &filter, nullptr, &cursor)) {
    const bson_t* document = nullptr;
    if (mongoc_cursor_next(cursor, &document)) {
      std::string problem;
      const signed char risk = stored_value(document, "risk_level", problem);
      const signed char category =
          problem.empty() ? stored_value(document, "virus_type", problem) : 0;
      if (problem.empty() && !valid_risk_and_category(risk, category)) {
        problem = "risk_level " + std::to_string(risk) + ", virus_type " +
                  std::to_string(category) + " never counted";
      }
      if (problem.empty()) {
        info.risk_level = risk;
        info.virus_type = category;
        result = stored_entry::found;
      } else {
        KLOG(2, "get %s info failed, pending_id is %s ", name, log_id.c_str());
        set_failure(failure, db_failure::rejected, problem);
        result = stored_entry::unusable;
      }
    } else if (mongoc_cursor_error_document(cursor, &error, &reply)) {
      KLOG(2, "query %s failed, pending_id is %s ", name, log_id.c_str());
      set_failure(failure, classify_failure(error, reply), error.message);
    } else {
      result = stored_entry::absent;
    }
  } else {
    KLOG(2, "query %s failed, pending_id is %s ", name, log_id.c_str());
    if (cursor != nullptr && mongoc_cursor_error_document(cursor, &error, &reply)) {
      set_failure(failure, classify_failure(error, reply), error.message);
    } else {
      set_failure(failure, db_failure::transient, "no connection");
    }
  }
  if (cursor != nullptr) mongoc_cursor_destroy(cursor);
  bson_destroy(&filter);
  return result;
}

// Where an event that is not buffered stands in the collection: one read by `_id` tells
// whether it is there and what it remembers. The id cache follows what was found.
stored_entry find_in_collection(const std::string& log_id, pending_info& info,
                                event_failure& failure) {
  const stored_entry found = read_pending_document(log_id, info, failure);
  if (found == stored_entry::found || found == stored_entry::unusable) remember_db_id(log_id);
  // A cached id whose document has gone must not stop the event in every cycle.
  if (found == stored_entry::absent) g_pending_db_ids.erase(log_id);
  return found;
}

bool update_pending_document(const std::string& log_id, const pending_info& info,
                             event_failure& failure) {
  const char* name = pending_collection();
  bson_t selector;
  bson_init(&selector);
  append_id(&selector, log_id);
  bson_t update;
  bson_init(&update);
  bson_t fields;
  BSON_APPEND_DOCUMENT_BEGIN(&update, "$set", &fields);
  BSON_APPEND_INT64(&fields, "risk_level", info.risk_level);
  BSON_APPEND_INT64(&fields, "virus_type", info.virus_type);
  bson_append_document_end(&update, &fields);
  // One statement; the outcome tells a server that did not answer from one that refuses.
  ordered_writes writes(name);
  writes.update_one(&selector, &update);
  const write_outcome outcome = writes.execute();
  if (!outcome.ok) {
    KLOG(2, "update col :%s  _id : %s failed ", name, log_id.c_str());
    set_failure(failure, outcome.failure, outcome.message);
  }
  // The document exists either way, so later look-ups may skip the database.
  remember_db_id(log_id);
  bson_destroy(&update);
  bson_destroy(&selector);
  return outcome.ok;
}

// Writes the whole pending document of `log_id` anew, as an insert would have written it.
bool replace_pending_document(const std::string& log_id, const pending_info& info,
                              event_failure& failure) {
  const char* name = pending_collection();
  mongoc_collection_t* handle = db_conn.get_collection(name);
  if (handle == nullptr) {
    set_failure(failure, db_failure::transient, "no collection handle");
    return false;
  }
  bson_t selector;
  bson_init(&selector);
  append_id(&selector, log_id);
  bson_t document;
  bson_init(&document);
  append_id(&document, log_id);
  BSON_APPEND_INT64(&document, "risk_level", info.risk_level);
  BSON_APPEND_INT64(&document, "virus_type", info.virus_type);
  bson_t reply;
  bson_error_t error;
  const bool ok =
      mongoc_collection_replace_one(handle, &selector, &document, nullptr, &reply, &error);
  if (!ok) {
    KLOG(2, "Fail to update %s info, error: %s", name, error.message);
    set_failure(failure, classify_failure(error, &reply), error.message);
  }
  remember_db_id(log_id);
  bson_destroy(&reply);
  bson_destroy(&document);
  bson_destroy(&selector);
  return ok;
}

// An entry that the collection refuses for good, with the reason.
struct refusal {
  std::string log_id;
  std::string reason;
};

// Sends the entries of `batch` to the collection in one unordered insert. What the
// collection holds afterwards (inserted, or already there and brought up to date) leaves
// `batch` and joins g_pending_db_ids; what is left was not stored. `transient` is set when
// some of that may pass on a later try; the others are listed in `refused`.
void store_entries(std::map<std::string, pending_info>& batch, bool& transient,
                   std::vector<refusal>& refused) {
  const char* name = pending_collection();
  // Slots for one bulk insert, kept for the process's life (one thread, no reentry).
  static bson_t* documents[kFlushBatch];
  using entry = std::map<std::string, pending_info>::iterator;
  std::vector<entry> sent;  // the entry of each document sent
  std::vector<entry> held;  // entries the collection now holds
  sent.reserve(batch.size());
  for (auto it = batch.begin(); it != batch.end(); ++it) {
    bson_t* document = dbbase::new_document();
    append_id(document, it->first);
    BSON_APPEND_INT64(document, "risk_level", it->second.risk_level);
    BSON_APPEND_INT64(document, "virus_type", it->second.virus_type);
    if (document->len > kMaxDocumentBytes) {
      refused.push_back({it->first, "a document of " + std::to_string(document->len) +
                                        " bytes is larger than any server stores"});
      bson_destroy(document);
    } else {
      documents[sent.size()] = document;
      sent.push_back(it);
    }
  }

  const size_t count = sent.size();
  if (count > 0) {
    bson_t reply;
    if (db_conn.insert_many(name, const_cast<const bson_t**>(documents), count, &reply)) {
      held = sent;
    } else {
      // An unordered insert goes on after a failed document: what the collection now
      // holds (inserted, or already there) must not go back into the buffer, or it would
      // live in both places.
      std::vector<int32_t> codes(count);
      // Without write errors the command as a whole failed: nothing is known to be written.
      const bool named = dbbase::write_error_codes(&reply, codes.data(), count) > 0;
      if (!named) transient = true;
      for (size_t i = 0; i < count && named; ++i) {
        const entry it = sent[i];
        if (codes[i] == 0) {
          held.push_back(it);
        } else if (codes[i] == kDuplicateKey) {
          // Rare: the id was already there. The stored document takes the buffered values.
          event_failure failure;
          if (update_pending_document(it->first, it->second, failure)) {
            held.push_back(it);
          } else if (failure.kind == db_failure::rejected) {
            refused.push_back({it->first, failure.reason});
          } else {
            transient = true;
          }
        } else if (classify_error_code(codes[i]) == db_failure::transient) {
          transient = true;
        } else {
          refused.push_back({it->first, "server error code " + std::to_string(codes[i])});
        }
      }
      KLOG(2, "inserts %ld to  %s failed", static_cast<long>(count), name);
    }
    bson_destroy(&reply);
    for (size_t i = 0; i < count; ++i) bson_destroy(documents[i]);
  }

  for (const entry it : held) {
    auto node = batch.extract(it);
    if (static_cast<int64_t>(g_pending_db_ids.size()) <
        g_update_settings.max_update_pending_event) {
      g_pending_db_ids.insert(std::move(node.key()));
    }
  }
}

// Moves up to 10000 buffered entries into the collection (see flush_pending_events).
// `transient` is set when entries went back that may pass on a later try.
bool flush_buffer(bool& transient) {
  // Moving the nodes' keys keeps the strings; the batch is ordered by log_id.
  std::map<std::string, pending_info> batch;
  while (batch.size() < kFlushBatch && !g_pending_events.empty()) {
    auto node = g_pending_events.extract(g_pending_events.begin());
    batch.emplace(std::move(node.key()), node.mapped());
  }
  if (batch.empty()) return true;
  std::vector<refusal> refused;
  store_entries(batch, transient, refused);
  // Refused entries stay buffered: the event is still remembered, and forgotten as usual
  // when it is seen handled. (Ids are cut in the log: one may be megabytes long.)
  for (const refusal& r : refused) {
    KLOG(1, "pending entry %.200s refused by the server (%s): kept in memory", r.log_id.c_str(),
         r.reason.c_str());
  }
  const bool all_held = batch.empty();
  restore_pending_batch(batch);
  return all_held;
}

// Writes one entry straight into the collection.
bool insert_pending_document(const std::string& log_id, const pending_info& info,
                             event_failure& failure) {
  std::map<std::string, pending_info> batch{{log_id, info}};
  bool transient = false;
  std::vector<refusal> refused;
  store_entries(batch, transient, refused);
  if (batch.empty()) return true;
  if (!refused.empty()) {
    set_failure(failure, db_failure::rejected, refused.front().reason);
  } else {
    set_failure(failure, db_failure::transient, "insert failed");
  }
  return false;
}

// save_pending_event with what the caller already knows of the event's place, so that
// no existence test is repeated.
bool save_pending(const event_info& event, pending_place place, event_failure& failure) {
  bool flush_failed = false;
  bool flush_transient = false;
  if (static_cast<int64_t>(g_pending_events.size()) >= g_update_settings.max_update_pending_event) {
    g_pending_in_db = 1;
    flush_failed = !flush_buffer(flush_transient);
  }
  const pending_info info{event.virus_type, event.risk_level};
  if (place == pending_place::unknown || place == pending_place::buffer) {
    // A buffered event is never also in the collection: overwrite it in place.
    auto it = g_pending_events.find(event.log_id);
    if (it != g_pending_events.end()) {
      it->second = info;
      return true;
    }
    // The flush above moved it into the collection.
    if (place == pending_place::buffer) place = pending_place::collection;
  }
  if (place == pending_place::unknown) {
    if (!g_pending_in_db) {
      place = pending_place::none;
    } else if (g_pending_db_ids.find(event.log_id) != g_pending_db_ids.end()) {
      place = pending_place::collection;
    } else {
      int exists = db_conn.id_lookup(pending_collection(), event.log_id);
      if (exists < 0) {
        KLOG(2, "check pending id %s failed", event.log_id.c_str());
        set_failure(failure, db_failure::transient, "look-up failed");
        return false;
      }
      place = exists == 1 ? pending_place::collection : pending_place::none;
    }
  }
  if (place == pending_place::collection) {
    return update_pending_document(event.log_id, info, failure);
  }
  // A flush that failed leaves the event out only when it made no room: the rest of the
  // buffer then waits for the server, or the server refuses all it took.
  if (flush_failed &&
      static_cast<int64_t>(g_pending_events.size()) >= g_update_settings.max_update_pending_event) {
    if (flush_transient) {
      set_failure(failure, db_failure::transient, "the pending buffer could not be flushed");
      return false;
    }
    return insert_pending_document(event.log_id, info, failure);
  }
  g_pending_events.emplace(event.log_id, info);
  return true;
}

// Counts an event whose pending document cannot be used as a new one, and replaces the
// document: with a sound one while the event is unhandled, by none once it is handled.
bool replace_unusable(int32_t table_type, const event_info& event, bool unhandled,
                      agent_risk_info& record, event_failure& failure) {
  if (table_type != TABLE_LEAK_INFO_LOG) add_counter(record.total_events, 1, "total_events");
  if (unhandled) {
    add_risk_count(table_type, record, event.risk_level, event.virus_type, 1);
    add_event_count(record, event.virus_type, 1);
    return replace_pending_document(event.log_id, pending_info{event.virus_type, event.risk_level},
                                    failure);
  }
  g_pending_db_ids.erase(event.log_id);
  if (!delete_pending_event(event.log_id)) {
    set_failure(failure, db_failure::transient, "delete failed");
    return false;
  }
  return true;
}

}  // namespace

bool deal_with_event(int32_t table_type, const event_info& event, event_failure* failure_out) {
  event_failure local_failure;
  event_failure& failure = failure_out != nullptr ? *failure_out : local_failure;
  failure = event_failure{};
  agent_risk_info& record = g_agent_risk_map[event.agent_id];
  if (record.last_risk_time < event.event_time) record.last_risk_time = event.event_time;
  // Restored on failure: the pass reads this document again next cycle (or steps over
  // it), so a failed call must leave no trace in the counters.
  const agent_risk_info before = record;
  const bool unhandled = event_unhandled(table_type, event.state);

  pending_info remembered;
  pending_place place = pending_place::none;
  bool ok = true;
  auto buffered = g_pending_events.find(event.log_id);
  if (buffered != g_pending_events.end()) {
    remembered = buffered->second;
    place = pending_place::buffer;
  } else if (g_pending_in_db) {
    switch (find_in_collection(event.log_id, remembered, failure)) {
      case stored_entry::failed:
        KLOG(2, "get_pending_event_info failed.log_id is %s", event.log_id.c_str());
        if (!unhandled) KLOG(2, "handled_vs_pending failed");
        if (failure.kind == db_failure::rejected) {
          KLOG(1, "event %.200s stepped over: %s", event.log_id.c_str(), failure.reason.c_str());
        }
        return false;
      case stored_entry::unusable:
        // Nothing usable is remembered: the event counts as new, and its document is made
        // sound, so that the next sighting finds what this one counted.
        KLOG(1, "pending document %.200s unusable (%s): the event is taken as new",
             event.log_id.c_str(), failure.reason.c_str());
        failure = event_failure{};
        ok = replace_unusable(table_type, event, unhandled, record, failure);
        if (!ok) record = before;
        if (failure.kind == db_failure::rejected) {
          KLOG(1, "event %.200s stepped over: %s", event.log_id.c_str(), failure.reason.c_str());
        }
        return ok;
      case stored_entry::found:
        place = pending_place::collection;
        break;
      case stored_entry::absent:
        break;
    }
  }

  if (place == pending_place::none) {
    // Not yet counted: every event adds to the total (leaks excepted), only an
    // unhandled one is counted and remembered.
    if (table_type != TABLE_LEAK_INFO_LOG) add_counter(record.total_events, 1, "total_events");
    if (!unhandled) return true;
    add_risk_count(table_type, record, event.risk_level, event.virus_type, 1);
    add_event_count(record, event.virus_type, 1);
    ok = save_pending(event, pending_place::none, failure);
  } else if (!unhandled) {
    // Handled now: forget it, then take back what it was counted with.
    if (place == pending_place::buffer) {
      g_pending_events.erase(buffered);
    } else {
      g_pending_db_ids.erase(event.log_id);
      if (!delete_pending_event(event.log_id)) {
        KLOG(2, "delete_from_pending failed.log_id is %s", event.log_id.c_str());
        KLOG(2, "handled_vs_pending failed");
        set_failure(failure, db_failure::transient, "delete failed");
        return false;
      }
    }
    add_risk_count(table_type, record, remembered.risk_level, remembered.virus_type, -1);
    add_event_count(record, remembered.virus_type, -1);
    return true;
  } else {
    // Still unhandled: move the counters its new risk level or category affects. The
    // risk counters depend on the category too (only categories 0-5 feed the virus
    // ones); where nothing they read changed, the two moves cancel.
    if (event.risk_level != remembered.risk_level || event.virus_type != remembered.virus_type) {
      add_risk_count(table_type, record, event.risk_level, event.virus_type, 1);
      add_risk_count(table_type, record, remembered.risk_level, remembered.virus_type, -1);
    }
    if (event.virus_type != remembered.virus_type) {
      add_event_count(record, event.virus_type, 1);
      add_event_count(record, remembered.virus_type, -1);
    }
    ok = save_pending(event, place, failure);
  }
  if (!ok) {
    record = before;
    if (failure.kind == db_failure::rejected) {
      KLOG(1, "event %.200s stepped over: %s", event.log_id.c_str(), failure.reason.c_str());
    }
  }
  return ok;
}

bool get_pending_event_info(const std::string& log_id, pending_info& info) {
  auto it = g_pending_events.find(log_id);
  if (it != g_pending_events.end()) {
    info = it->second;
    return true;
  }
  if (!g_pending_in_db) {
    KLOG(2, "id %s not exists ", log_id.c_str());
    return false;
  }
  if (!query_pending_event(log_id, info)) return false;
  remember_db_id(log_id);
  return true;
}

bool delete_from_pending(const std::string& log_id) {
  auto it = g_pending_events.find(log_id);
  if (it != g_pending_events.end()) {
    g_pending_events.erase(it);
    return true;
  }
  if (g_pending_in_db) {
    g_pending_db_ids.erase(log_id);
    return delete_pending_event(log_id);
  }
  KLOG(2, "id %s not exists ", log_id.c_str());
  return false;
}

bool save_pending_event(const event_info& event, event_failure* failure) {
  event_failure ignored;
  return save_pending(event, pending_place::unknown, failure != nullptr ? *failure : ignored);
}

bool flush_pending_events() {
  bool transient = false;
  return flush_buffer(transient);
}

void restore_pending_batch(std::map<std::string, pending_info>& batch) {
  while (!batch.empty()) {
    auto node = batch.extract(batch.begin());
    g_pending_events.try_emplace(std::move(node.key()), node.mapped());
  }
}

bool query_pending_event(const std::string& log_id, pending_info& info) {
  event_failure ignored;
  return read_pending_document(log_id, info, ignored) == stored_entry::found;
}

bool delete_pending_event(const std::string& log_id) {
  const char* name = pending_collection();
  bson_t selector;
  bson_init(&selector);
  append_id(&selector, log_id);
  bool ok = db_conn.delete_many(name, &selector, nullptr);
  if (!ok) KLOG(2, "del pending id failed: %s %s", name, log_id.c_str());
  bson_destroy(&selector);
  return ok;
}

bool pending_collection_empty() {
  const char* name = pending_collection();
  bson_t filter;
  bson_init(&filter);
  bson_t opts;
  bson_init(&opts);
  bson_t projection;
  BSON_APPEND_DOCUMENT_BEGIN(&opts, "projection", &projection);
  BSON_APPEND_INT32(&projection, "_id", 1);
  bson_append_document_end(&opts, &projection);
  BSON_APPEND_INT32(&opts, "limit", 1);

  // Any failure answers "not empty": the cycle then looks ids up in the collection
  // rather than count a pending event a second time.
  bool empty = false;
  mongoc_cursor_t* cursor = nullptr;
  if (db_conn.find(name, &filter, &opts, &cursor)) {
    const bson_t* document = nullptr;
    bson_error_t error;
    if (mongoc_cursor_next(cursor, &document)) {
      empty = false;
    } else if (mongoc_cursor_error(cursor, &error)) {
      KLOG(2, "Query %s error:%s", name, error.message);
    } else {
      empty = true;
    }
  }
  if (cursor != nullptr) mongoc_cursor_destroy(cursor);
  bson_destroy(&opts);
  bson_destroy(&filter);
  return empty;
}
