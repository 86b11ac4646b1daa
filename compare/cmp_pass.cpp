// The incremental comparison pass. Each event table is read in (time, id) order after its
// progress key, one bounded batch per update cycle; every document is classified, its
// agent checked, and the event applied to the agent's change record. The key then moves to
// the last document consumed, so the next cycle resumes right after it.
#include "compare/cmp_pass.h"

#include <cstring>
#include <ctime>

#include "agent/agent_info.h"
#include "compare/event.h"
#include "compare/pass_query.h"
#include "compare/pending.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/progress.h"
#include "config/timing.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"
#include "platform/tick.h"

namespace {

mongoc_db s_mongoc_db;

constexpr uint32_t kLogIntervalMs = 5000;

// Tick time of the last "query agent info failed" line of the passes.
uint32_t s_last_agent_failure_log_ms = 0;

// Documents a pass walks between two looks at the stop flag.
constexpr int64_t kStopCheckDocuments = 1000;

// Reads the progress key of a document: the id (a string, or an ObjectId held as its hex
// text) with its BSON type, and the time. The outputs may be partly written on false. Both
// fields are found in one walk over the document; what dbconn's readers would report (an
// unreadable document, an id of another type) is left to them, so the message is theirs,
// unless `quiet`.
bool read_progress_key(const pass_table& table, const bson_t* document, std::string& id,
                       bson_type_t& id_type, int64_t& time, bool quiet = false) {
  bson_iter_t iter;
  if (bson_iter_init(&iter, document)) {
    const size_t id_length = std::strlen(table.id_field);
    const size_t time_length = std::strlen(table.time_field);
    bson_iter_t id_iter;
    bson_iter_t time_iter;
    bool id_found = false;
    bool time_found = false;
    while ((!id_found || !time_found) && bson_iter_next(&iter)) {
      const char* key = bson_iter_key(&iter);
      const size_t length = bson_iter_key_len(&iter);
      // The first field of a name counts, as for the readers.
      if (!id_found && length == id_length && std::memcmp(key, table.id_field, length) == 0) {
        id_iter = iter;
        id_found = true;
      } else if (!time_found && length == time_length &&
                 std::memcmp(key, table.time_field, length) == 0) {
        time_iter = iter;
        time_found = true;
      }
    }
    if (!id_found) return false;
    if (BSON_ITER_HOLDS_UTF8(&id_iter)) {
      uint32_t text_length = 0;
      const char* text = bson_iter_utf8(&id_iter, &text_length);
      id.assign(text, text_length);
      id_type = BSON_TYPE_UTF8;
    } else if (BSON_ITER_HOLDS_OID(&id_iter)) {
      char hex[25];
      bson_oid_to_string(bson_iter_oid(&id_iter), hex);
      id.assign(hex, 24);
      id_type = BSON_TYPE_OID;
    } else {
      id_found = false;
    }
    if (id_found) {
      if (!time_found) return false;
      time = bson_iter_as_int64(&time_iter);
      return true;
    }
  }
  if (quiet) return false;
  id_type = BSON_TYPE_UTF8;
  return dbconn::get_string(document, table.id_field, id) &&
         dbconn::get_int64(document, table.time_field, &time);
}

// Passes one classified event to its agent. False only when deal_with_event failed in a
// way that a later try may mend; every other outcome consumes the document (skipped,
// counted, or stepped over because the server refuses what it needs stored).
bool apply_event(int32_t table_type, const char* name, const event_info& event) {
  agent_host_info* info = nullptr;
  // Without a registry every look-up counts as failed: the events are skipped, not held up.
  const bool looked_up =
      g_agent_info_cache != nullptr && g_agent_info_cache->get_agent_info(event.agent_id, &info);
  if (!looked_up) {
    if (s_log_level >= 2) {
      const uint32_t now = timer_ticks2ms(timer_get_ticks());
      if (static_cast<uint32_t>(now - s_last_agent_failure_log_ms) > kLogIntervalMs) {
        s_last_agent_failure_log_ms = now;
        KLOG(2, "agent: %s query agent info failed", event.agent_id.c_str());
      }
    }
    return true;
  }
  if (info == nullptr) {
    KLOG(4, "agent: %s not exist", event.agent_id.c_str());
    return true;
  }
  // Incidents count only for host types 0 and 1 on platforms other than 7 and 8.
  if (table_type == TABLE_INCIDENT_MSG && (info->host_plat == 7 || info->host_plat == 8 ||
                                           (info->host_type != 0 && info->host_type != 1))) {
    KLOG(4, "agent: %s no need cal adv, skip, host_plat: %d, host_type: %d", event.agent_id.c_str(),
         info->host_plat, info->host_type);
    return true;
  }
  if (!check_event_info(event)) return true;
  event_failure failure;
  if (!deal_with_event(table_type, event, &failure)) {
    // A refused event has been logged at level 1; the rest of the table goes on.
    if (failure.kind == db_failure::rejected) return true;
    KLOG(2, "deal_with_event failed table is %s ,id is %s", name, event.log_id.c_str());
    return false;
  }
  KLOG(4, "calc id %s state %lu risk_level %d", event.log_id.c_str(),
       static_cast<unsigned long>(event.state), static_cast<int>(event.risk_level));
  return true;
}

}  // namespace

last_key_guard::~last_key_guard() {
  if (!armed_) return;
  armed_ = false;
  if (key_read_) {
    save_last_key(type_, id_, time_, id_type_);
  } else {
    KLOG(2, "save_last_update_time failed: %s", get_table_name(type_));
  }
}

int64_t pass_upper_bound(int32_t table_type, int64_t now) {
  if (table_type == TABLE_INCIDENT_MSG) return now * 1000;
  if (table_type == TABLE_ANTI_BFA_LOG) {
    // Merged records are compared only up to where the merge has read its raw reports.
    auto it = g_last_keys.find(TABLE_ANTI_BFA_ORIGIN_LOG);
    return it == g_last_keys.end() ? 0 : it->second.last_update_time;
  }
  return now;
}

bool save_last_update_time(int32_t table_type, const bson_t* document) {
  if (document == nullptr) {
    KLOG(2, "invalid doc and ignore this event");
    return false;
  }
  const pass_table* table = find_pass_table(table_type);
  if (table == nullptr) return false;
  std::string id;
  bson_type_t id_type = BSON_TYPE_UTF8;
  int64_t time = 0;
  if (!read_progress_key(*table, document, id, id_type, time)) return false;
  save_last_key(table_type, id, time, id_type);
  return true;
}

bool cmp_and_update_agent_inc(int32_t table_type) {
  const pass_table* table = find_pass_table(table_type);
  if (table == nullptr) {
    KLOG(2, "cmp table %d is not an event table", static_cast<int>(table_type));
    return false;
  }
  const char* name = get_table_name(table_type);

  int64_t last_time = 0;
  std::string last_id;
  bson_type_t last_id_type = BSON_TYPE_UTF8;
  get_last_key(table_type, last_time, last_id, &last_id_type);
  const int64_t now = static_cast<int64_t>(::time(nullptr));

  bson_owner filter(dbbase::new_document());
  bson_owner opts(dbbase::new_document());
  const int64_t upper = pass_upper_bound(table_type, now);
  const int64_t limit = g_update_settings.update_agent_level_query_count;
  if (!build_pass_query(table_type, last_id, last_id_type, last_time, upper, limit, filter.get(),
                        opts.get())) {
    KLOG(2, "cmp table %s: unusable progress key %s", name, last_id.c_str());
    return false;
  }

  // What the pass did, for the metrics file, noted on every way out: the documents read,
  // and the upper bound when the batch ended before its limit (the table is read up to it).
  int64_t read = 0;
  struct figures_note {
    pass_figures& figures;
    const int64_t& read;
    int64_t caught_up_to = 0;
    ~figures_note() {
      figures.last_documents = read;
      figures.total_documents += read;
      figures.caught_up_to = caught_up_to;
    }
  } note{g_cycle_figures.passes[table_type], read};

  // Declared before the cursor so that the key is saved after the cursor is gone.
  last_key_guard guard(table_type);
  cursor_owner cursor;
  // A failed query leaves the key where it was: the range is read again next cycle.
  if (!db_conn.query(name, filter.get(), opts.get(), cursor.address())) return false;

  // Until a document is consumed the key stays where it was, so that the next pass asks
  // the same range again: an event committed after its second is still read. Merged
  // brute-force records are the exception: their key moves to the merge's time, which
  // every record below it has reached.
  if (table_type == TABLE_ANTI_BFA_LOG) {
    guard.id().clear();
    guard.id_type() = BSON_TYPE_UTF8;
    guard.time() = upper;
    guard.arm(true);
  }
  bool consumed = false;
  // The key of the last document read before any was consumed: a full batch of documents
  // that do not classify is stepped over, or it would be read again for ever.
  std::string skipped_id;
  bson_type_t skipped_id_type = BSON_TYPE_UTF8;
  int64_t skipped_time = 0;
  bool skipped_key = false;

  event_info event;
  const bson_t* document = nullptr;
  while (mongoc_cursor_next(cursor.get(), &document)) {
    // A stop request ends the pass as a failure would: the key at the last document
    // consumed, the rest read again after the restart.
    if (++read % kStopCheckDocuments == 0 && cycle_stop_requested()) {
      if (!consumed) guard.disarm();
      return false;
    }
    // A document that cannot be classified is not progress: it is read again next cycle.
    if (!get_event_info(table_type, document, event)) {
      if (!consumed) {
        std::string id;
        bson_type_t id_type = BSON_TYPE_UTF8;
        int64_t time = 0;
        if (read_progress_key(*table, document, id, id_type, time, true)) {
          skipped_id.swap(id);
          skipped_id_type = id_type;
          skipped_time = time;
          skipped_key = true;
        }
      }
      continue;
    }
    if (!apply_event(table_type, name, event)) {
      // The key stays at the last document consumed, so this one is read again next cycle
      // (deal_with_event undid its changes); with none consumed, where it was.
      if (!consumed) guard.disarm();
      return false;
    }
    // The document dies at the next cursor call: keep its key now.
    guard.arm(read_progress_key(*table, document, guard.id(), guard.id_type(), guard.time()));
    consumed = true;
  }

  // The server's errors surface while iterating; an error before the first document is a
  // failed query and must not move the key past documents never read.
  bson_error_t error;
  if (mongoc_cursor_error(cursor.get(), &error)) {
    KLOG(2, "query %s error:%s", name, error.message);
    if (!consumed) guard.disarm();
    return false;
  }
  if (!consumed && read >= limit && table_type != TABLE_ANTI_BFA_LOG) {
    if (skipped_key) {
      KLOG(2, "cmp %s: none of %ld documents classified, key moved past them", name,
           static_cast<long>(read));
      guard.id().swap(skipped_id);
      guard.id_type() = skipped_id_type;
      guard.time() = skipped_time;
    }
    guard.arm(skipped_key);
  }
  if (read < limit) note.caught_up_to = upper;
  return true;
}
