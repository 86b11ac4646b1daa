// Per-agent risk records and the write pass: every accumulated change in g_agent_risk_map
// is added to the agent's stored summary and written to "agent_level". After the rebuild
// the pass works in batches of agents: one read of their stored summaries, one aggregation
// per event-total table, then one ordered run of updates and inserts, so that its cost
// grows with the batches and not with the agents.
#include "agent_level/agent_risk.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <vector>

#include "compare/table_catalogue.h"
#include "config/timing.h"
#include "db/bulk.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

std::unordered_map<std::string, agent_risk_info> g_agent_risk_map;
bool g_first_insert = true;

namespace {

constexpr size_t kInsertBatch = 10000;
// One batch of the steady pass: at most this many agents, and this many bytes of their ids,
// so that every command listing them stays far below the server's 16 MiB limit.
constexpr size_t kBatchAgents = 10000;
constexpr size_t kBatchIdBytes = 2 * 1024 * 1024;

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
constexpr size_t kEventTables = std::size(kEventTotalTables);

// What reading an agent's stored summary found.
enum class origin_read {
  found,       // a complete document
  absent,      // no document: the zero record
  incomplete,  // a document that lacks a field or is malformed
  failed,      // the database did not answer
};

// Why a stored document cannot be read.
enum class unreadable { none, no_iterator, no_event_counts, not_a_document, no_copy, no_field };

void log_unreadable(unreadable why, const std::string& agent_id) {
  switch (why) {
    case unreadable::no_iterator:
      KLOG(2, "bson_iter_init failed");
      break;
    case unreadable::no_event_counts:
      KLOG(2, "bson_iter_find failed");
      break;
    case unreadable::not_a_document:
      KLOG(2, "bson_iter_document failed");
      break;
    case unreadable::no_copy:
      KLOG(2, "bson_new_from_data failed");
      break;
    case unreadable::no_field:
      KLOG(2, "get risk info failed,agent_id %s ", agent_id.c_str());
      break;
    case unreadable::none:
      break;
  }
}

// Numbers wanted from one document, taken in one walk over it: each from the first field
// of its name, as a look-up by name finds it. Looking each one up from the document's
// start would walk its fields again for every number read.
template <size_t N>
struct wanted_numbers {
  std::array<std::string_view, N> names;
  std::array<int64_t, N> values{};
  std::array<bool, N> seen{};
  size_t missing = N;

  void take(std::string_view key, const bson_iter_t* iter) {
    for (size_t i = 0; i < N; ++i) {
      if (!seen[i] && names[i] == key) {
        values[i] = bson_iter_as_int64(iter);
        seen[i] = true;
        --missing;
        return;
      }
    }
  }
};

template <size_t N, size_t Extra = 0>
constexpr wanted_numbers<N + Extra> wanted_fields(const document_field (&fields)[N],
                                                  std::array<std::string_view, Extra> extra = {}) {
  wanted_numbers<N + Extra> wanted;
  for (size_t i = 0; i < N; ++i) wanted.names[i] = fields[i].key;
  for (size_t i = 0; i < Extra; ++i) wanted.names[N + i] = extra[i];
  return wanted;
}

std::string_view key_of(const bson_iter_t* iter) {
  return std::string_view(bson_iter_key(iter), bson_iter_key_len(iter));
}

// The fields of a stored document that a summary is made of (col_update_time is not
// read). `why` says what made a document incomplete.
origin_read read_stored_fields(const bson_t* document, agent_risk_info& info, unreadable& why) {
  why = unreadable::none;
  bson_iter_t iter;
  if (!bson_iter_init(&iter, document)) {
    why = unreadable::no_iterator;
    return origin_read::incomplete;
  }
  constexpr size_t kLastRiskTime = std::size(kTopLevelFields);
  constexpr size_t kTotalEvents = kLastRiskTime + 1;
  auto top = wanted_fields(kTopLevelFields,
                           std::array<std::string_view, 2>{"last_risk_time", "total_events"});
  bool have_counts = false;
  uint32_t length = 0;
  const uint8_t* data = nullptr;
  while ((!have_counts || top.missing > 0) && bson_iter_next(&iter)) {
    const std::string_view key = key_of(&iter);
    if (!have_counts && key == "event_counts") {
      have_counts = true;
      if (BSON_ITER_HOLDS_DOCUMENT(&iter)) bson_iter_document(&iter, &length, &data);
    } else {
      top.take(key, &iter);
    }
  }
  if (!have_counts) {
    why = unreadable::no_event_counts;
  } else if (data == nullptr || length < 2) {
    why = unreadable::not_a_document;
  }
  // A view of the embedded document: no copy is needed to read it.
  bson_t counts;
  if (why == unreadable::none && !bson_init_static(&counts, data, length)) {
    why = unreadable::no_copy;
  }
  if (why != unreadable::none) return origin_read::incomplete;

  auto nested = wanted_fields(kEventCountFields);
  if (bson_iter_init(&iter, &counts)) {
    while (nested.missing > 0 && bson_iter_next(&iter)) nested.take(key_of(&iter), &iter);
  }
  if (top.missing > 0 || nested.missing > 0) {
    why = unreadable::no_field;
    return origin_read::incomplete;
  }
  // The counters keep the low 32 bits of what is stored.
  agent_risk_info read{};
  for (size_t i = 0; i < std::size(kTopLevelFields); ++i) {
    read.*kTopLevelFields[i].member = static_cast<int32_t>(top.values[i]);
  }
  read.last_risk_time = static_cast<uint64_t>(top.values[kLastRiskTime]);
  read.total_events = static_cast<int32_t>(top.values[kTotalEvents]);
  for (size_t i = 0; i < std::size(kEventCountFields); ++i) {
    read.*kEventCountFields[i].member = static_cast<int32_t>(nested.values[i]);
  }
  info = read;
  return origin_read::found;
}

// One agent's stored summary on its own (the single-agent interface); every problem is
// logged.
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
      unreadable why = unreadable::none;
      result = read_stored_fields(document, info, why);
      log_unreadable(why, agent_id);
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

// New summary = stored summary + change, with its risk level, its latest time and the
// negative counts cleared; `changed` when it differs from the stored one.
void combine(const agent_risk_info& stored, const agent_risk_info& change, agent_risk_info& summary,
             bool& changed) {
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
}

void append_id(bson_t* document, const std::string& agent_id) {
  bson_append_utf8(document, "_id", 3, agent_id.data(), static_cast<int>(agent_id.size()));
}

// What a written document reads back as: the summary with the written total.
agent_risk_info as_stored(const agent_risk_info& summary, int64_t total_events) {
  agent_risk_info stored = summary;
  stored.total_events = static_cast<int32_t>(total_events);  // read back as its low 32 bits
  return stored;
}

// A write whose outcome is unknown (its reply was lost, or the server's report of the
// failed command does not tell): the summary it meant to store, as a pass reads it back,
// and the change it carried. The next read of the agent's document settles it.
struct unconfirmed_write {
  agent_risk_info written;
  agent_risk_info change;
};
std::unordered_map<std::string, unconfirmed_write> s_unconfirmed;

// What the running pass did, for the metrics file: agents written, and whether it stopped on
// a failure (a stop request is none).
int64_t s_pass_written = 0;
bool s_pass_failed = false;

// Agents whose broken stored document has been named, with a digest of that document: it
// is named again only once it has changed.
std::unordered_map<std::string, std::string> s_named_broken;

// Takes a write that did happen out of an entry; what was added since stays.
void take_out(agent_risk_info& entry, const agent_risk_info& change) {
  for (const counter_field& counter : kSummedCounters) {
    add_counter(entry.*counter.member, -static_cast<int64_t>(change.*counter.member), counter.name);
  }
}

using batch_entries = std::map<std::string, agent_risk_info>;

// The documents of one rebuild bulk insert: exactly 10000 slots, each with the batch-map
// entry of its agent and the summary it stores, kept for the process's life (one thread,
// and the pass never runs inside itself).
struct insert_batch {
  bson_t* slots[kInsertBatch];
  batch_entries::iterator entries[kInsertBatch];
  agent_risk_info written[kInsertBatch];
  int32_t codes[kInsertBatch];
  size_t used = 0;

  bool full() const { return used == kInsertBatch; }
  bool empty() const { return used == 0; }
  void add(bson_t* document, batch_entries::iterator entry, const agent_risk_info& stored) {
    slots[used] = document;
    written[used] = stored;
    entries[used++] = entry;
  }
  // One unordered insert. After a partial failure the entries whose documents were
  // written leave `map`, so that only the rejected ones go back to g_agent_risk_map:
  // returning a written agent's change would add it a second time. When the reply names
  // no document, any of them may have been written: the next read settles each.
  bool insert(const char* name, batch_entries& map) {
    bson_t reply;
    const bool ok = db_conn.insert_many(name, const_cast<const bson_t**>(slots), used, &reply);
    if (ok) s_pass_written += static_cast<int64_t>(used);
    if (!ok) {
      s_pass_failed = true;
      if (dbbase::write_error_codes(&reply, codes, used) > 0) {
        for (size_t i = 0; i < used; ++i) {
          if (codes[i] != 0) continue;
          map.erase(entries[i]);
          ++s_pass_written;
        }
      } else {
        for (size_t i = 0; i < used; ++i) {
          s_unconfirmed[entries[i]->first] = unconfirmed_write{written[i], entries[i]->second};
        }
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

// The first full rebuild: no stored document is read, every changed agent is inserted in
// unordered bulk inserts of 10000 and its total is the accumulated one.
void flush_rebuild() {
  const char* name = get_table_name(TABLE_AGENT_LEVEL);
  insert_batch& batch = s_batch;
  batch_entries batch_map;
  bool stopped = false;
  bool sent = false;  // a stop request is served between two inserts

  for (auto it = g_agent_risk_map.begin(); it != g_agent_risk_map.end();) {
    agent_risk_info summary;
    bool changed = false;
    combine(agent_risk_info{}, it->second, summary, changed);
    if (!changed) {
      it = g_agent_risk_map.erase(it);
      continue;
    }
    if (batch.full()) {
      if (sent && cycle_stop_requested()) {
        stopped = true;
        break;
      }
      sent = true;
      if (!batch.insert(name, batch_map)) {
        KLOG(2, "inserts %s failed", name);
        stopped = true;
        break;
      }
      batch.clear();
      batch_map.clear();
    }
    const int64_t total = summary.total_events;
    bson_t* document = dbbase::new_document();
    build_agent_level_insert(document, it->first, summary, total,
                             static_cast<int64_t>(time(nullptr)));
    auto node = g_agent_risk_map.extract(it++);
    batch.add(document, batch_map.emplace(std::move(node.key()), node.mapped()).first,
              as_stored(summary, total));
  }

  bool written = batch.empty();
  if (!stopped && !batch.empty() && !(sent && cycle_stop_requested())) {
    written = batch.insert(name, batch_map);
    if (!written) KLOG(2, "inserts %s failed", name);
  }
  if (!written) restore_agent_risk_batch(batch_map);
  batch.clear();
  batch_map.clear();
}

using risk_map = std::unordered_map<std::string, agent_risk_info>;

// One agent of a steady batch, from the read of its stored document to its write.
struct batch_agent {
  explicit batch_agent(risk_map::iterator it) : entry(it) {}

  risk_map::iterator entry;
  origin_read read = origin_read::absent;
  unreadable why = unreadable::none;
  agent_risk_info stored{};
  std::string digest;  // of a broken stored document
  agent_risk_info summary{};
  bool update = false;  // a stored document is updated; otherwise one is inserted
  bool consumed = false;
  std::array<int64_t, kEventTables> counts{};
  int64_t total = 0;

  const std::string& id() const { return entry->first; }
};

using agent_list = std::vector<batch_agent*>;

// Appends {key: [ids of `agents`]}.
void append_ids(bson_t* parent, const char* key, const agent_list& agents) {
  bson_t array;
  bson_append_array_begin(parent, key, static_cast<int>(std::strlen(key)), &array);
  char buffer[16];
  for (size_t i = 0; i < agents.size(); ++i) {
    const char* index = nullptr;
    const size_t length =
        bson_uint32_to_string(static_cast<uint32_t>(i), &index, buffer, sizeof(buffer));
    const std::string& id = agents[i]->id();
    bson_append_utf8(&array, index, static_cast<int>(length), id.data(),
                     static_cast<int>(id.size()));
  }
  bson_append_array_end(parent, &array);
}

// A cursor batch that holds every answer about `agents` and one more, so that the server
// sees the end of the results in its first reply and no getMore follows.
int32_t reply_batch(const agent_list& agents) {
  return static_cast<int32_t>(agents.size() + 1);
}

std::unordered_map<std::string_view, batch_agent*> index_by_id(const agent_list& agents) {
  std::unordered_map<std::string_view, batch_agent*> index;
  index.reserve(agents.size());
  for (batch_agent* agent : agents) index.emplace(agent->id(), agent);
  return index;
}

// Reads the stored documents of `agents` in one find (one or two round trips). An agent
// whose document is not returned has none. False when the database did not answer.
bool read_stored_batch(const agent_list& agents) {
  const char* name = get_table_name(TABLE_AGENT_LEVEL);
  auto index = index_by_id(agents);
  for (batch_agent* agent : agents) {
    agent->read = origin_read::absent;
    agent->why = unreadable::none;
    agent->stored = agent_risk_info{};
    agent->digest.clear();
  }
  bson_owner filter(dbbase::new_document());
  bson_t in;
  BSON_APPEND_DOCUMENT_BEGIN(filter.get(), "_id", &in);
  append_ids(&in, "$in", agents);
  bson_append_document_end(filter.get(), &in);
  bson_owner opts(dbbase::new_document());
  BSON_APPEND_INT32(opts.get(), "batchSize", reply_batch(agents));

  cursor_owner cursor;
  if (!db_conn.query(name, filter.get(), opts.get(), cursor.address())) return false;
  const bson_t* document = nullptr;
  while (mongoc_cursor_next(cursor.get(), &document)) {
    bson_iter_t id;
    if (!bson_iter_init_find(&id, document, "_id") || !BSON_ITER_HOLDS_UTF8(&id)) continue;
    uint32_t length = 0;
    const char* text = bson_iter_utf8(&id, &length);
    auto found = index.find(std::string_view(text, length));
    if (found == index.end()) continue;
    batch_agent& agent = *found->second;
    agent.read = read_stored_fields(document, agent.stored, agent.why);
    if (agent.read == origin_read::incomplete) {
      agent.digest = dbconn::sha1_hex(
          std::string(reinterpret_cast<const char*>(bson_get_data(document)), document->len));
    }
  }
  bson_error_t error;
  if (mongoc_cursor_error(cursor.get(), &error)) {
    KLOG(2, "query %s error:%s", name, error.message);
    return false;
  }
  return true;
}

// A broken stored document is named once: again only when it has changed (or after a
// restart). Its agent is stepped over and its change waits.
void name_broken(const batch_agent& agent) {
  auto [named, fresh] = s_named_broken.try_emplace(agent.id(), agent.digest);
  if (!fresh && named->second == agent.digest) return;
  named->second = agent.digest;
  log_unreadable(agent.why, agent.id());
  KLOG(2, "get_agent_origin_info failed agent_id is %s ", agent.id().c_str());
  KLOG(2, "get agent last risk info  failed");
  KLOG(2, "get_agent_risk_doc failed,agent_id is %s", agent.id().c_str());
}

// Settles an earlier write of unknown outcome against the document just read: when it
// holds exactly what that write meant to store, the write happened and its change leaves
// the entry; otherwise it did not and the entry is written as it is.
void settle_unconfirmed(batch_agent& agent) {
  if (s_unconfirmed.empty()) return;
  auto earlier = s_unconfirmed.find(agent.id());
  if (earlier == s_unconfirmed.end()) return;
  if (agent.read == origin_read::found && agent.stored == earlier->second.written) {
    take_out(agent.entry->second, earlier->second.change);
  }
  s_unconfirmed.erase(earlier);
}

// The counts of one event-total table into counts[slot]; false (all of them 0) when the
// command failed.
bool aggregate_counts(size_t slot, const agent_list& agents,
                      const std::unordered_map<std::string_view, batch_agent*>& index) {
  const int32_t table = kEventTotalTables[slot];
  const char* name = get_table_name(table);
  for (batch_agent* agent : agents) agent->counts[slot] = 0;
  mongoc_collection_t* handle = db_conn.get_collection(name);
  if (handle == nullptr) return false;

  bson_owner pipeline(dbbase::new_document());
  bson_t stages, stage, match, in, group, sum;
  BSON_APPEND_ARRAY_BEGIN(pipeline.get(), "pipeline", &stages);
  BSON_APPEND_DOCUMENT_BEGIN(&stages, "0", &stage);
  BSON_APPEND_DOCUMENT_BEGIN(&stage, "$match", &match);
  BSON_APPEND_DOCUMENT_BEGIN(&match, "agent_id", &in);
  append_ids(&in, "$in", agents);
  bson_append_document_end(&match, &in);
  if (table == TABLE_DOMAIN_LOG) {
    bson_t exists;
    BSON_APPEND_DOCUMENT_BEGIN(&match, "found_source", &exists);
    BSON_APPEND_BOOL(&exists, "$exists", true);
    bson_append_document_end(&match, &exists);
  }
  bson_append_document_end(&stage, &match);
  bson_append_document_end(&stages, &stage);
  BSON_APPEND_DOCUMENT_BEGIN(&stages, "1", &stage);
  BSON_APPEND_DOCUMENT_BEGIN(&stage, "$group", &group);
  BSON_APPEND_UTF8(&group, "_id", "$agent_id");
  BSON_APPEND_DOCUMENT_BEGIN(&group, "n", &sum);
  BSON_APPEND_INT32(&sum, "$sum", 1);
  bson_append_document_end(&group, &sum);
  bson_append_document_end(&stage, &group);
  bson_append_document_end(&stages, &stage);
  bson_append_array_end(pipeline.get(), &stages);
  bson_owner opts(dbbase::new_document());
  BSON_APPEND_INT32(opts.get(), "batchSize", reply_batch(agents));

  mongoc_cursor_t* cursor =
      mongoc_collection_aggregate(handle, MONGOC_QUERY_NONE, pipeline.get(), opts.get(), nullptr);
  const bson_t* group_document = nullptr;
  std::vector<batch_agent*> seen;
  while (mongoc_cursor_next(cursor, &group_document)) {
    bson_iter_t iter;
    if (!bson_iter_init_find(&iter, group_document, "n")) continue;
    const int64_t n = bson_iter_as_int64(&iter);
    if (!bson_iter_init_find(&iter, group_document, "_id")) continue;
    if (BSON_ITER_HOLDS_UTF8(&iter)) {
      uint32_t length = 0;
      const char* text = bson_iter_utf8(&iter, &length);
      auto found = index.find(std::string_view(text, length));
      if (found != index.end()) found->second->counts[slot] += n;
      continue;
    }
    // An array of ids matches each agent it holds, every document once, as a count by
    // agent_id would.
    bson_iter_t element;
    if (!BSON_ITER_HOLDS_ARRAY(&iter) || !bson_iter_recurse(&iter, &element)) continue;
    seen.clear();
    while (bson_iter_next(&element)) {
      if (!BSON_ITER_HOLDS_UTF8(&element)) continue;
      uint32_t length = 0;
      const char* text = bson_iter_utf8(&element, &length);
      auto found = index.find(std::string_view(text, length));
      if (found == index.end() ||
          std::find(seen.begin(), seen.end(), found->second) != seen.end()) {
        continue;
      }
      seen.push_back(found->second);
      found->second->counts[slot] += n;
    }
  }
  bson_error_t error;
  const bool failed = mongoc_cursor_error(cursor, &error);
  mongoc_cursor_destroy(cursor);
  if (failed) {
    KLOG(2, "Fail to count, error: %s, nret = %ld", error.message, -1L);
    for (batch_agent* agent : agents) agent->counts[slot] = 0;
  }
  return !failed;
}

// The event totals of `agents`: one aggregation per event-total table, each grouping the
// table's documents of these agents by agent. False when a stop request came before one.
bool count_batch_events(const agent_list& agents) {
  const auto index = index_by_id(agents);
  bool failed[kEventTables] = {};
  for (size_t slot = 0; slot < kEventTables; ++slot) {
    if (cycle_stop_requested()) return false;
    failed[slot] = !aggregate_counts(slot, agents, index);
  }
  // Reported per agent, in table order, as the totals are summed.
  for (batch_agent* agent : agents) {
    agent->total = 0;
    for (size_t slot = 0; slot < kEventTables; ++slot) {
      const char* name = get_table_name(kEventTotalTables[slot]);
      if (failed[slot]) {
        KLOG(2, "query %s about agent %s count failed, set count 0 ", name, agent->id().c_str());
      }
      KLOG(4, "query %s about agent %s count is %ld", name, agent->id().c_str(),
           static_cast<long>(agent->counts[slot]));
      agent->total += agent->counts[slot];
    }
  }
  return true;
}

void consume(batch_agent& agent) {
  g_agent_risk_map.erase(agent.entry);
  agent.consumed = true;
}

// After a command that the server answered with a failure, the writes it left unknown are
// read back at once: the server has finished with them, so what is stored tells which
// happened. Those stay settled; the others are written again by the next pass.
void confirm_now(const agent_list& unknown) {
  if (!read_stored_batch(unknown)) return;  // the next pass settles them
  for (batch_agent* agent : unknown) {
    auto earlier = s_unconfirmed.find(agent->id());
    if (earlier == s_unconfirmed.end() || agent->read == origin_read::incomplete) continue;
    const bool happened =
        agent->read == origin_read::found && agent->stored == earlier->second.written;
    s_unconfirmed.erase(earlier);
    if (happened) {
      consume(*agent);
      ++s_pass_written;
    }
  }
}

// Update commands are sized to take about 2 s at most, so that a stop request, served
// between two commands, never waits much longer: on a server where every update scans its
// collection a command of 50 can take far longer than that. The estimate of one update's
// cost carries over from command to command; the process's first command is a probe.
constexpr int64_t kUpdateCommandTargetMs = 2000;
size_t s_updates_per_command = 10;

int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void learn_update_cost(size_t statements, int64_t elapsed_ms) {
  const int64_t fitting =
      kUpdateCommandTargetMs * static_cast<int64_t>(statements) / std::max<int64_t>(elapsed_ms, 1);
  s_updates_per_command = static_cast<size_t>(
      std::clamp<int64_t>(fitting, 1, static_cast<int64_t>(ordered_writes::updates_per_command())));
}

// Sends the writes order[begin, end) (updates or inserts, not both) as one command. The
// written agents' entries are consumed; an entry whose write did not happen stays as it
// is; one whose outcome is unknown stays and is settled by the next read. False when the
// pass is to stop.
bool send_writes(const agent_list& order, size_t begin, size_t end, int64_t now) {
  const char* name = get_table_name(TABLE_AGENT_LEVEL);
  const bool updates = order[begin]->update;
  ordered_writes queue(name);
  for (size_t i = begin; i < end; ++i) {
    const batch_agent& agent = *order[i];
    if (updates) {
      bson_t selector;
      bson_init(&selector);
      append_id(&selector, agent.id());
      bson_t update;
      bson_init(&update);
      build_agent_level_update(&update, agent.summary, agent.total, now);
      queue.update_one(&selector, &update);
      bson_destroy(&update);
      bson_destroy(&selector);
    } else {
      bson_t* document = dbbase::new_document();
      build_agent_level_insert(document, agent.id(), agent.summary, agent.total, now);
      queue.insert_adopt(document);
    }
  }

  const int64_t started = monotonic_ms();
  const write_outcome outcome = queue.execute(cycle_stop_requested);
  if (updates && outcome.ok) learn_update_cost(end - begin, monotonic_ms() - started);
  const size_t applied = begin + outcome.applied;
  for (size_t i = begin; i < applied; ++i) consume(*order[i]);
  s_pass_written += static_cast<int64_t>(outcome.applied);
  agent_list unknown(order.begin() + static_cast<ptrdiff_t>(applied),
                     order.begin() + static_cast<ptrdiff_t>(applied + outcome.unknown));
  for (batch_agent* agent : unknown) {
    s_unconfirmed[agent->id()] =
        unconfirmed_write{as_stored(agent->summary, agent->total), agent->entry->second};
  }
  if (outcome.ok) return true;
  if (outcome.stopped) return false;
  s_pass_failed = true;

  if (!unknown.empty() && outcome.failure == db_failure::rejected) confirm_now(unknown);
  // The failing write: the first one left unwritten.
  const batch_agent* failed = applied < end ? order[applied] : nullptr;
  for (const batch_agent* agent : unknown) {
    if (!agent->consumed) {
      failed = agent;
      break;
    }
  }
  if (updates) {
    KLOG(2, "update %s %s failed ", name, failed != nullptr ? failed->id().c_str() : "");
  } else {
    KLOG(2, "inserts %s failed", name);
  }
  return false;
}

// Sends the batch's updates and then its inserts, in order, and stops at the first write
// that does not happen. Updates go first: on some servers an update costs a scan of the
// collection, which the inserts would grow. False when the pass is to stop.
bool write_batch(const agent_list& writes) {
  agent_list order;
  order.reserve(writes.size());
  for (batch_agent* agent : writes) {
    if (agent->update) order.push_back(agent);
  }
  const size_t updates = order.size();
  for (batch_agent* agent : writes) {
    if (!agent->update) order.push_back(agent);
  }
  const int64_t now = static_cast<int64_t>(time(nullptr));
  size_t begin = 0;
  while (begin < order.size()) {
    if (cycle_stop_requested()) return false;
    // The inserts of a batch fit one command.
    const size_t end =
        begin < updates ? std::min(updates, begin + s_updates_per_command) : order.size();
    if (!send_writes(order, begin, end, now)) return false;
    begin = end;
  }
  return true;
}

// One batch of the steady pass. False when the pass is to stop.
bool flush_batch(std::vector<batch_agent>& batch) {
  agent_list agents;
  agents.reserve(batch.size());
  for (batch_agent& agent : batch) agents.push_back(&agent);
  if (!read_stored_batch(agents)) {
    s_pass_failed = true;
    const std::string& first = batch.front().id();
    KLOG(2, "get_agent_origin_info failed agent_id is %s ", first.c_str());
    KLOG(2, "get agent last risk info  failed");
    KLOG(2, "get_agent_risk_doc failed,agent_id is %s", first.c_str());
    return false;
  }

  agent_list writes;
  for (batch_agent* agent : agents) {
    if (agent->read == origin_read::incomplete) {
      // One broken document must not hold up every agent after it; its change waits.
      name_broken(*agent);
      continue;
    }
    if (!s_named_broken.empty()) s_named_broken.erase(agent->id());
    settle_unconfirmed(*agent);
    bool changed = false;
    combine(agent->stored, agent->entry->second, agent->summary, changed);
    if (!changed) {
      consume(*agent);
      continue;
    }
    agent->update = agent->read == origin_read::found;
    writes.push_back(agent);
  }
  if (writes.empty()) return true;
  if (!count_batch_events(writes)) return false;
  return write_batch(writes);
}

// The steady pass: the map's entries in batches, in the map's order.
void flush_steady() {
  std::vector<batch_agent> batch;
  auto next = g_agent_risk_map.begin();
  while (next != g_agent_risk_map.end()) {
    if (cycle_stop_requested()) return;
    batch.clear();
    size_t bytes = 0;
    while (next != g_agent_risk_map.end() && batch.size() < kBatchAgents) {
      const size_t size = next->first.size();
      if (!batch.empty() && bytes + size > kBatchIdBytes) break;
      bytes += size;
      batch.emplace_back(next);
      ++next;
    }
    if (!flush_batch(batch)) return;
  }
}

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
  agent_risk_info stored{};
  if (!g_first_insert && !get_agent_origin_info(agent_id, stored)) {
    KLOG(2, "get_agent_origin_info failed agent_id is %s ", agent_id.c_str());
    return false;
  }
  combine(stored, change, summary, changed);
  return true;
}

bool agent_risk_changed(const agent_risk_info& stored, const agent_risk_info& updated) {
  // Every field takes part: a change confined to one category must reach the document.
  return !(stored == updated);
}

void flush_agent_level() {
  s_pass_written = 0;
  s_pass_failed = false;
  if (g_first_insert) {
    flush_rebuild();
  } else {
    flush_steady();
  }
  g_cycle_figures.write_pass_agents = s_pass_written;
  g_cycle_figures.write_pass_failed = s_pass_failed;
}

void restore_agent_risk_batch(std::map<std::string, agent_risk_info>& batch) {
  while (!batch.empty()) {
    auto node = batch.extract(batch.begin());
    g_agent_risk_map.try_emplace(std::move(node.key()), node.mapped());
  }
}
