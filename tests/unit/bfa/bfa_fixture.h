// Shared fixture of the brute-force merge tests: a fresh test database, an empty progress
// store, default settings, and helpers that write raw reports and read merged records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bfa/bfa_merge.h"
#include "config/config.h"
#include "config/progress.h"
#include "db/dbconn.h"
#include "tests/unit/support/test_support.h"

namespace bfa_testing {

using testing_support::bson_ptr;
using testing_support::json;

// The ObjectId text whose value is `n`: oid(3) sorts after oid(2).
inline std::string oid(int n) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%024d", n);
  return buffer;
}

// A raw report of agent "7" against "ssh" from `src`; `more` adds fields (",\"a\":1").
inline std::string raw(int n, int64_t time, const std::string& src, const std::string& more = "") {
  return "{\"_id\":{\"$oid\":\"" + oid(n) + "\"},\"time\":" + std::to_string(time) +
         ",\"att_times\":3,\"agent_id\":\"7\",\"serv_type\":\"ssh\",\"att_src\":\"" + src + "\"" +
         more + "}";
}

// The merge key of a report of `agent`/`serv` from `src`.
inline std::string key_of(const std::string& src, const std::string& agent = "7",
                          const std::string& serv = "ssh") {
  bson_ptr doc = json("{\"agent_id\":\"" + agent + "\",\"serv_type\":\"" + serv +
                      "\",\"att_src\":\"" + src + "\"}");
  std::string key;
  EXPECT_TRUE(get_bfa_log_id(doc.get(), key));
  return key;
}

// Relaxed JSON of `doc`, the form the stored-record checks compare.
inline std::string to_json(const bson_t* doc) {
  char* text = bson_as_relaxed_extended_json(doc, nullptr);
  std::string out = text;
  bson_free(text);
  return out;
}

// The merged record `key` without its `_id`, as relaxed JSON; "" when there is none.
inline std::string stored(const std::string& key) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", "anti_bfa_log");
  bson_ptr filter(BCON_NEW("_id", BCON_UTF8(key.c_str())));
  bson_ptr opts(BCON_NEW("projection", "{", "_id", BCON_INT32(0), "}"));
  mongoc_cursor_t* cursor =
      mongoc_collection_find_with_opts(coll, filter.get(), opts.get(), nullptr);
  const bson_t* doc = nullptr;
  std::string out = mongoc_cursor_next(cursor, &doc) ? to_json(doc) : "";
  bson_error_t error;
  if (mongoc_cursor_error(cursor, &error)) ADD_FAILURE() << "find failed: " << error.message;
  mongoc_cursor_destroy(cursor);
  mongoc_collection_destroy(coll);
  return out;
}

// `expected` (extended JSON) in the same rendering as stored().
inline std::string expect_json(const std::string& expected) {
  return to_json(json(expected).get());
}

// The top-level fields of a JSON document, one per line in name order: compares documents
// whose field order the server may have changed (fields kept in place by $set).
inline std::string unordered(const std::string& doc_json) {
  bson_ptr doc = json(doc_json);
  std::vector<std::string> fields;
  bson_iter_t it;
  if (bson_iter_init(&it, doc.get())) {
    while (bson_iter_next(&it)) {
      bson_ptr one(bson_new());
      bson_append_iter(one.get(), nullptr, 0, &it);
      fields.push_back(to_json(one.get()));
    }
  }
  std::sort(fields.begin(), fields.end());
  std::string out;
  for (const std::string& f : fields) out += f + "\n";
  return out;
}

// Stores a merged record `key` with the fields of `fields_json` (a non-empty object).
inline void insert_merged(const std::string& key, const std::string& fields_json) {
  testing_support::insert_json("anti_bfa_log", "{\"_id\":\"" + key + "\"," + fields_json.substr(1));
}

// Stores one raw report (extended JSON).
inline void add_raw(const std::string& doc_json) {
  testing_support::insert_json("anti_bfa_origin_log", doc_json);
}

// One bulk insert of many documents (extended JSON) into `collection`.
inline void insert_all(const char* collection, const std::vector<std::string>& docs) {
  std::vector<bson_ptr> owned;
  // A plain array: bson_t's alignment attribute rules out standard containers of pointers.
  const bson_t** pointers = new const bson_t*[docs.size()];
  for (size_t i = 0; i < docs.size(); ++i) {
    owned.push_back(json(docs[i]));
    pointers[i] = owned.back().get();
  }
  mongoc_collection_t* coll =
      mongoc_client_get_collection(testing_support::test_client(), "tavrund_qmx", collection);
  bson_error_t error;
  if (!mongoc_collection_insert_many(coll, pointers, docs.size(), nullptr, nullptr, &error)) {
    ADD_FAILURE() << "bulk insert failed: " << error.message;
  }
  mongoc_collection_destroy(coll);
  delete[] pointers;
}

// One bulk insert of many raw reports.
inline void add_raws(const std::vector<std::string>& docs) {
  insert_all("anti_bfa_origin_log", docs);
}

// Entry 5 of the progress store as "time|id", or "none".
inline std::string progress() {
  auto it = g_last_keys.find(5);
  if (it == g_last_keys.end()) return "none";
  return std::to_string(it->second.last_update_time) + "|" + it->second.last_update_id;
}

inline void set_progress(int64_t time, const std::string& id) {
  g_last_keys[5] = last_key{id, time};
}

// Runs a database command of "tavrund_qmx" through the test client.
inline void run_command(const std::string& command_json) {
  mongoc_database_t* db = mongoc_client_get_database(testing_support::test_client(), "tavrund_qmx");
  bson_ptr command = json(command_json);
  bson_t reply;
  bson_error_t error;
  if (!mongoc_database_write_command_with_opts(db, command.get(), nullptr, &reply, &error)) {
    ADD_FAILURE() << "command failed: " << error.message << ": " << command_json;
  }
  bson_destroy(&reply);
  mongoc_database_destroy(db);
}

// A unique index on `field` of anti_bfa_log: the way the tests make merge writes collide.
inline void add_unique_index(const char* field) {
  run_command(std::string("{\"createIndexes\":\"anti_bfa_log\",\"indexes\":[{\"key\":{\"") + field +
              "\":1},\"name\":\"clash\",\"unique\":true}]}");
}
inline void drop_unique_index() {
  run_command(R"({"dropIndexes":"anti_bfa_log","index":"clash"})");
}

class bfa_test : public ::testing::Test {
 protected:
  void SetUp() override {
    g_last_keys.clear();
    g_update_settings = update_settings{};
    testing_support::connect_test_db();
  }

  testing_support::test_root root_;  // log level 4
};

}  // namespace bfa_testing
