// Per-agent risk records and the write pass: every accumulated change in g_agent_risk_map
// is added to the agent's stored summary and written to "agent_level" (updated in place,
// or inserted in unordered bulk inserts for agents without a document).
#include "agent_level/agent_risk.h"

#include <algorithm>
#include <ctime>
#include <limits>

#include "compare/table_catalogue.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/tick.h"

std::unordered_map<std::string, agent_risk_info> g_agent_risk_map;
bool g_first_insert = true;

namespace {

constexpr size_t kInsertBatch = 10000;
constexpr uint32_t kMessageIntervalMs = 5000;

struct counter_field {
  int32_t agent_risk_info::*member;
  const char* name;
};

#define KORVEL_COUNTER(field)       \
  counter_field {                   \
    &agent_risk_info::field, #field \
  }

// Every counter a change record adds to a summary (all but the derived risk_level).
constexpr counter_field kSummedCounters[] = {
    KORVEL_COUNTER(high_risk_c),    KORVEL_COUNTER(mid_risk_c),      KORVEL_COUNTER(low_risk_c),
    KORVEL_COUNTER(high_virus_c),   KORVEL_COUNTER(mid_virus_c),     KORVEL_COUNTER(low_virus_c),
    KORVEL_COUNTER(high_leak_c),    KORVEL_COUNTER(mid_leak_c),      KORVEL_COUNTER(low_leak_c),
    KORVEL_COUNTER(webshell_c),     KORVEL_COUNTER(nofile_attack_c), KORVEL_COUNTER(botnet_c),
    KORVEL_COUNTER(antibfa_c),      KORVEL_COUNTER(worm_c),          KORVEL_COUNTER(ransom_c),
    KORVEL_COUNTER(trojan_c),       KORVEL_COUNTER(miner_c),         KORVEL_COUNTER(backdoor_c),
    KORVEL_COUNTER(macro_c),        KORVEL_COUNTER(hacktool_c),      KORVEL_COUNTER(adware_c),
    KORVEL_COUNTER(cad_c),          KORVEL_COUNTER(exploit_c),       KORVEL_COUNTER(rootkit_c),
    KORVEL_COUNTER(activatetool_c), KORVEL_COUNTER(infection_c),     KORVEL_COUNTER(undefine_c),
    KORVEL_COUNTER(adv_threat_c),   KORVEL_COUNTER(total_events),
};

// The order in which negative counts are reported and cleared.
constexpr counter_field kClampOrder[] = {
    KORVEL_COUNTER(high_risk_c),  KORVEL_COUNTER(mid_risk_c),      KORVEL_COUNTER(low_risk_c),
    KORVEL_COUNTER(high_virus_c), KORVEL_COUNTER(mid_virus_c),     KORVEL_COUNTER(low_virus_c),
    KORVEL_COUNTER(high_leak_c),  KORVEL_COUNTER(mid_leak_c),      KORVEL_COUNTER(low_leak_c),
    KORVEL_COUNTER(total_events), KORVEL_COUNTER(webshell_c),      KORVEL_COUNTER(botnet_c),
    KORVEL_COUNTER(antibfa_c),    KORVEL_COUNTER(worm_c),          KORVEL_COUNTER(ransom_c),
    KORVEL_COUNTER(trojan_c),     KORVEL_COUNTER(miner_c),         KORVEL_COUNTER(infection_c),
    KORVEL_COUNTER(undefine_c),   KORVEL_COUNTER(nofile_attack_c), KORVEL_COUNTER(adv_threat_c),
    KORVEL_COUNTER(backdoor_c),   KORVEL_COUNTER(macro_c),         KORVEL_COUNTER(hacktool_c),
    KORVEL_COUNTER(adware_c),     KORVEL_COUNTER(cad_c),           KORVEL_COUNTER(exploit_c),
    KORVEL_COUNTER(rootkit_c),    KORVEL_COUNTER(activatetool_c),
};

struct document_field {
  const char* key;
  int32_t agent_risk_info::*member;
};

// Top-level counters of a stored document, in the order they are read.
constexpr document_field kTopLevelFields[] = {
    {"risk_high", &agent_risk_info::high_risk_c},    {"risk_medium", &agent_risk_info::mid_risk_c},
    {"risk_low", &agent_risk_info::low_risk_c},      {"virus_high", &agent_risk_info::high_virus_c},
    {"virus_medium", &agent_risk_info::mid_virus_c}, {"virus_low", &agent_risk_info::low_virus_c},
    {"leak_high", &agent_risk_info::high_leak_c},    {"leak_medium", &agent_risk_info::mid_leak_c},
    {"leak_low", &agent_risk_info::low_leak_c},      {"risk_level", &agent_risk_info::risk_level},
};

// The fields of "event_counts", in the order they are written.
constexpr document_field kEventCountFields[] = {
    {"webshell", &agent_risk_info::webshell_c},
    {"anti_bfa", &agent_risk_info::antibfa_c},
    {"botnet", &agent_risk_info::botnet_c},
    {"worm", &agent_risk_info::worm_c},
    {"nofile_attack", &agent_risk_info::nofile_attack_c},
    {"ransom", &agent_risk_info::ransom_c},
    {"trojan", &agent_risk_info::trojan_c},
    {"miner", &agent_risk_info::miner_c},
    {"backdoor", &agent_risk_info::backdoor_c},
    {"macro", &agent_risk_info::macro_c},
    {"hacktool", &agent_risk_info::hacktool_c},
    {"adware", &agent_risk_info::adware_c},
    {"cad", &agent_risk_info::cad_c},
    {"exploit", &agent_risk_info::exploit_c},
    {"rootkit", &agent_risk_info::rootkit_c},
    {"activatetool", &agent_risk_info::activatetool_c},
    {"infection", &agent_risk_info::infection_c},
    {"other", &agent_risk_info::undefine_c},
    {"adv_threat", &agent_risk_info::adv_threat_c},
};

// The tables whose documents make up an agent's event total, in query order.
constexpr int32_t kEventTotalTables[] = {TABLE_VIRUS_FILE_LOG, TABLE_ANTI_BFA_LOG,
                                         TABLE_WEBSHELL_LOG,   TABLE_NOFILE_ATTACK_LOG,
                                         TABLE_INCIDENT_MSG,   TABLE_DOMAIN_LOG};

// A broken stored document would otherwise be reported in every cycle.
uint32_t s_document_message_ms = 0;
uint32_t s_skip_message_ms = 0;

bool message_due(uint32_t& last_ms) {
  if (s_log_level < 2) return false;
  uint32_t now = timer_ticks2ms(timer_get_ticks());
  if (static_cast<uint32_t>(now - last_ms) <= kMessageIntervalMs) return false;
  last_ms = now;
  return true;
}

// What reading an agent's stored summary found.
enum class origin_read {
  found,       // a complete document
  absent,      // no document: the zero record
  incomplete,  // a document that lacks a field or is malformed
  failed,      // the database did not answer
};

origin_read read_stored_fields(const bson_t* document, const std::string& agent_id,
                               agent_risk_info& info) {
  bson_iter_t iter;
  if (!bson_iter_init(&iter, document)) {
    if (message_due(s_document_message_ms)) KLOG(2, "bson_iter_init failed");
    return origin_read::incomplete;
  }
  if (!bson_iter_find(&iter, "event_counts")) {
    if (message_due(s_document_message_ms)) KLOG(2, "bson_iter_find failed");
    return origin_read::incomplete;
  }
  uint32_t length = 0;
  const uint8_t* data = nullptr;
  if (BSON_ITER_HOLDS_DOCUMENT(&iter)) bson_iter_document(&iter, &length, &data);
  if (data == nullptr || length < 2) {
    if (message_due(s_document_message_ms)) KLOG(2, "bson_iter_document failed");
    return origin_read::incomplete;
  }
  // A view of the embedded document: no copy is needed to read it.
  bson_t counts;
  if (!bson_init_static(&counts, data, length)) {
    if (message_due(s_document_message_ms)) KLOG(2, "bson_new_from_data failed");
    return origin_read::incomplete;
  }

  agent_risk_info read{};
  bool complete = true;
  for (const document_field& field : kTopLevelFields) {
    complete = complete && dbconn::get_int32(document, field.key, &(read.*field.member));
  }
  int64_t last_risk_time = 0;
  complete = complete && dbconn::get_int64(document, "last_risk_time", &last_risk_time);
  complete = complete && dbconn::get_int32(document, "total_events", &read.total_events);
  for (const document_field& field : kEventCountFields) {
    complete = complete && dbconn::get_int32(&counts, field.key, &(read.*field.member));
  }
  if (!complete) {
    if (message_due(s_document_message_ms)) {
      KLOG(2, "get risk info failed,agent_id %s ", agent_id.c_str());
    }
    return origin_read::incomplete;
  }
  read.last_risk_time = static_cast<uint64_t>(last_risk_time);
  info = read;
  return origin_read::found;
}

origin_read read_agent_origin(const std::string& agent_id, agent_risk_info& info) {
  bson_t filter;
  bson_init(&filter);
  bson_append_utf8(&filter, "_id", 3, agent_id.data(), static_cast<int>(agent_id.size()));
  mongoc_cursor_t* cursor = nullptr;
  origin_read result = origin_read::failed;
  if (db_conn.query(get_table_name(TABLE_AGENT_LEVEL), &filter, nullptr, &cursor)) {
    const bson_t* document = nullptr;
    bson_error_t error;
    if (mongoc_cursor_next(cursor, &document)) {
      result = read_stored_fields(document, agent_id, info);
    } else if (mongoc_cursor_error(cursor, &error)) {
      // An unanswered query is never taken as "no document".
      KLOG(2, "query %s error:%s", get_table_name(TABLE_AGENT_LEVEL), error.message);
    } else {
      info = agent_risk_info{};
      result = origin_read::absent;
    }
  }
  if (cursor != nullptr) mongoc_cursor_destroy(cursor);
  bson_destroy(&filter);
  return result;
}

// get_agent_risk_doc, telling apart the ways the stored summary can be missing and
// whether a stored document exists (which decides between update and insert).
origin_read build_summary(const std::string& agent_id, const agent_risk_info& change,
                          agent_risk_info& summary, bool& changed) {
  agent_risk_info stored{};
  origin_read read = origin_read::absent;
  if (!g_first_insert) {
    read = read_agent_origin(agent_id, stored);
    if (read == origin_read::incomplete || read == origin_read::failed) return read;
  }

  agent_risk_info updated = stored;
  for (const counter_field& counter : kSummedCounters) {
    add_counter(updated.*counter.member, change.*counter.member, counter.name);
  }
  // Decided before clamping, so a negative count counts as none.
  updated.risk_level = updated.high_risk_c > 0  ? 2
                       : updated.mid_risk_c > 0 ? 1
                       : updated.low_risk_c > 0 ? 0
                                                : 3;
  updated.last_risk_time = std::max(stored.last_risk_time, change.last_risk_time);
  for (const counter_field& counter : kClampOrder) {
    if (updated.*counter.member < 0) {
      KLOG(2, "%s is less than zero", counter.name);
      updated.*counter.member = 0;
    }
  }
  changed = agent_risk_changed(stored, updated);
  summary = updated;
  return read;
}

// The number of events the agent has in the event tables.
int64_t count_agent_events(const std::string& agent_id) {
  int64_t total = 0;
  for (int32_t table : kEventTotalTables) {
    const char* name = get_table_name(table);
    bson_t filter;
    bson_init(&filter);
    bson_append_utf8(&filter, "agent_id", 8, agent_id.data(), static_cast<int>(agent_id.size()));
    if (table == TABLE_DOMAIN_LOG) {
      bson_t exists;
      BSON_APPEND_DOCUMENT_BEGIN(&filter, "found_source", &exists);
      BSON_APPEND_BOOL(&exists, "$exists", true);
      bson_append_document_end(&filter, &exists);
    }
    int64_t count = db_conn.count(name, &filter);
    bson_destroy(&filter);
    if (count < 0) {
      KLOG(2, "query %s about agent %s count failed, set count 0 ", name, agent_id.c_str());
      count = 0;
    }
    KLOG(4, "query %s about agent %s count is %ld", name, agent_id.c_str(),
         static_cast<long>(count));
    total += count;
  }
  return total;
}

void append_id(bson_t* document, const std::string& agent_id) {
  bson_append_utf8(document, "_id", 3, agent_id.data(), static_cast<int>(agent_id.size()));
}

using batch_entries = std::map<std::string, agent_risk_info>;

// The documents of one pass's bulk insert: exactly 10000 slots, each with the batch-map
// entry of its agent, kept for the process's life (one thread, and the pass never runs
// inside itself).
struct insert_batch {
  bson_t* slots[kInsertBatch];
  batch_entries::iterator entries[kInsertBatch];
  int32_t codes[kInsertBatch];
  size_t used = 0;

  bool full() const { return used == kInsertBatch; }
  bool empty() const { return used == 0; }
  void add(bson_t* document, batch_entries::iterator entry) {
    slots[used] = document;
    entries[used++] = entry;
  }
  // One unordered insert. After a partial failure the entries whose documents were
  // written leave `map`, so that only the rejected ones go back to g_agent_risk_map:
  // returning a written agent's change would add it a second time.
  bool insert(const char* name, batch_entries& map) {
    bson_t reply;
    const bool ok = db_conn.insert_many(name, const_cast<const bson_t**>(slots), used, &reply);
    if (!ok && dbbase::write_error_codes(&reply, codes, used) > 0) {
      for (size_t i = 0; i < used; ++i) {
        if (codes[i] == 0) map.erase(entries[i]);
      }
    }
    bson_destroy(&reply);
    return ok;
  }
  void clear() {
    for (size_t i = 0; i < used; ++i) bson_destroy(slots[i]);
    used = 0;
  }
};

insert_batch s_batch;

}  // namespace

void add_counter(int32_t& counter, int64_t delta, const char* name) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  int64_t sum = static_cast<int64_t>(counter) + delta;
  if (sum > kMax || sum < kMin) {
    sum = sum > kMax ? kMax : kMin;
    KLOG(2, "%s overflows, saturated at %ld", name, static_cast<long>(sum));
  }
  counter = static_cast<int32_t>(sum);
}

void append_agent_level_fields(bson_t* document, const agent_risk_info& summary,
                               int64_t total_events, int64_t update_time) {
  BSON_APPEND_INT64(document, "risk_high", summary.high_risk_c);
  BSON_APPEND_INT64(document, "risk_medium", summary.mid_risk_c);
  BSON_APPEND_INT64(document, "risk_low", summary.low_risk_c);
  BSON_APPEND_INT64(document, "risk_level", summary.risk_level);
  BSON_APPEND_INT64(document, "last_risk_time", static_cast<int64_t>(summary.last_risk_time));
  BSON_APPEND_INT64(document, "col_update_time", update_time);
  BSON_APPEND_INT64(document, "virus_high", summary.high_virus_c);
  BSON_APPEND_INT64(document, "virus_medium", summary.mid_virus_c);
  BSON_APPEND_INT64(document, "virus_low", summary.low_virus_c);
  BSON_APPEND_INT64(document, "leak_high", summary.high_leak_c);
  BSON_APPEND_INT64(document, "leak_medium", summary.mid_leak_c);
  BSON_APPEND_INT64(document, "leak_low", summary.low_leak_c);
  bson_t counts;
  BSON_APPEND_DOCUMENT_BEGIN(document, "event_counts", &counts);
  for (const document_field& field : kEventCountFields) {
    BSON_APPEND_INT64(&counts, field.key, summary.*field.member);
  }
  bson_append_document_end(document, &counts);
  BSON_APPEND_INT64(document, "total_events", total_events);
}

void build_agent_level_insert(bson_t* document, const std::string& agent_id,
                              const agent_risk_info& summary, int64_t total_events,
                              int64_t update_time) {
  append_agent_level_fields(document, summary, total_events, update_time);
  append_id(document, agent_id);
}

void build_agent_level_update(bson_t* document, const agent_risk_info& summary,
                              int64_t total_events, int64_t update_time) {
  bson_t fields;
  BSON_APPEND_DOCUMENT_BEGIN(document, "$set", &fields);
  append_agent_level_fields(&fields, summary, total_events, update_time);
  bson_append_document_end(document, &fields);
}

bool get_agent_origin_info(const std::string& agent_id, agent_risk_info& info) {
  origin_read read = read_agent_origin(agent_id, info);
  return read == origin_read::found || read == origin_read::absent;
}

bool get_agent_risk_doc(const std::string& agent_id, const agent_risk_info& change,
                        agent_risk_info& summary, bool& changed) {
  origin_read read = build_summary(agent_id, change, summary, changed);
  if (read == origin_read::incomplete || read == origin_read::failed) {
    KLOG(2, "get_agent_origin_info failed agent_id is %s ", agent_id.c_str());
    return false;
  }
  return true;
}

bool agent_risk_changed(const agent_risk_info& stored, const agent_risk_info& updated) {
  // Every field takes part: a change confined to one category must reach the document.
  return !(stored == updated);
}

void flush_agent_level() {
  const char* name = get_table_name(TABLE_AGENT_LEVEL);
  insert_batch& batch = s_batch;
  batch_entries batch_map;
  bool stopped = false;

  for (auto it = g_agent_risk_map.begin(); it != g_agent_risk_map.end();) {
    const std::string& agent_id = it->first;
    agent_risk_info summary;
    bool changed = false;
    origin_read read = build_summary(agent_id, it->second, summary, changed);
    if (read == origin_read::failed) {
      KLOG(2, "get_agent_origin_info failed agent_id is %s ", agent_id.c_str());
      KLOG(2, "get agent last risk info  failed");
      KLOG(2, "get_agent_risk_doc failed,agent_id is %s", agent_id.c_str());
      stopped = true;
      break;
    }
    if (read == origin_read::incomplete) {
      // One broken document must not hold up every agent after it; its change waits.
      if (message_due(s_skip_message_ms)) {
        KLOG(2, "agent_level document of agent %s is incomplete, agent skipped", agent_id.c_str());
      }
      ++it;
      continue;
    }
    if (!changed) {
      it = g_agent_risk_map.erase(it);
      continue;
    }

    const int64_t total = g_first_insert ? summary.total_events : count_agent_events(agent_id);
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (read == origin_read::found) {
      // The stored document was just read, so it is updated in place.
      bson_t selector;
      bson_init(&selector);
      append_id(&selector, agent_id);
      bson_t update;
      bson_init(&update);
      build_agent_level_update(&update, summary, total, now);
      bool ok = db_conn.update(name, &selector, &update, MONGOC_UPDATE_NONE);
      bson_destroy(&update);
      bson_destroy(&selector);
      if (!ok) {
        KLOG(2, "update %s %s failed ", name, agent_id.c_str());
        stopped = true;
        break;
      }
      it = g_agent_risk_map.erase(it);
      continue;
    }

    if (batch.full()) {
      if (!batch.insert(name, batch_map)) {
        KLOG(2, "inserts %s failed", name);
        stopped = true;
        break;
      }
      batch.clear();
      batch_map.clear();
    }
    bson_t* document = dbbase::new_document();
    build_agent_level_insert(document, agent_id, summary, total, now);
    auto node = g_agent_risk_map.extract(it++);
    batch.add(document, batch_map.emplace(std::move(node.key()), node.mapped()).first);
  }

  bool written = batch.empty();
  if (!stopped && !batch.empty()) {
    written = batch.insert(name, batch_map);
    if (!written) KLOG(2, "inserts %s failed", name);
  }
  if (!written) restore_agent_risk_batch(batch_map);
  batch.clear();
  batch_map.clear();
}

void restore_agent_risk_batch(std::map<std::string, agent_risk_info>& batch) {
  while (!batch.empty()) {
    auto node = batch.extract(batch.begin());
    g_agent_risk_map.try_emplace(std::move(node.key()), node.mapped());
  }
}
