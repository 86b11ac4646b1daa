// query on a fresh handle, the typed field readers and the SHA-1 digest key.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"
#include "tests/unit/db/db_fixture.h"

using testing_support::bson_ptr;
using testing_support::insert_json;
using testing_support::json;

namespace {

using query_test = db_test;

TEST_F(query_test, returns_the_documents_and_leaves_no_cache_entry) {
  insert_json("q", R"({"_id": "a", "v": 1})");
  insert_json("q", R"({"_id": "b", "v": 2})");
  cursor_owner cursor;
  ASSERT_TRUE(db_conn.query("q", json(R"({"v": {"$gt": 1}})").get(),
                            json(R"({"sort": {"_id": 1}})").get(), cursor.address()));
  const bson_t* doc;
  std::string id;
  ASSERT_TRUE(mongoc_cursor_next(cursor.get(), &doc));
  ASSERT_TRUE(dbconn::get_string(doc, "_id", id));
  EXPECT_EQ(id, "b");
  EXPECT_FALSE(mongoc_cursor_next(cursor.get(), &doc));
  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
}

TEST_F(query_test, a_failed_cursor_is_still_handed_out) {
  mongoc_cursor_t* cursor = nullptr;
  // An invalid read concern makes the driver fail the cursor as soon as it is made.
  EXPECT_FALSE(db_conn.query("q", json("{}").get(), json(R"({"readConcern": 1})").get(), &cursor));
  ASSERT_NE(cursor, nullptr);
  bson_error_t error;
  EXPECT_TRUE(mongoc_cursor_error(cursor, &error));
  mongoc_cursor_destroy(cursor);
  EXPECT_TRUE(root.log_contains("query q error:"));
}

TEST_F(query_test, missing_handle_is_logged_at_most_once_per_five_seconds) {
  db_conn.close();
  const std::string message = "fail to get collection: q, db_name: tavrund_qmx";
  // A first call settles the limiter whatever earlier tests left in it: 5001 ms later
  // the next call logs for certain.
  const uint32_t start = 4000000000u;
  timer_set_manual(true, start);
  mongoc_cursor_t* cursor = nullptr;
  db_conn.query("q", nullptr, nullptr, &cursor);

  struct {
    uint32_t after;  // ms since `start`
    bool logs;
  } steps[] = {
      {5001, true},      {5002, false},
      {9000, false},     {10001, false},  // exactly 5000 ms after the last line: still quiet
      {10002, true},     {10003, false},
      {300000000, true},  // far later, past the 32-bit wrap of the tick clock
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.after);
    root.log_mark();
    timer_set_manual(true, start + step.after);
    mongoc_cursor_t* sentinel = reinterpret_cast<mongoc_cursor_t*>(0x1);
    cursor = sentinel;
    EXPECT_FALSE(db_conn.query("q", nullptr, nullptr, &cursor));
    EXPECT_EQ(cursor, sentinel);
    EXPECT_EQ(root.log_count(message), step.logs ? 1 : 0);
  }
}

TEST_F(query_test, the_limit_is_skipped_when_the_level_hides_the_message) {
  db_conn.close();
  timer_set_manual(true, 1000000u);
  mongoc_cursor_t* cursor = nullptr;
  db_conn.query("q", nullptr, nullptr, &cursor);  // settle the limiter
  // A call that the level silences must not use up the next line's turn.
  timer_set_manual(true, 1010000u);
  s_log_level = 1;
  db_conn.query("q", nullptr, nullptr, &cursor);
  s_log_level = 4;
  root.log_mark();
  timer_set_manual(true, 1010001u);
  db_conn.query("q", nullptr, nullptr, &cursor);
  EXPECT_EQ(root.log_count("fail to get collection: q"), 1);
}

// The readers need no server; they only need the log.
class reader_test : public ::testing::Test {
 protected:
  void SetUp() override { root.log_mark(); }

  testing_support::test_root root{4};
  bson_ptr doc = json(R"({
      "i32": 7, "neg": -7, "dbl": 7.9, "ndbl": -7.9, "str": "abc", "empty": "",
      "big": {"$numberLong": "4294967301"}, "yes": true,
      "oid": {"$oid": "65A0BC0000000000000000FF"}, "Case": 1})");
};

TEST_F(reader_test, integers_convert_like_the_driver) {
  struct {
    const char* field;
    bool found;
    int64_t as64;
    int32_t as32;
  } cases[] = {
      {"i32", true, 7, 7},
      {"neg", true, -7, -7},
      {"dbl", true, 7, 7},  // doubles truncate toward zero
      {"ndbl", true, -7, -7},
      {"str", true, 0, 0},  // other types read as 0 and still count as found
      {"yes", true, 1, 1},
      {"big", true, 4294967301LL, 5},  // 2^32 + 5 keeps its low 32 bits
      {"missing", false, 0, 0},
      {"case", false, 0, 0},  // names match exactly
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    int64_t v64 = -99;
    int32_t v32 = -99;
    EXPECT_EQ(dbconn::get_int64(doc.get(), c.field, &v64), c.found);
    EXPECT_EQ(dbconn::get_int32(doc.get(), c.field, &v32), c.found);
    EXPECT_EQ(v64, c.found ? c.as64 : -99);
    EXPECT_EQ(v32, c.found ? c.as32 : -99);
  }
  EXPECT_EQ(root.log_text(), "") << "absent fields are not an error";
}

TEST_F(reader_test, strings_only_from_string_fields) {
  std::string text = "untouched";
  EXPECT_TRUE(dbconn::get_string(doc.get(), "str", text));
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(dbconn::get_string(doc.get(), "empty", text));
  EXPECT_EQ(text, "");

  text = "untouched";
  EXPECT_FALSE(dbconn::get_string(doc.get(), "missing", text));
  EXPECT_EQ(root.log_text(), "");
  EXPECT_FALSE(dbconn::get_string(doc.get(), "i32", text));
  EXPECT_TRUE(root.log_contains("get field i32 failed"));
  EXPECT_EQ(text, "untouched");

  // The length recorded in the document counts, not the first NUL.
  bson_t with_nul = BSON_INITIALIZER;
  bson_append_utf8(&with_nul, "s", 1, "a\0b", 3);
  EXPECT_TRUE(dbconn::get_string(&with_nul, "s", text));
  EXPECT_EQ(text, std::string("a\0b", 3));
  bson_destroy(&with_nul);
}

TEST_F(reader_test, object_ids_as_lower_case_text) {
  std::string text = "untouched";
  EXPECT_TRUE(dbconn::get_doc_oid_str(doc.get(), "oid", text));
  EXPECT_EQ(text, "65a0bc0000000000000000ff");

  struct {
    const char* field;
    const char* message;
  } failures[] = {
      {"missing", "bson_iter_find failed, get missing failed"},
      {"str", "get oid failed"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.field);
    text = "untouched";
    root.log_mark();
    EXPECT_FALSE(dbconn::get_doc_oid_str(doc.get(), f.field, text));
    EXPECT_TRUE(root.log_contains(f.message));
    EXPECT_EQ(text, "untouched");
  }
}

TEST_F(reader_test, sha1_known_answers) {
  struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dbconn::sha1_hex(c.text), c.digest);
  }
  // Bytes after an embedded NUL change the key.
  EXPECT_NE(dbconn::sha1_hex(std::string("a\0b", 3)), dbconn::sha1_hex(std::string("a\0c", 3)));
  EXPECT_NE(dbconn::sha1_hex(std::string("a\0b", 3)), dbconn::sha1_hex("a"));
}

using inserted_id_test = db_test;

TEST_F(inserted_id_test, driver_generated_id_reads_as_24_hex_characters) {
  bson_ptr fresh = json(R"({"k": 1})");
  const bson_t* docs[] = {fresh.get()};
  // insert_many leaves the caller's document alone; the driver adds the _id on the wire.
  ASSERT_TRUE(db_conn.insert_many("oids", docs, 1));
  cursor_owner cursor;
  ASSERT_TRUE(db_conn.find("oids", json("{}").get(), nullptr, cursor.address()));
  const bson_t* stored;
  ASSERT_TRUE(mongoc_cursor_next(cursor.get(), &stored));
  std::string text;
  ASSERT_TRUE(dbconn::get_doc_oid_str(stored, "_id", text));
  EXPECT_EQ(text.size(), 24u);
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
}

}  // namespace
