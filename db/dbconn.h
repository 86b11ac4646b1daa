// The daemon's database connection: query on a fresh handle, typed field readers and the
// digest key. db_conn is the one instance every module uses.
#pragma once

#include <cstdint>
#include <string>

#include "db/dbbase.h"

class dbconn : public dbbase {
 public:
  // Reads the URL from protected value "mongo"/"default_mongodb_url".
  dbconn();
  ~dbconn() override;

  // find on a fresh collection handle, released before returning. True with a cursor
  // that reports no error. False without a handle (*cursor untouched; logged at most once
  // per 5000 ms) or when the cursor reports an error (the cursor is still handed out and
  // the caller destroys it).
  bool query(const char* name, const bson_t* filter, const bson_t* opts, mongoc_cursor_t** cursor);

  // Readers of one top-level field; the output is written only when true is returned.
  // Integers: any type via bson_iter_as_int64 (doubles truncate, other types read as 0).
  static bool get_int64(const bson_t* document, const char* field, int64_t* value);
  static bool get_int32(const bson_t* document, const char* field, int32_t* value);
  // UTF-8 strings only; another type logs "get field %s failed".
  static bool get_string(const bson_t* document, const char* field, std::string& text);
  // 24 lower-case hexadecimal characters of an ObjectId field.
  static bool get_doc_oid_str(const bson_t* document, const char* field, std::string& text);
  // 40 hexadecimal characters of the SHA-1 of all bytes of `text`.
  static std::string sha1_hex(const std::string& text);
};

extern dbconn db_conn;
// Second client, used only by the threat statistics cache; null until start-up makes it.
extern mongoc_client_t* statistics_client;
