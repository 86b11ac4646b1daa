// MongoDB connection base: one client for database "tavrund_qmx" and a cache of collection
// handles keyed by name, opened on first use and kept until close().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include <mongoc/mongoc.h>

// Ties mongoc_init/mongoc_cleanup to static construction and destruction. Every source
// unit that uses the database layer defines one static instance.
class mongoc_db {
 public:
  mongoc_db();
  virtual ~mongoc_db();
};

class dbbase {
 public:
  dbbase();
  virtual ~dbbase();
  dbbase(const dbbase&) = delete;
  dbbase& operator=(const dbbase&) = delete;

  // Replaces any client and cached handles by a new client for `url`. False (after
  // "mongodb failed to parse url, try later...") when the driver rejects the URL.
  bool connect();
  // Destroys every cached handle, then the client. Harmless when already closed.
  void close();

  // The cached handle of `name`, opened on first use; owned by this object (never
  // destroy it). Null, after "Fail to get memory collection: %s, db_name: %s", without
  // a client or when the driver gives none.
  mongoc_collection_t* get_collection(const char* name);

  // A new empty document; the caller destroys it with bson_destroy. Never null: an
  // allocation failure logs "Out of memory." and ends the process with status 0.
  static bson_t* new_document();

  // Cached-handle operations. Filters, options and documents stay the caller's.
  // find: true with a live cursor the caller destroys; on a cursor error the cursor is
  // destroyed and *cursor set to null; without a handle *cursor is left untouched.
  bool find(const char* name, const bson_t* filter, const bson_t* opts, mongoc_cursor_t** cursor);
  // Updates the first matching document (flags: MONGOC_UPDATE_NONE in every caller).
  bool update(const char* name, const bson_t* selector, const bson_t* update_document,
              mongoc_update_flags_t flags);
  // Deletes every match; `deleted` (may be null) receives the reply's "deletedCount".
  bool delete_many(const char* name, const bson_t* selector, int64_t* deleted);
  // Number of matching documents, or -1 on failure.
  int64_t count(const char* name, const bson_t* filter);
  // Unordered bulk insert of `n` documents; false when any document failed.
  bool insert_many(const char* name, const bson_t** documents, size_t n);
  // The same, handing out the server's reply: after a failure its "writeErrors" (each
  // with "index" and "code") tell which documents were rejected; without them the whole
  // command failed. `reply` is initialised on every path; the caller destroys it.
  bool insert_many(const char* name, const bson_t** documents, size_t n, bson_t* reply);
  // After a failed unordered insert of `n` documents: codes[i] = the error code of each
  // document that the reply's "writeErrors" names, 0 for the others. Returns how many it
  // names; 0 means the whole command failed and nothing is known to be written.
  static size_t write_error_codes(const bson_t* reply, int32_t* codes, size_t n);
  // 1 when the collection holds a document with that string `_id`, 0 when it holds
  // none, -1 when the look-up failed (including a read error on the first document).
  // Callers that must not mistake a failure for "absent" use this one.
  int id_lookup(const char* name, const std::string& id);
  // True only when the document exists (a failed look-up reads as false).
  bool id_exists(const char* name, const std::string& id) { return id_lookup(name, id) == 1; }

  // Deletes every document of `name`: chunks of `chunk` documents in `_id` order (string
  // ids only at chunk boundaries), then one final delete of the rest. True when every
  // step succeeded; documents deleted before a failure stay deleted.
  bool truncate_collection(const char* name, int64_t chunk = 1000000);

  // Replaces the configured URL (tools and tests; the daemon reads it at construction).
  void set_url(const char* url);
  const char* get_url() const { return url; }
  const char* get_db_name() const { return db_name; }
  mongoc_client_t* get_client() const { return client; }
  size_t cached_collection_count() const { return collections.size(); }

 protected:
  char url[256];
  char db_name[256];
  mongoc_client_t* client = nullptr;
  // std::less<> lets a lookup by const char* go without building a std::string.
  std::map<std::string, mongoc_collection_t*, std::less<>> collections;
};
