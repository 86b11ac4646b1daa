// The floor of the benchmark: a bare libmongoc cursor scan of korveld's input with the
// filter, projection, sort and limit of its reads, paging by the same (time, id) key,
// touching every document once: the raw brute-force reports as the merge reads them, then
// the event tables as the incremental passes read them. No reader of the same input can do
// with less from the server, so korveld's rebuild is measured against it.
//
//   floor_scan URL NOW BFA_UPPER [FROM] [LIMIT] [REPORT_LIMIT]
//     NOW        upper time bound in seconds (incidents: NOW * 1000)
//     BFA_UPPER  upper time bound of anti_bfa_log (the merge progress time), and the
//                lower bound of the raw reports (the merge resumes there)
//     FROM       lower time bound (default 0: the whole history)
//     LIMIT      documents per query of an event table (default 500000)
//     REPORT_LIMIT  documents per query of the raw reports (default 100000)
//
// Prints one JSON object: documents and seconds per table, totals, and the process's CPU.
#include <mongoc/mongoc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct table {
  const char* name;
  const char* time_field;
  const char* id_field;
};

// The passes' order within one update cycle.
constexpr table kTables[] = {
    {"virus_file_log", "time", "_id"},
    {"anti_bfa_log", "time", "_id"},
    {"webshell_log", "time", "_id"},
    {"domain_log", "domain_update_time", "_id"},
    {"nofile_attack_log", "time", "_id"},
    {"leak_info_log", "update_time", "_id"},
    {"incident_msg", "update_time", "incident_id"},
};

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

void append_range(bson_t* parent, const char* field, bool inclusive, int64_t from, int64_t upper) {
  bson_t range;
  bson_append_document_begin(parent, field, -1, &range);
  bson_append_int64(&range, inclusive ? "$gte" : "$gt", -1, from);
  bson_append_int64(&range, "$lt", -1, upper);
  bson_append_document_end(parent, &range);
}

// The filter of one page: from the lower bound when no key is held yet, else after the key.
void build_filter(const table& t, const std::string& last_id, int64_t last_time, int64_t upper,
                  bson_t* filter) {
  const bool leak = std::strcmp(t.name, "leak_info_log") == 0;
  if (std::strcmp(t.name, "domain_log") == 0) {
    bson_t exists;
    bson_append_document_begin(filter, "found_source", -1, &exists);
    bson_append_bool(&exists, "$exists", -1, true);
    bson_append_document_end(filter, &exists);
  }
  if (last_id.empty() || leak) {
    append_range(filter, t.time_field, last_id.empty(), last_time, upper);
  } else {
    bson_t branches, later, same, id_range;
    bson_append_array_begin(filter, "$or", -1, &branches);
    bson_append_document_begin(&branches, "0", -1, &later);
    append_range(&later, t.time_field, false, last_time, upper);
    bson_append_document_end(&branches, &later);
    bson_append_document_begin(&branches, "1", -1, &same);
    bson_append_int64(&same, t.time_field, -1, last_time);
    bson_append_document_begin(&same, t.id_field, -1, &id_range);
    bson_append_utf8(&id_range, "$gt", -1, last_id.c_str(), -1);
    bson_append_document_end(&same, &id_range);
    bson_append_document_end(&branches, &same);
    bson_append_array_end(filter, &branches);
  }
  if (std::strcmp(t.name, "incident_msg") == 0) bson_append_bool(filter, "merged", -1, false);
}

void build_opts(const table& t, int64_t limit, bson_t* opts) {
  bson_t projection, sort;
  bson_append_document_begin(opts, "projection", -1, &projection);
  for (const char* field : kProjection) bson_append_int64(&projection, field, -1, 1);
  bson_append_document_end(opts, &projection);
  bson_append_document_begin(opts, "sort", -1, &sort);
  bson_append_int64(&sort, t.time_field, -1, 1);
  bson_append_int64(&sort, t.id_field, -1, 1);
  bson_append_document_end(opts, &sort);
  bson_append_int64(opts, "limit", -1, limit);
}

// Only errors: the test server answers the driver's closing "endSessions" with a warning.
void errors_only(mongoc_log_level_t level, const char* domain, const char* message, void*) {
  if (level <= MONGOC_LOG_LEVEL_ERROR) mongoc_log_default_handler(level, domain, message, nullptr);
}

// Touches every field of a document once; returns the bytes of keys seen.
uint64_t touch(const bson_t* document) {
  uint64_t touched = 0;
  bson_iter_t iter;
  if (bson_iter_init(&iter, document)) {
    while (bson_iter_next(&iter)) touched += bson_iter_key_len(&iter);
  }
  return touched;
}

// The merge's read of the raw reports: reports of at least one attempt from `from` on, in
// (time, _id) order, pages of `limit`, resuming after the last (time, ObjectId) seen.
int64_t scan_reports(mongoc_client_t* client, int64_t from, int64_t limit, uint64_t& touched,
                     int& status) {
  mongoc_collection_t* collection =
      mongoc_client_get_collection(client, "tavrund_qmx", "anti_bfa_origin_log");
  int64_t last_time = from;
  bson_oid_t last_id;
  bool have_id = false;
  int64_t documents = 0;
  for (;;) {
    bson_t* filter = BCON_NEW("att_times", "{", "$gt", BCON_INT64(0), "}");
    if (!have_id) {
      BCON_APPEND(filter, "time", "{", "$gte", BCON_INT64(last_time), "}");
    } else {
      BCON_APPEND(filter, "$or", "[",                                        //
                  "{", "time", "{", "$gt", BCON_INT64(last_time), "}", "}",  //
                  "{", "time", BCON_INT64(last_time), "_id", "{", "$gt", BCON_OID(&last_id),
                  "}", "}", "]");
    }
    bson_t* opts = BCON_NEW("projection", "{", "duration", BCON_INT64(0), "msg", BCON_INT64(0),
                            "succ", BCON_INT64(0), "}",                                 //
                            "sort", "{", "time", BCON_INT64(1), "_id", BCON_INT64(1), "}",  //
                            "limit", BCON_INT64(limit));
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(collection, filter, opts, nullptr);
    const bson_t* document = nullptr;
    int64_t page = 0;
    while (mongoc_cursor_next(cursor, &document)) {
      touched += touch(document);
      bson_iter_t iter;
      if (bson_iter_init_find(&iter, document, "_id") && BSON_ITER_HOLDS_OID(&iter)) {
        bson_oid_copy(bson_iter_oid(&iter), &last_id);
        have_id = true;
      }
      if (bson_iter_init_find(&iter, document, "time")) last_time = bson_iter_as_int64(&iter);
      ++page;
    }
    bson_error_t error;
    if (mongoc_cursor_error(cursor, &error)) {
      std::fprintf(stderr, "floor_scan: anti_bfa_origin_log: %s\n", error.message);
      status = 1;
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(filter);
    documents += page;
    if (page < limit || status != 0) break;
  }
  mongoc_collection_destroy(collection);
  return documents;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: floor_scan URL NOW BFA_UPPER [FROM] [LIMIT] [REPORT_LIMIT]\n");
    return 2;
  }
  const int64_t now = std::strtoll(argv[2], nullptr, 10);
  const int64_t bfa_upper = std::strtoll(argv[3], nullptr, 10);
  const int64_t from = argc > 4 ? std::strtoll(argv[4], nullptr, 10) : 0;
  const int64_t limit = argc > 5 ? std::strtoll(argv[5], nullptr, 10) : 500000;
  const int64_t report_limit = argc > 6 ? std::strtoll(argv[6], nullptr, 10) : 100000;

  mongoc_init();
  mongoc_log_set_handler(errors_only, nullptr);
  mongoc_client_t* client = mongoc_client_new(argv[1]);
  if (client == nullptr) {
    std::fprintf(stderr, "floor_scan: bad URL\n");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  int64_t total = 0;
  uint64_t touched = 0;
  int status = 0;
  std::printf("{\"tables\": {");
  {
    const auto reports_start = std::chrono::steady_clock::now();
    total = scan_reports(client, std::max(from, bfa_upper), report_limit, touched, status);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - reports_start).count();
    std::printf("\"anti_bfa_origin_log\": [%" PRId64 ", %.3f]", total, seconds);
  }
  for (size_t i = 0; i < sizeof(kTables) / sizeof(kTables[0]); ++i) {
    const table& t = kTables[i];
    const bool incidents = std::strcmp(t.name, "incident_msg") == 0;
    const int64_t upper = incidents                                  ? now * 1000
                          : std::strcmp(t.name, "anti_bfa_log") == 0 ? bfa_upper
                                                                     : now;
    const auto table_start = std::chrono::steady_clock::now();
    mongoc_collection_t* collection = mongoc_client_get_collection(client, "tavrund_qmx", t.name);
    std::string last_id;
    int64_t last_time = incidents ? from * 1000 : from;
    int64_t documents = 0;
    for (;;) {
      bson_t filter = BSON_INITIALIZER;
      bson_t opts = BSON_INITIALIZER;
      build_filter(t, last_id, last_time, upper, &filter);
      build_opts(t, limit, &opts);
      mongoc_cursor_t* cursor =
          mongoc_collection_find_with_opts(collection, &filter, &opts, nullptr);
      const bson_t* document = nullptr;
      int64_t page = 0;
      while (mongoc_cursor_next(cursor, &document)) {
        // Touch every field once, and keep the key for the next page.
        bson_iter_t iter;
        if (bson_iter_init(&iter, document)) {
          while (bson_iter_next(&iter)) {
            touched += bson_iter_key_len(&iter);
            const char* key = bson_iter_key(&iter);
            if (std::strcmp(key, t.time_field) == 0) {
              last_time = bson_iter_as_int64(&iter);
            } else if (std::strcmp(key, t.id_field) == 0 && BSON_ITER_HOLDS_UTF8(&iter)) {
              uint32_t length = 0;
              const char* id = bson_iter_utf8(&iter, &length);
              last_id.assign(id, length);
            }
          }
        }
        ++page;
      }
      bson_error_t error;
      if (mongoc_cursor_error(cursor, &error)) {
        std::fprintf(stderr, "floor_scan: %s: %s\n", t.name, error.message);
        status = 1;
      }
      mongoc_cursor_destroy(cursor);
      bson_destroy(&opts);
      bson_destroy(&filter);
      documents += page;
      if (page < limit || status != 0) break;
    }
    mongoc_collection_destroy(collection);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - table_start).count();
    std::printf(", \"%s\": [%" PRId64 ", %.3f]", t.name, documents, seconds);
    total += documents;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("}, \"documents\": %" PRId64
              ", \"seconds\": %.3f, \"cpu\": %.3f, \"touched\": %" PRIu64 "}\n",
              total, seconds, cpu_seconds(), touched);
  mongoc_client_destroy(client);
  mongoc_cleanup();
  return status;
}
