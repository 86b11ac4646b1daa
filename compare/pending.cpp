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

const char* pending_collection() {
  return get_table_name(TABLE_AGENT_LEVEL_PENDING_LOG);
}

// Where an event is known to be remembered, as far as the caller has found out.
enum class pending_place { unknown, none, buffer, collection };

// The id cache is bounded like the buffer; ids beyond the bound are found by a look-up.
void remember_db_id(const std::string& log_id) {
  if (static_cast<int64_t>(g_pending_db_ids.size()) < g_update_settings.max_update_pending_event) {
    g_pending_db_ids.insert(log_id);
  }
}

void append_id(bson_t* document, const std::string& log_id) {
  bson_append_utf8(document, "_id", 3, log_id.data(), static_cast<int>(log_id.size()));
}

// 1 with `info` filled when the collection holds the event, 0 when it answers that it
// does not, -1 when the read failed (a failure is never taken as "absent").
int read_pending_document(const std::string& log_id, pending_info& info) {
  const char* name = pending_collection();
  bson_t filter;
  bson_init(&filter);
  append_id(&filter, log_id);
  mongoc_cursor_t* cursor = nullptr;
  int result = -1;
  if (db_conn.query(name, &filter, nullptr, &cursor)) {
    const bson_t* document = nullptr;
    bson_error_t error;
    if (mongoc_cursor_next(cursor, &document)) {
      int64_t risk = 0;
      int64_t category = 0;
      if (dbconn::get_int64(document, "risk_level", &risk) &&
          dbconn::get_int64(document, "virus_type", &category)) {
        info.risk_level = static_cast<signed char>(risk);
        info.virus_type = static_cast<signed char>(category);
        result = 1;
      } else {
        KLOG(2, "get %s info failed, pending_id is %s ", name, log_id.c_str());
      }
    } else if (mongoc_cursor_error(cursor, &error)) {
      KLOG(2, "query %s failed, pending_id is %s ", name, log_id.c_str());
    } else {
      result = 0;
    }
  } else {
    KLOG(2, "query %s failed, pending_id is %s ", name, log_id.c_str());
  }
  if (cursor != nullptr) mongoc_cursor_destroy(cursor);
  bson_destroy(&filter);
  return result;
}

// Whether an event that is not buffered sits in the collection (1, `info` filled), is
// not there (0), or the database could not tell (-1).
int find_in_collection(const std::string& log_id, pending_info& info) {
  if (g_pending_db_ids.find(log_id) == g_pending_db_ids.end()) {
    int exists = db_conn.id_lookup(pending_collection(), log_id);
    if (exists <= 0) return exists;
    remember_db_id(log_id);
  }
  int found = read_pending_document(log_id, info);
  // A cached id whose document has gone must not stop the event in every cycle.
  if (found == 0) g_pending_db_ids.erase(log_id);
  return found;
}

bool update_pending_document(const std::string& log_id, const pending_info& info) {
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
  bool ok = db_conn.update(name, &selector, &update, MONGOC_UPDATE_NONE);
  if (!ok) KLOG(2, "update col :%s  _id : %s failed ", name, log_id.c_str());
  // The document exists either way, so later look-ups may skip the database.
  remember_db_id(log_id);
  bson_destroy(&update);
  bson_destroy(&selector);
  return ok;
}

// save_pending_event with what the caller already knows of the event's place, so that
// no existence test is repeated.
bool save_pending(const event_info& event, pending_place place) {
  if (static_cast<int64_t>(g_pending_events.size()) >= g_update_settings.max_update_pending_event) {
    g_pending_in_db = 1;
    if (!flush_pending_events()) return false;
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
        return false;
      }
      place = exists == 1 ? pending_place::collection : pending_place::none;
    }
  }
  if (place == pending_place::collection) return update_pending_document(event.log_id, info);
  g_pending_events.emplace(event.log_id, info);
  return true;
}

}  // namespace

bool deal_with_event(int32_t table_type, const event_info& event) {
  agent_risk_info& record = g_agent_risk_map[event.agent_id];
  if (record.last_risk_time < event.event_time) record.last_risk_time = event.event_time;
  // Restored on failure: the pass reads this document again next cycle, so a failed
  // call must leave no trace in the counters.
  const agent_risk_info before = record;
  const bool unhandled = event_unhandled(table_type, event.state);

  pending_info remembered;
  pending_place place = pending_place::none;
  auto buffered = g_pending_events.find(event.log_id);
  if (buffered != g_pending_events.end()) {
    remembered = buffered->second;
    place = pending_place::buffer;
  } else if (g_pending_in_db) {
    int found = find_in_collection(event.log_id, remembered);
    if (found < 0) {
      KLOG(2, "get_pending_event_info failed.log_id is %s", event.log_id.c_str());
      if (!unhandled) KLOG(2, "handled_vs_pending failed");
      return false;
    }
    if (found == 1) place = pending_place::collection;
  }

  bool ok = true;
  if (place == pending_place::none) {
    // Not yet counted: every event adds to the total (leaks excepted), only an
    // unhandled one is counted and remembered.
    if (table_type != TABLE_LEAK_INFO_LOG) add_counter(record.total_events, 1, "total_events");
    if (!unhandled) return true;
    add_risk_count(table_type, record, event.risk_level, event.virus_type, 1);
    add_event_count(record, event.virus_type, 1);
    ok = save_pending(event, pending_place::none);
  } else if (!unhandled) {
    // Handled now: forget it, then take back what it was counted with.
    if (place == pending_place::buffer) {
      g_pending_events.erase(buffered);
    } else {
      g_pending_db_ids.erase(event.log_id);
      if (!delete_pending_event(event.log_id)) {
        KLOG(2, "delete_from_pending failed.log_id is %s", event.log_id.c_str());
        KLOG(2, "handled_vs_pending failed");
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
    ok = save_pending(event, place);
  }
  if (!ok) record = before;
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

bool save_pending_event(const event_info& event) {
  return save_pending(event, pending_place::unknown);
}

bool flush_pending_events() {
  const char* name = pending_collection();
  // Moving the nodes' keys keeps the strings; the batch is ordered by log_id.
  std::map<std::string, pending_info> batch;
  while (batch.size() < kFlushBatch && !g_pending_events.empty()) {
    auto node = g_pending_events.extract(g_pending_events.begin());
    batch.emplace(std::move(node.key()), node.mapped());
  }
  if (batch.empty()) return true;

  // Slots for one bulk insert, kept for the process's life (one thread, no reentry).
  static bson_t* documents[kFlushBatch];
  size_t count = 0;
  for (const auto& [log_id, info] : batch) {
    bson_t* document = dbbase::new_document();
    append_id(document, log_id);
    BSON_APPEND_INT64(document, "risk_level", info.risk_level);
    BSON_APPEND_INT64(document, "virus_type", info.virus_type);
    documents[count++] = document;
  }

  bson_t reply;
  const bool inserted =
      db_conn.insert_many(name, const_cast<const bson_t**>(documents), count, &reply);
  std::vector<unsigned char> held(batch.size(), inserted ? 1 : 0);
  if (!inserted) {
    // An unordered insert goes on after a failed document: what the collection now
    // holds (inserted, or already there) must not go back into the buffer, or it would
    // live in both places.
    std::vector<int32_t> codes(count);
    if (dbbase::write_error_codes(&reply, codes.data(), count) > 0) {
      size_t index = 0;
      for (const auto& [log_id, info] : batch) {
        if (codes[index] == kDuplicateKey) {
          // Rare: the id was already there. The stored document takes the buffered values.
          held[index] = update_pending_document(log_id, info) ? 1 : 0;
        } else {
          held[index] = codes[index] == 0 ? 1 : 0;
        }
        ++index;
      }
    }
  }
  bson_destroy(&reply);
  for (size_t i = 0; i < count; ++i) bson_destroy(documents[i]);

  bool all_held = true;
  size_t index = 0;
  for (auto it = batch.begin(); it != batch.end(); ++index) {
    if (!held[index]) {
      all_held = false;
      ++it;
      continue;
    }
    auto node = batch.extract(it++);
    if (static_cast<int64_t>(g_pending_db_ids.size()) <
        g_update_settings.max_update_pending_event) {
      g_pending_db_ids.insert(std::move(node.key()));
    }
  }
  restore_pending_batch(batch);
  if (!inserted) KLOG(2, "inserts %ld to  %s failed", static_cast<long>(count), name);
  return all_held;
}

void restore_pending_batch(std::map<std::string, pending_info>& batch) {
  while (!batch.empty()) {
    auto node = batch.extract(batch.begin());
    g_pending_events.try_emplace(std::move(node.key()), node.mapped());
  }
}

bool query_pending_event(const std::string& log_id, pending_info& info) {
  return read_pending_document(log_id, info) == 1;
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
