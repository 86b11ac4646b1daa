// The floor of the benchmark: a bare libmongoc cursor scan of korveld's input with the
// filter, projection, sort and limit of its reads, paging by the same (time, id) key,
// touching every document once: the raw brute-force reports as the merge reads them, then
// the event tables with the daemon's own pass query (compare/pass_query.cpp). No reader of
// the same input can do with less from the server, so korveld's rebuild is measured
// against it.
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

#include "bfa/bfa_query.h"
#include "compare/pass_query.h"
#include "compare/table_catalogue.h"

namespace {

// The passes' order within one update cycle.
constexpr int32_t kPassOrder[] = {
    TABLE_VIRUS_FILE_LOG,    TABLE_ANTI_BFA_LOG,  TABLE_WEBSHELL_LOG, TABLE_DOMAIN_LOG,
    TABLE_NOFILE_ATTACK_LOG, TABLE_LEAK_INFO_LOG, TABLE_INCIDENT_MSG};

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

// The merge's read of the raw reports: reports of at least one attempt from `from` on and
// before `now`, in (time, _id) order, pages of `limit`, resuming after the last (time,
// ObjectId) seen.
int64_t scan_reports(mongoc_client_t* client, int64_t from, int64_t now, int64_t limit,
                     uint64_t& touched, int& status) {
  mongoc_collection_t* collection =
      mongoc_client_get_collection(client, "tavrund_qmx", "anti_bfa_origin_log");
  int64_t last_time = from;
  bson_oid_t last_id;
  bool have_id = false;
  int64_t documents = 0;
  for (;;) {
    // The merge's own query, after the last report read.
    char last_text[25] = {0};
    if (have_id) bson_oid_to_string(&last_id, last_text);
    bson_t* filter = bson_new();
    bson_t* opts = bson_new();
    build_merge_query(last_time, last_text, now, limit, filter, opts);
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
    total = scan_reports(client, std::max(from, bfa_upper), now, report_limit, touched, status);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - reports_start).count();
    std::printf("\"anti_bfa_origin_log\": [%" PRId64 ", %.3f]", total, seconds);
  }
  for (int32_t type : kPassOrder) {
    const pass_table& t = *find_pass_table(type);
    const char* name = get_table_name(type);
    const bool incidents = type == TABLE_INCIDENT_MSG;
    const int64_t upper = incidents ? now * 1000 : type == TABLE_ANTI_BFA_LOG ? bfa_upper : now;
    const auto table_start = std::chrono::steady_clock::now();
    mongoc_collection_t* collection = mongoc_client_get_collection(client, "tavrund_qmx", name);
    std::string last_id;
    int64_t last_time = incidents ? from * 1000 : from;
    int64_t documents = 0;
    for (;;) {
      bson_t filter = BSON_INITIALIZER;
      bson_t opts = BSON_INITIALIZER;
      build_pass_query(type, last_id, BSON_TYPE_UTF8, last_time, upper, limit, &filter, &opts);
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
        std::fprintf(stderr, "floor_scan: %s: %s\n", name, error.message);
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
    std::printf(", \"%s\": [%" PRId64 ", %.3f]", name, documents, seconds);
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
