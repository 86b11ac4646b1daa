// The connection base: client lifetime, the per-connection collection cache and the
// operations that run on cached handles (find, update, delete, count, insert, truncate).
#include "db/dbbase.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "db/client.h"
#include "db/owners.h"
#include "platform/log.h"

mongoc_db::mongoc_db() {
  // The driver's messages carry hosts and URL errors: they go through the log, scrubbed.
  install_driver_log();
  mongoc_init();
}

mongoc_db::~mongoc_db() {
  mongoc_cleanup();
}

dbbase::dbbase() {
  std::memset(url, 0, sizeof(url));
  std::memset(db_name, 0, sizeof(db_name));
}

dbbase::~dbbase() {
  close();
}

bool dbbase::connect() {
  close();
  client = new_mongo_client(url);
  if (client == nullptr) {
    KLOG(2, "mongodb failed to parse url, try later...");
    return false;
  }
  return true;
}

void dbbase::close() {
  // Handles belong to the client: they all go before it does.
  for (auto& entry : collections) mongoc_collection_destroy(entry.second);
  collections.clear();
  if (client != nullptr) {
    mongoc_client_destroy(client);
    client = nullptr;
  }
}

void dbbase::set_url(const char* new_url) {
  std::memset(url, 0, sizeof(url));
  std::strncpy(url, new_url, sizeof(url) - 1);
}

mongoc_collection_t* dbbase::get_collection(const char* name) {
  auto it = collections.find(name);
  if (it != collections.end()) return it->second;
  // The driver aborts on a null client, so that case never reaches it.
  mongoc_collection_t* handle =
      client != nullptr ? mongoc_client_get_collection(client, db_name, name) : nullptr;
  if (handle == nullptr) {
    KLOG(2, "Fail to get memory collection: %s, db_name: %s", name, db_name);
    return nullptr;
  }
  collections.emplace(name, handle);
  return handle;
}

bson_t* dbbase::new_document() {
  bson_t* doc = bson_new();
  if (doc == nullptr) {
    KLOG(0, "Out of memory.");
    exit(0);
  }
  return doc;
}

bool dbbase::find(const char* name, const bson_t* filter, const bson_t* opts,
                  mongoc_cursor_t** cursor) {
  mongoc_collection_t* handle = get_collection(name);
  if (handle == nullptr) return false;
  *cursor = mongoc_collection_find_with_opts(handle, filter, opts, nullptr);
  bson_error_t error;
  if (mongoc_cursor_error(*cursor, &error)) {
    KLOG(2, "Query %s error:%s", name, error.message);
    mongoc_cursor_destroy(*cursor);
    *cursor = nullptr;
    return false;
  }
  return true;
}

bool dbbase::update(const char* name, const bson_t* selector, const bson_t* update_document,
                    mongoc_update_flags_t flags) {
  mongoc_collection_t* handle = get_collection(name);
  if (handle == nullptr) return false;
  bson_error_t error;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  bool ok = mongoc_collection_update(handle, flags, selector, update_document, nullptr, &error);
#pragma GCC diagnostic pop
  if (!ok) {
    KLOG(2, "Fail to update %s info, error: %s", name, error.message);
    return false;
  }
  return true;
}

// Logs a failed write's reply as JSON, when it converts.
static void log_json_reply(const bson_t* reply) {
  if (s_log_level < 2) return;
  char* text = bson_as_json(reply, nullptr);
  if (text != nullptr) {
    KLOG(2, "json_reply: %s", text);
    bson_free(text);
  }
}

bool dbbase::delete_many(const char* name, const bson_t* selector, int64_t* deleted) {
  mongoc_collection_t* handle = get_collection(name);
  if (handle == nullptr) return false;
  bson_t reply;
  bson_error_t error;
  bool ok = mongoc_collection_delete_many(handle, selector, nullptr, &reply, &error);
  if (!ok) {
    KLOG(2, "Fail to delete, error: %s", error.message);
    log_json_reply(&reply);
  } else if (deleted != nullptr) {
    bson_iter_t iter;
    if (bson_iter_init_find(&iter, &reply, "deletedCount")) {
      // Servers answer with int32 or int64 here.
      *deleted = bson_iter_as_int64(&iter);
    } else {
      KLOG(2, "bson_iter_init_find failed, get %s failed", "deletedCount");
      ok = false;
    }
  }
  bson_destroy(&reply);
  return ok;
}

int64_t dbbase::count(const char* name, const bson_t* filter) {
  mongoc_collection_t* handle = get_collection(name);
  if (handle == nullptr) return -1;
  bson_t empty = BSON_INITIALIZER;
  bson_error_t error;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  int64_t n = mongoc_collection_count(handle, MONGOC_QUERY_NONE,
                                      filter != nullptr ? filter : &empty, 0, 0, nullptr, &error);
#pragma GCC diagnostic pop
  if (n < 0) {
    KLOG(2, "Fail to count, error: %s, nret = %ld", error.message, static_cast<long>(n));
    return -1;
  }
  return n;
}

bool dbbase::insert_many(const char* name, const bson_t** documents, size_t n) {
  bson_t reply;
  bool ok = insert_many(name, documents, n, &reply);
  bson_destroy(&reply);
  return ok;
}

bool dbbase::insert_many(const char* name, const bson_t** documents, size_t n, bson_t* reply) {
  mongoc_collection_t* handle = get_collection(name);
  if (handle == nullptr) {
    bson_init(reply);
    return false;
  }
  // Unordered: one rejected document (say, a duplicate key) does not stop the others.
  bson_t opts = BSON_INITIALIZER;
  BSON_APPEND_BOOL(&opts, "ordered", false);
  bson_error_t error;
  bool ok = mongoc_collection_insert_many(handle, documents, n, &opts, reply, &error);
  if (!ok) {
    KLOG(2, "Fail to insert, error: %s", error.message);
    log_json_reply(reply);
  }
  bson_destroy(&opts);
  return ok;
}

int dbbase::id_lookup(const char* name, const std::string& id) {
  // Built on first use and kept: this runs once per event.
  static const bson_t* const opts =
      BCON_NEW("projection", "{", "_id", BCON_INT32(1), "}", "limit", BCON_INT32(1));
  bson_t filter = BSON_INITIALIZER;
  bson_append_utf8(&filter, "_id", 3, id.data(), static_cast<int>(id.size()));
  mongoc_cursor_t* cursor = nullptr;
  int result = -1;
  if (find(name, &filter, opts, &cursor)) {
    const bson_t* doc;
    bson_error_t error;
    if (mongoc_cursor_next(cursor, &doc)) {
      result = 1;
    } else if (mongoc_cursor_error(cursor, &error)) {
      // A failed read is not "absent": callers would otherwise count the event twice.
      KLOG(2, "Query %s error:%s", name, error.message);
    } else {
      result = 0;
    }
    mongoc_cursor_destroy(cursor);
  }
  bson_destroy(&filter);
  return result;
}

// One chunk of truncate_collection: finds the `_id` at the chunk boundary and deletes
// everything up to it. False on any failure; `deleted` is 0 when the boundary is absent.
static bool delete_chunk(dbbase& db, const char* name, const bson_t* opts, int64_t* deleted) {
  *deleted = 0;
  bson_owner filter(dbbase::new_document());
  bson_owner selector(dbbase::new_document());
  cursor_owner cursor;
  if (!db.find(name, filter.get(), opts, cursor.address())) return false;

  const bson_t* doc;
  if (!mongoc_cursor_next(cursor.get(), &doc)) {
    bson_error_t error;
    // A read that failed must not pass for "fewer than one chunk left".
    if (mongoc_cursor_error(cursor.get(), &error)) {
      KLOG(2, "Query %s error:%s", name, error.message);
      return false;
    }
    return true;
  }

  bson_iter_t iter;
  if (!bson_iter_init_find(&iter, doc, "_id")) {
    KLOG(2, "bson_iter_init_find failed, get %s failed", "_id");
    return false;
  }
  if (!BSON_ITER_HOLDS_UTF8(&iter)) {
    KLOG(2, "unsupport %s type: %d", "_id", static_cast<int>(bson_iter_type(&iter)));
    return false;
  }
  uint32_t length = 0;
  const char* id = bson_iter_utf8(&iter, &length);
  if (length < 1) {
    KLOG(2, "bson_append_utf8 %s failed, len = %d", "_id", static_cast<int>(length));
    return false;
  }

  bson_t bound = BSON_INITIALIZER;
  if (!bson_append_utf8(&bound, "$lte", -1, id, static_cast<int>(length))) {
    KLOG(2, "bson_append_utf8 %s failed, len = %d", "_id", static_cast<int>(length));
    bson_destroy(&bound);
    return false;
  }
  bool appended = BSON_APPEND_DOCUMENT(selector.get(), "_id", &bound);
  bson_destroy(&bound);
  if (!appended) {
    KLOG(2, "BSON_APPEND_DOCUMENT %s failed", "_id");
    return false;
  }
  return db.delete_many(name, selector.get(), deleted);
}

bool dbbase::truncate_collection(const char* name, int64_t chunk) {
  // The document at position `chunk` in `_id` order marks the end of each chunk.
  if (chunk < 1) chunk = 1;
  if (chunk > INT32_MAX) chunk = INT32_MAX;
  bson_owner opts(BCON_NEW("projection", "{", "_id", BCON_INT32(1), "}", "sort", "{", "_id",
                           BCON_INT32(1), "}", "limit", BCON_INT32(1), "skip",
                           BCON_INT32(static_cast<int32_t>(chunk - 1))));
  int64_t total = 0;
  bool ok = false;
  if (!opts) {
    KLOG(2, "BCON_NEW failed, table = %s", name);
  } else {
    bson_owner everything(new_document());
    int64_t deleted = 0;
    bool failed = false;
    for (;;) {
      if (!delete_chunk(*this, name, opts.get(), &deleted)) {
        failed = true;
        break;
      }
      total += deleted;
      KLOG(4, "delete %s succ: %d", name, static_cast<int>(deleted));
      if (deleted <= 0) break;
    }
    // Fewer than one chunk is left: one delete takes the rest.
    if (!failed && delete_many(name, everything.get(), &deleted)) {
      total += deleted;
      KLOG(4, "delete %s succ: %d", name, static_cast<int>(deleted));
      ok = true;
    }
  }
  KLOG(3, "delete %s done: %d", name, static_cast<int>(total));
  return ok;
}

size_t dbbase::write_error_codes(const bson_t* reply, int32_t* codes, size_t n) {
  std::fill(codes, codes + n, 0);
  bson_iter_t iter;
  bson_iter_t errors;
  if (!bson_iter_init_find(&iter, reply, "writeErrors") || !BSON_ITER_HOLDS_ARRAY(&iter) ||
      !bson_iter_recurse(&iter, &errors)) {
    return 0;
  }
  size_t named = 0;
  while (bson_iter_next(&errors)) {
    bson_iter_t field;
    if (!BSON_ITER_HOLDS_DOCUMENT(&errors) || !bson_iter_recurse(&errors, &field)) continue;
    int64_t index = -1;
    int32_t code = -1;  // a rejection without a code is still a rejection
    while (bson_iter_next(&field)) {
      if (strcmp(bson_iter_key(&field), "index") == 0) index = bson_iter_as_int64(&field);
      if (strcmp(bson_iter_key(&field), "code") == 0) {
        code = static_cast<int32_t>(bson_iter_as_int64(&field));
        if (code == 0) code = -1;
      }
    }
    if (index < 0 || static_cast<uint64_t>(index) >= n) continue;
    codes[index] = code;
    ++named;
  }
  return named;
}
