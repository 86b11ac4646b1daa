// The query of an incremental comparison pass: the fields of a table's progress key, and
// the filter and options that read the next batch after it. It needs nothing but libbson,
// so that a tool which must ask the server exactly what the daemon asks can build it too.
#include "compare/pass_query.h"

#include "compare/table_catalogue.h"

namespace {

constexpr int64_t kReplyDocuments = 10000;

constexpr pass_table kPassTables[] = {
    {TABLE_VIRUS_FILE_LOG, "time", "_id"},
    {TABLE_WEBSHELL_LOG, "time", "_id"},
    {TABLE_DOMAIN_LOG, "domain_update_time", "_id"},
    {TABLE_ANTI_BFA_LOG, "time", "_id"},
    {TABLE_NOFILE_ATTACK_LOG, "time", "_id"},
    {TABLE_LEAK_INFO_LOG, "update_time", "_id"},
    {TABLE_INCIDENT_MSG, "update_time", "incident_id"},
};

// The fields classification reads; nothing else is fetched.
constexpr const char* kProjection[] = {
    "state",
    "risk_level",
    "virus_type",
    "agent_id",
    "found_time",
    "domain_update_time",
    "time",
    "update_time",
    "kb",
    "unhandle_file_count",
    "event_risk_level",
    "safety_state",
    "incident_id",
    "dispose",
    "trigger_time",
    "incident_level",
};

void append_time_condition(bson_t* parent, const char* field, bool inclusive, int64_t last_time,
                           int64_t upper) {
  bson_t condition;
  bson_append_document_begin(parent, field, -1, &condition);
  bson_append_int64(&condition, inclusive ? "$gte" : "$gt", -1, last_time);
  bson_append_int64(&condition, "$lt", -1, upper);
  bson_append_document_end(parent, &condition);
}

}  // namespace

const pass_table* find_pass_table(int32_t table_type) {
  for (const pass_table& t : kPassTables) {
    if (t.type == table_type) return &t;
  }
  return nullptr;
}

bool build_pass_query(int32_t table_type, const std::string& last_id, bson_type_t last_id_type,
                      int64_t last_time, int64_t upper, int64_t limit, bson_t* filter,
                      bson_t* opts) {
  const pass_table* table = find_pass_table(table_type);
  if (table == nullptr) return false;
  // leak_info_log has no id branch: its key's own time is never read again.
  const bool id_branch = !last_id.empty() && table_type != TABLE_LEAK_INFO_LOG;
  // The server compares values of one type only: an ObjectId key must be an ObjectId.
  bson_oid_t last_oid{};
  const bool oid_key = last_id_type == BSON_TYPE_OID;
  if (id_branch && oid_key) {
    if (!bson_oid_is_valid(last_id.data(), last_id.size())) return false;
    bson_oid_init_from_string(&last_oid, last_id.c_str());
  }

  if (table_type == TABLE_DOMAIN_LOG) {
    bson_t exists;
    bson_append_document_begin(filter, "found_source", -1, &exists);
    bson_append_bool(&exists, "$exists", -1, true);
    bson_append_document_end(filter, &exists);
  }
  if (!id_branch) {
    append_time_condition(filter, table->time_field, last_id.empty(), last_time, upper);
  } else {
    // Later times, or the key's own time with a greater id.
    bson_t branches, later, same_time, id_condition;
    bson_append_array_begin(filter, "$or", -1, &branches);
    bson_append_document_begin(&branches, "0", -1, &later);
    append_time_condition(&later, table->time_field, false, last_time, upper);
    bson_append_document_end(&branches, &later);
    bson_append_document_begin(&branches, "1", -1, &same_time);
    bson_append_int64(&same_time, table->time_field, -1, last_time);
    bson_append_document_begin(&same_time, table->id_field, -1, &id_condition);
    if (oid_key) {
      bson_append_oid(&id_condition, "$gt", -1, &last_oid);
    } else {
      bson_append_utf8(&id_condition, "$gt", -1, last_id.data(), static_cast<int>(last_id.size()));
    }
    bson_append_document_end(&same_time, &id_condition);
    bson_append_document_end(&branches, &same_time);
    bson_append_array_end(filter, &branches);
  }
  if (table_type == TABLE_INCIDENT_MSG) bson_append_bool(filter, "merged", -1, false);

  bson_t projection, sort;
  bson_append_document_begin(opts, "projection", -1, &projection);
  for (const char* field : kProjection) bson_append_int64(&projection, field, -1, 1);
  bson_append_document_end(opts, &projection);
  bson_append_document_begin(opts, "sort", -1, &sort);
  bson_append_int64(&sort, table->time_field, -1, 1);
  bson_append_int64(&sort, table->id_field, -1, 1);
  bson_append_document_end(opts, &sort);
  bson_append_int64(opts, "limit", -1, limit);
  // Replies of up to 10000 documents: a large batch comes in a few round trips (a server's
  // own default may be a hundred or so), and none holds more than a few MiB.
  bson_append_int32(opts, "batchSize", -1,
                    static_cast<int32_t>(limit < kReplyDocuments ? limit : kReplyDocuments));
  return true;
}
