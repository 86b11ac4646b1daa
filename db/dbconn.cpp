// The daemon's connection object: the global db_conn, the statistics client, query on a
// fresh handle, the typed field readers and the SHA-1 digest key.
#include "db/dbconn.h"

#include <cstring>

#include "db/client.h"
#include "platform/log.h"
#include "platform/secret.h"
#include "platform/sha1.h"
#include "platform/strfmt.h"
#include "platform/tick.h"

// Constructed before db_conn, so the driver is cleaned up only after db_conn has closed.
static mongoc_db s_mongoc_db;
dbconn db_conn;
mongoc_client_t* statistics_client = nullptr;

// Tick time of the last "no handle" message of query (shared by every call).
static uint32_t s_query_fail_log_time = 0;

dbconn::dbconn() {
  // Runs during static initialisation, before the log is open: messages go to stderr.
  char buffer[129];
  std::memset(buffer, 0, sizeof(buffer));
  int ret = get_business_value("mongo", "default_mongodb_url", 0, 1, buffer, 128);
  // Before anything can log it.
  hide_url_credentials(buffer);
  if (ret < 0) {
    KLOG(1, "get decrypt failed, ret is %d, url is %s", ret, buffer);
  }
  str_snprintf(url, sizeof(url), "%s", buffer);
  str_snprintf(db_name, sizeof(db_name), "%s", "tavrund_qmx");
}

dbconn::~dbconn() {
  close();
}

bool dbconn::query(const char* name, const bson_t* filter, const bson_t* opts,
                   mongoc_cursor_t** cursor) {
  // The driver aborts on a null client; without one there is simply no handle.
  mongoc_collection_t* handle =
      client != nullptr ? mongoc_client_get_collection(client, db_name, name) : nullptr;
  if (handle == nullptr) {
    // This can repeat for every document of a pass: one line per 5 s is enough.
    if (s_log_level >= 2) {
      uint32_t now = timer_ticks2ms(timer_get_ticks());
      if (static_cast<uint32_t>(now - s_query_fail_log_time) > 5000) {
        s_query_fail_log_time = now;
        KLOG(2, "fail to get collection: %s, db_name: %s", name, db_name);
      }
    }
    return false;
  }
  *cursor = mongoc_collection_find_with_opts(handle, filter, opts, nullptr);
  bool ok = true;
  bson_error_t error;
  if (mongoc_cursor_error(*cursor, &error)) {
    KLOG(2, "query %s error:%s", name, error.message);
    ok = false;
  }
  // The cursor keeps what it needs from the handle.
  mongoc_collection_destroy(handle);
  return ok;
}

bool dbconn::get_int64(const bson_t* document, const char* field, int64_t* value) {
  bson_iter_t iter;
  if (!bson_iter_init(&iter, document)) {
    KLOG(2, "bson_iter_init failed, get %s failed", field);
    return false;
  }
  if (!bson_iter_find(&iter, field)) return false;
  *value = bson_iter_as_int64(&iter);
  return true;
}

bool dbconn::get_int32(const bson_t* document, const char* field, int32_t* value) {
  int64_t wide = 0;
  if (!get_int64(document, field, &wide)) return false;
  // Keeps the low 32 bits, as the stored counters expect.
  *value = static_cast<int32_t>(wide);
  return true;
}

bool dbconn::get_string(const bson_t* document, const char* field, std::string& text) {
  bson_iter_t iter;
  if (!bson_iter_init(&iter, document)) {
    KLOG(2, "bson_iter_init failed, get %s failed", field);
    return false;
  }
  if (!bson_iter_find(&iter, field)) return false;
  if (!BSON_ITER_HOLDS_UTF8(&iter)) {
    KLOG(2, "get field %s failed", field);
    return false;
  }
  uint32_t length = 0;
  const char* bytes = bson_iter_utf8(&iter, &length);
  // assign reuses the caller's capacity: no allocation once the string has grown.
  text.assign(bytes, length);
  return true;
}

bool dbconn::get_doc_oid_str(const bson_t* document, const char* field, std::string& text) {
  bson_iter_t iter;
  if (!bson_iter_init(&iter, document)) {
    KLOG(2, "bson_iter_init failed, get %s failed", field);
    return false;
  }
  if (!bson_iter_find(&iter, field)) {
    KLOG(2, "bson_iter_find failed, get %s failed", field);
    return false;
  }
  if (!BSON_ITER_HOLDS_OID(&iter)) {
    KLOG(2, "get oid failed");
    return false;
  }
  char buffer[25];
  std::memset(buffer, 0, sizeof(buffer));
  bson_oid_to_string(bson_iter_oid(&iter), buffer);
  if (buffer[0] == '\0') {
    KLOG(2, "get_doc_oid_str failed");
    return false;
  }
  text.assign(buffer, 24);
  return true;
}

std::string dbconn::sha1_hex(const std::string& text) {
  sha1_context context;
  sha1_starts(&context);
  // Every byte counts, embedded NULs included.
  sha1_update(&context, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  unsigned char digest[20];
  sha1_finish(&context, digest);
  char buffer[41];
  std::memset(buffer, 0, sizeof(buffer));
  Hex_Encode(digest, 20, buffer, sizeof(buffer));
  return std::string(buffer);
}
