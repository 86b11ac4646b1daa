// Event classification: the seven event tables describe an event in seven ways; this
// module reduces a document to an event_info and says which counters it moves.
#include "compare/event.h"

#include <cstring>

#include "agent_level/agent_risk.h"
#include "compare/table_catalogue.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/tick.h"

namespace {

constexpr uint32_t kMessageIntervalMs = 5000;

// Rate limit of one call site: true (and the time remembered) when the last message of
// that site is more than 5000 ms old. Only asked once the level admits the message.
bool message_due(uint32_t& last_ms) {
  uint32_t now = timer_ticks2ms(timer_get_ticks());
  if (static_cast<uint32_t>(now - last_ms) <= kMessageIntervalMs) return false;
  last_ms = now;
  return true;
}

// The three places that report an unusable risk level, each with its own limit.
uint32_t s_virus_risk_message_ms = 0;
uint32_t s_leak_risk_message_ms = 0;
uint32_t s_other_risk_message_ms = 0;

void invalid_risk_message(uint32_t& last_ms, signed char risk_level) {
  if (s_log_level >= 2 && message_due(last_ms)) {
    KLOG(2, "risk type is invalid: %d", static_cast<int>(risk_level));
  }
}

// The fields classification reads, found in one walk over the document: reading them one
// by one would walk the document again for each (most of a pass's CPU went there).
enum document_field : uint32_t {
  kAgentId,
  kId,
  kKb,
  kIncidentId,
  kFoundTime,
  kTriggerTime,
  kState,
  kDispose,
  kUnhandleFileCount,
  kRiskLevel,
  kEventRiskLevel,
  kIncidentLevel,
  kSafetyState,
  kVirusType,
  kFieldCount,
};

// The field a key names, or kFieldCount for a field classification does not read.
document_field field_of(const char* key, uint32_t length) {
  auto is = [&](const char* name) { return std::memcmp(key, name, length) == 0; };
  switch (length) {
    case 2:
      return is("kb") ? kKb : kFieldCount;
    case 3:
      return is("_id") ? kId : kFieldCount;
    case 5:
      return is("state") ? kState : kFieldCount;
    case 7:
      return is("dispose") ? kDispose : kFieldCount;
    case 8:
      return is("agent_id") ? kAgentId : kFieldCount;
    case 10:
      return is("found_time")   ? kFoundTime
             : is("risk_level") ? kRiskLevel
             : is("virus_type") ? kVirusType
                                : kFieldCount;
    case 11:
      return is("incident_id") ? kIncidentId : kFieldCount;
    case 12:
      return is("trigger_time") ? kTriggerTime : is("safety_state") ? kSafetyState : kFieldCount;
    case 14:
      return is("incident_level") ? kIncidentLevel : kFieldCount;
    case 16:
      return is("event_risk_level") ? kEventRiskLevel : kFieldCount;
    case 19:
      return is("unhandle_file_count") ? kUnhandleFileCount : kFieldCount;
    default:
      return kFieldCount;
  }
}

// One document as classification sees it. The readers give what dbconn's field readers
// give: the first field of a name, integers of any type through bson_iter_as_int64, text
// only from UTF-8 strings. Failures that dbconn reports (an unreadable document, text of
// another type) are handed to dbconn's readers, so that the same message is logged.
class event_document {
 public:
  explicit event_document(const bson_t* document) : document_(document) {
    bson_iter_t iter;
    readable_ = bson_iter_init(&iter, document);
    while (readable_ && bson_iter_next(&iter)) {
      const document_field field = field_of(bson_iter_key(&iter), bson_iter_key_len(&iter));
      if (field == kFieldCount || (present_ & bit(field)) != 0) continue;
      present_ |= bit(field);
      fields_[field].iter = iter;
    }
  }

  bool get_string(document_field field, const char* name, std::string& text) const {
    if (readable_ && (present_ & bit(field)) == 0) return false;
    if (readable_ && BSON_ITER_HOLDS_UTF8(&fields_[field].iter)) {
      uint32_t length = 0;
      const char* bytes = bson_iter_utf8(&fields_[field].iter, &length);
      text.assign(bytes, length);
      return true;
    }
    return dbconn::get_string(document_, name, text);
  }

  // An id: text, or the 24 hex characters of an ObjectId (what MongoDB assigns to a
  // document inserted without one).
  bool get_id_text(document_field field, const char* name, std::string& text) const {
    if (readable_ && (present_ & bit(field)) != 0 && BSON_ITER_HOLDS_OID(&fields_[field].iter)) {
      char hex[25];
      bson_oid_to_string(bson_iter_oid(&fields_[field].iter), hex);
      text.assign(hex, 24);
      return true;
    }
    return get_string(field, name, text);
  }

  bool get_int64(document_field field, const char* name, int64_t& value) const {
    if (!readable_) return dbconn::get_int64(document_, name, &value);
    if ((present_ & bit(field)) == 0) return false;
    value = bson_iter_as_int64(&fields_[field].iter);
    return true;
  }

  // Whether a text field holds exactly `word`; false also when it is absent or no text.
  bool string_is(document_field field, const char* name, const char* word, bool& equal) const {
    if (readable_ && (present_ & bit(field)) != 0 && BSON_ITER_HOLDS_UTF8(&fields_[field].iter)) {
      uint32_t length = 0;
      const char* bytes = bson_iter_utf8(&fields_[field].iter, &length);
      equal = length == std::strlen(word) && std::memcmp(bytes, word, length) == 0;
      return true;
    }
    std::string text;
    if (!get_string(field, name, text)) return false;
    equal = text == word;
    return true;
  }

 private:
  static constexpr uint32_t bit(document_field field) { return 1u << field; }

  const bson_t* document_;
  bool readable_ = false;
  uint32_t present_ = 0;
  // bson_iter_t is over-aligned, so it cannot be an array element by itself.
  struct slot {
    bson_iter_t iter;
  };
  slot fields_[kFieldCount];
};

bool read_time(int32_t table_type, const event_document& document, uint64_t& time) {
  int64_t value = 0;
  if (table_type == TABLE_INCIDENT_MSG) {
    // Incidents carry milliseconds; every other table seconds.
    if (!document.get_int64(kTriggerTime, "trigger_time", value)) return false;
    time = static_cast<uint64_t>(value / 1000);
    return true;
  }
  if (!document.get_int64(kFoundTime, "found_time", value)) return false;
  time = static_cast<uint64_t>(value);
  return true;
}

bool read_log_id(int32_t table_type, const event_document& document, const char* collection,
                 event_info& event) {
  if (table_type == TABLE_LEAK_INFO_LOG) {
    // A leak is identified by its knowledge-base entry on one agent.
    if (!document.get_string(kKb, "kb", event.log_id)) return false;
    event.log_id += event.agent_id;
  } else if (table_type == TABLE_INCIDENT_MSG) {
    if (!document.get_string(kIncidentId, "incident_id", event.log_id)) return false;
  } else {
    if (!document.get_id_text(kId, "_id", event.log_id)) return false;
  }
  event.log_id += collection;
  return true;
}

bool read_state(int32_t table_type, const event_document& document, uint64_t& state) {
  int64_t value = 0;
  if (table_type == TABLE_DOMAIN_LOG) {
    // A domain event is handled once none of its files is left unhandled.
    if (!document.get_int64(kUnhandleFileCount, "unhandle_file_count", value)) return false;
    state = value == 0 ? 1 : 0;
    return true;
  }
  const bool incident = table_type == TABLE_INCIDENT_MSG;
  if (!document.get_int64(incident ? kDispose : kState, incident ? "dispose" : "state", value)) {
    return false;
  }
  state = static_cast<uint64_t>(value);
  return true;
}

bool read_risk_level(int32_t table_type, const event_document& document, int64_t& risk) {
  switch (table_type) {
    case TABLE_WEBSHELL_LOG: {
      bool invaded = false;
      if (!document.string_is(kSafetyState, "safety_state", "invaded", invaded)) return false;
      risk = invaded ? 2 : 0;
      return true;
    }
    case TABLE_ANTI_BFA_LOG:
      risk = 1;
      return true;
    case TABLE_DOMAIN_LOG:
      return document.get_int64(kEventRiskLevel, "event_risk_level", risk);
    case TABLE_INCIDENT_MSG: {
      int64_t level = 0;
      if (!document.get_int64(kIncidentLevel, "incident_level", level)) return false;
      risk = incident_level_to_risk(level);
      return true;
    }
    default:
      return document.get_int64(kRiskLevel, "risk_level", risk);
  }
}

bool read_virus_type(int32_t table_type, const event_document& document, signed char& virus_type) {
  switch (table_type) {
    case TABLE_VIRUS_FILE_LOG: {
      int64_t value = 0;
      if (!document.get_int64(kVirusType, "virus_type", value)) {
        KLOG(2, "get virus_type faild");
        return false;
      }
      virus_type = static_cast<signed char>(value);
      return true;
    }
    case TABLE_WEBSHELL_LOG:
      virus_type = 20;
      return true;
    case TABLE_DOMAIN_LOG:
      virus_type = 30;
      return true;
    case TABLE_ANTI_BFA_LOG:
      virus_type = 40;
      return true;
    case TABLE_NOFILE_ATTACK_LOG:
      virus_type = 50;
      return true;
    case TABLE_LEAK_INFO_LOG:
      virus_type = 60;
      return true;
    case TABLE_INCIDENT_MSG:
      virus_type = 70;
      return true;
    default:
      KLOG(2, "dont support virus_type");
      return false;
  }
}

}  // namespace

bool get_event_info(int32_t table_type, const bson_t* document, event_info& event) {
  const char* collection = get_table_name(table_type);
  if (collection == nullptr) return false;
  const event_document fields(document);
  if (!fields.get_string(kAgentId, "agent_id", event.agent_id)) return false;
  if (!read_log_id(table_type, fields, collection, event)) return false;
  if (!read_time(table_type, fields, event.event_time)) return false;
  if (!read_state(table_type, fields, event.state)) return false;
  int64_t risk = 0;
  if (!read_risk_level(table_type, fields, risk)) return false;
  event.risk_level = static_cast<signed char>(risk);
  return read_virus_type(table_type, fields, event.virus_type);
}

bool get_event_state(int32_t table_type, const bson_t* document, uint64_t& state) {
  int64_t value = 0;
  if (table_type == TABLE_DOMAIN_LOG) {
    // A domain event is handled once none of its files is left unhandled.
    if (!dbconn::get_int64(document, "unhandle_file_count", &value)) return false;
    state = value == 0 ? 1 : 0;
    return true;
  }
  const char* field = table_type == TABLE_INCIDENT_MSG ? "dispose" : "state";
  if (!dbconn::get_int64(document, field, &value)) return false;
  state = static_cast<uint64_t>(value);
  return true;
}

bool get_event_risk_level(int32_t table_type, const bson_t* document, int64_t& risk) {
  switch (table_type) {
    case TABLE_WEBSHELL_LOG: {
      // Reused across calls so that a pass does not allocate per document.
      static std::string safety_state;
      if (!dbconn::get_string(document, "safety_state", safety_state)) return false;
      risk = safety_state == "invaded" ? 2 : 0;
      return true;
    }
    case TABLE_ANTI_BFA_LOG:
      risk = 1;
      return true;
    case TABLE_DOMAIN_LOG:
      return dbconn::get_int64(document, "event_risk_level", &risk);
    case TABLE_INCIDENT_MSG: {
      int64_t level = 0;
      if (!dbconn::get_int64(document, "incident_level", &level)) return false;
      risk = incident_level_to_risk(level);
      return true;
    }
    default:
      return dbconn::get_int64(document, "risk_level", &risk);
  }
}

int64_t incident_level_to_risk(int64_t incident_level) {
  switch (static_cast<uint64_t>(incident_level)) {
    case 0:
    case 1:
    case 2:
      return 3;
    case 3:
      return 1;
    case 4:
    case 5:
      return 2;
    default:
      KLOG(2, "invalid risk_level:%lu", static_cast<unsigned long>(incident_level));
      return incident_level;
  }
}

namespace {

bool known_category(signed char virus_type) {
  const unsigned char code = static_cast<unsigned char>(virus_type);
  return code <= 13 || code == 20 || code == 30 || code == 40 || code == 50 || code == 60 ||
         code == 70;
}

}  // namespace

bool check_event_info(const event_info& event) {
  if (static_cast<unsigned char>(event.risk_level) > 4) {
    KLOG(2, "invaild risk_level %d,log_id %s", static_cast<int>(event.risk_level),
         event.log_id.c_str());
    return false;
  }
  if (known_category(event.virus_type)) return true;
  KLOG(2, "invaild virus_type %d,log_id %s", static_cast<int>(event.virus_type),
       event.log_id.c_str());
  return false;
}

bool valid_risk_and_category(signed char risk_level, signed char virus_type) {
  return static_cast<unsigned char>(risk_level) <= 4 && known_category(virus_type);
}

bool event_unhandled(int32_t table_type, uint64_t state) {
  switch (table_type) {
    case TABLE_NOFILE_ATTACK_LOG:
      return state <= 3 || state == 5 || state == 7 || state == 8;
    case TABLE_LEAK_INFO_LOG:
      return state == 1 || state == 4 || state == 8;
    case TABLE_INCIDENT_MSG:
      return state <= 1;
    default:
      return state == 0 || state == 2 || state == 5;
  }
}

void add_risk_count(int32_t table_type, agent_risk_info& record, signed char risk_level,
                    signed char virus_type, int delta) {
  const bool leak = table_type == TABLE_LEAK_INFO_LOG;
  if (static_cast<unsigned char>(virus_type) <= 5) {
    // The virus categories proper also feed the virus risk counters.
    switch (risk_level) {
      case 2:
        add_counter(record.high_virus_c, delta, "high_virus_c");
        if (leak) {
          add_counter(record.mid_leak_c, delta, "mid_leak_c");
        } else {
          add_counter(record.high_risk_c, delta, "high_risk_c");
        }
        return;
      case 1:
        add_counter(record.mid_virus_c, delta, "mid_virus_c");
        if (leak) {
          add_counter(record.low_leak_c, delta, "low_leak_c");
        } else {
          add_counter(record.mid_risk_c, delta, "mid_risk_c");
        }
        return;
      case 0:
        add_counter(record.low_virus_c, delta, "low_virus_c");
        if (leak) {
          invalid_risk_message(s_leak_risk_message_ms, risk_level);
        } else {
          add_counter(record.low_risk_c, delta, "low_risk_c");
        }
        return;
      default:
        invalid_risk_message(s_virus_risk_message_ms, risk_level);
        break;
    }
  }
  if (leak) {
    switch (risk_level) {
      case 4:
        add_counter(record.high_leak_c, delta, "high_leak_c");
        return;
      case 2:
        add_counter(record.mid_leak_c, delta, "mid_leak_c");
        return;
      case 1:
        add_counter(record.low_leak_c, delta, "low_leak_c");
        return;
      default:
        invalid_risk_message(s_leak_risk_message_ms, risk_level);
        return;
    }
  }
  switch (risk_level) {
    case 2:
      add_counter(record.high_risk_c, delta, "high_risk_c");
      return;
    case 1:
      add_counter(record.mid_risk_c, delta, "mid_risk_c");
      return;
    case 0:
      add_counter(record.low_risk_c, delta, "low_risk_c");
      return;
    default:
      invalid_risk_message(s_other_risk_message_ms, risk_level);
      return;
  }
}

void add_event_count(agent_risk_info& record, signed char virus_type, int delta) {
  int32_t agent_risk_info::*counter = nullptr;
  const char* name = nullptr;
  switch (static_cast<unsigned char>(virus_type)) {
#define KORVEL_CATEGORY(code, field)   \
  case code:                           \
    counter = &agent_risk_info::field; \
    name = #field;                     \
    break;
    KORVEL_CATEGORY(0, undefine_c)
    KORVEL_CATEGORY(1, trojan_c)
    KORVEL_CATEGORY(2, worm_c)
    KORVEL_CATEGORY(3, miner_c)
    KORVEL_CATEGORY(4, ransom_c)
    KORVEL_CATEGORY(5, infection_c)
    KORVEL_CATEGORY(6, backdoor_c)
    KORVEL_CATEGORY(7, macro_c)
    KORVEL_CATEGORY(8, hacktool_c)
    KORVEL_CATEGORY(9, adware_c)
    KORVEL_CATEGORY(10, cad_c)
    KORVEL_CATEGORY(11, exploit_c)
    KORVEL_CATEGORY(12, rootkit_c)
    KORVEL_CATEGORY(13, activatetool_c)
    KORVEL_CATEGORY(20, webshell_c)
    KORVEL_CATEGORY(30, botnet_c)
    KORVEL_CATEGORY(40, antibfa_c)
    KORVEL_CATEGORY(50, nofile_attack_c)
    KORVEL_CATEGORY(70, adv_threat_c)
#undef KORVEL_CATEGORY
    default:
      return;  // leaks (60) have no category counter
  }
  add_counter(record.*counter, delta, name);
}

void add_risk_count(int32_t table_type, const std::string& agent_id, signed char risk_level,
                    signed char virus_type, int delta) {
  add_risk_count(table_type, g_agent_risk_map[agent_id], risk_level, virus_type, delta);
}

void add_event_count(const std::string& agent_id, signed char virus_type, int delta) {
  add_event_count(g_agent_risk_map[agent_id], virus_type, delta);
}
