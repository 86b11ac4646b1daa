// Connection lifetime, the collection cache and the cached-handle operations, against the
// live test server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/client.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"
#include "platform/secret.h"
#include "tests/unit/db/db_fixture.h"

using testing_support::bson_ptr;
using testing_support::count_docs;
using testing_support::insert_json;
using testing_support::json;

namespace {

// A filter the server rejects once it has documents to match against.
const char* const kBadFilter = R"({"a": {"$nosuchop": 1}})";

using connection_test = db_test;

TEST_F(connection_test, operations_on_one_name_share_one_handle) {
  mongoc_collection_t* first = db_conn.get_collection("one");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(db_conn.get_collection("one"), first);
  EXPECT_EQ(db_conn.count("one", json("{}").get()), 0);
  bson_ptr doc = json(R"({"_id": "x"})");
  const bson_t* docs[] = {doc.get()};
  EXPECT_TRUE(db_conn.insert_many("one", docs, 1));
  EXPECT_EQ(db_conn.id_lookup("one", "x"), 1);
  EXPECT_EQ(db_conn.cached_collection_count(), 1u);
  EXPECT_EQ(db_conn.get_collection("one"), first);
}

TEST_F(connection_test, close_releases_every_handle_and_reconnect_starts_empty) {
  for (int i = 0; i < 10; ++i) {
    std::string name = "c" + std::to_string(i);
    ASSERT_EQ(db_conn.count(name.c_str(), json("{}").get()), 0) << name;
  }
  EXPECT_EQ(db_conn.cached_collection_count(), 10u);

  db_conn.close();
  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
  EXPECT_EQ(db_conn.get_client(), nullptr);
  db_conn.close();  // already closed: nothing left to release
  EXPECT_EQ(db_conn.get_client(), nullptr);

  ASSERT_TRUE(db_conn.connect());
  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
  EXPECT_EQ(db_conn.count("c0", json("{}").get()), 0);
  EXPECT_EQ(db_conn.cached_collection_count(), 1u);

  // connect on a live connection replaces the client and drops the old handles.
  ASSERT_TRUE(db_conn.connect());
  EXPECT_NE(db_conn.get_client(), nullptr);
  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
}

TEST_F(connection_test, without_a_client_every_cached_operation_fails_and_caches_nothing) {
  db_conn.close();
  EXPECT_EQ(db_conn.get_collection("gone"), nullptr);

  bson_ptr filter = json("{}");
  mongoc_cursor_t* sentinel = reinterpret_cast<mongoc_cursor_t*>(0x1);
  mongoc_cursor_t* cursor = sentinel;
  EXPECT_FALSE(db_conn.find("gone", filter.get(), nullptr, &cursor));
  EXPECT_EQ(cursor, sentinel) << "find must leave the cursor alone without a handle";
  EXPECT_FALSE(db_conn.update("gone", filter.get(), json(R"({"$set": {"a": 1}})").get(),
                              MONGOC_UPDATE_NONE));
  int64_t deleted = 77;
  EXPECT_FALSE(db_conn.delete_many("gone", filter.get(), &deleted));
  EXPECT_EQ(deleted, 77);
  EXPECT_EQ(db_conn.count("gone", filter.get()), -1);
  const bson_t* docs[] = {filter.get()};
  EXPECT_FALSE(db_conn.insert_many("gone", docs, 1));
  EXPECT_EQ(db_conn.id_lookup("gone", "x"), -1);
  EXPECT_FALSE(db_conn.id_exists("gone", "x"));

  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
  // Not rate-limited: one line per failing call (get_collection plus seven operations).
  EXPECT_EQ(root.log_count("Fail to get memory collection: gone, db_name: tavrund_qmx"), 8);
}

TEST_F(connection_test, an_unusable_url_fails_to_connect) {
  db_conn.set_url("");
  EXPECT_FALSE(db_conn.connect());
  EXPECT_TRUE(root.log_contains("mongodb failed to parse url, try later..."));
  EXPECT_EQ(db_conn.get_client(), nullptr);
  EXPECT_EQ(db_conn.cached_collection_count(), 0u);
}

TEST_F(connection_test, construction_reads_the_protected_url) {
  // Nothing stored yet: the failure is logged and the URL stays empty.
  {
    dbconn unset;
    EXPECT_STREQ(unset.get_url(), "");
    EXPECT_STREQ(unset.get_db_name(), "tavrund_qmx");
    EXPECT_TRUE(root.log_contains("get decrypt failed, ret is -"));
    EXPECT_FALSE(unset.connect());
  }
  const std::string url = testing_support::test_mongo_url();
  ASSERT_EQ(set_business_value("mongo", "default_mongodb_url", url.c_str(), url.size()), 0);
  root.log_mark();
  dbconn stored;
  EXPECT_EQ(stored.get_url(), url);
  EXPECT_STREQ(stored.get_db_name(), "tavrund_qmx");
  EXPECT_FALSE(root.log_contains("get decrypt failed"));
  EXPECT_TRUE(stored.connect());
  EXPECT_EQ(stored.count("anything", json("{}").get()), 0);
}

// A password with every character that needs escaping, and its pieces: none of them may
// show in the log, whole or in part.
const char* const kPassword = "Qx7:Zk9@Wv3%Jm5/Hy8";
const char* const kEscaped = "Qx7%3AZk9%40Wv3%25Jm5%2FHy8";
const char* const kPieces[] = {"Qx7", "Zk9", "Wv3", "Jm5", "Hy8"};

// The test server's URL with user "korvel" and `password` (as written) added; FerretDB
// takes any credentials through PLAIN.
std::string url_with_password(const std::string& password, const std::string& base) {
  std::string url = base;
  url.insert(url.find("://") + 3, "korvel:" + password + "@");
  url += url.find('?') == std::string::npos ? "?" : "&";
  return url + "authMechanism=PLAIN&serverSelectionTimeoutMS=1000";
}

void expect_no_piece(const std::string& text) {
  for (const char* piece : kPieces) EXPECT_EQ(text.find(piece), std::string::npos) << text;
}

TEST(url_check, tells_urls_the_driver_reads_one_way_from_the_others) {
  const struct {
    const char* url;
    bool unambiguous;
  } cases[] = {
      {"mongodb://127.0.0.1:27017/", true},
      {"mongodb://u:p@127.0.0.1:27017/db?authSource=admin", true},
      {"mongodb://u:Qx7%3AZk9%40Wv3%25Jm5%2FHy8@h1,h2:27018/?replicaSet=r", true},
      {"mongodb+srv://u:p@cluster.example.com/", true},
      {"mongodb://user%40REALM@h/?authMechanism=GSSAPI", true},  // a user name alone
      {"mongodb://u:p@%2Ftmp%2Fmongodb-27017.sock", true},
      {"mongodb://u:p@h", true},
      {"this is not a url", true},  // not ours to judge: the driver refuses it
      {"", true},
      {"mongodb://u:pa:ss@h/", false},  // a ':' in the password
      {"mongodb://u:pa@ss@h/", false},  // an '@' in it: the rest reads as the host
      {"mongodb://u:pa/ss@h/", false},  // a '/' ends the host list early
      {"mongodb://u:pa%ss@h/", false},  // a '%' that starts no escape
      {"mongodb://u:pa%4@h/", false},
      {"mongodb://u:pa?ss@h/", false},  // other reserved characters
      {"mongodb://u:pa#ss@h/", false},
      {"mongodb://u:p[a]@h/", false},
      {"mongodb://us/er:p@h/", false},  // the same in the user name
      {"mongodb://u@x:p@h/", false},
      {"mongodb://h/db?appName=a@b", false},  // an '@' after the host list: must be %40
      {"mongodb+srv://u:a@b@c.example.com/", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mongo_url_unambiguous(c.url), c.unambiguous) << c.url;
  }
  EXPECT_TRUE(mongo_url_unambiguous(nullptr));
}

TEST_F(connection_test, an_ambiguous_url_is_refused_before_the_driver_sees_it) {
  for (const std::string& password :
       {std::string(kPassword), std::string("Qx7Zk9@Wv3Jm5Hy8"), std::string("Qx7Zk9:Wv3Jm5Hy8")}) {
    db_conn.set_url(url_with_password(password, testing_support::test_mongo_url()).c_str());
    root.log_mark();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_conn.connect()) << password;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(db_conn.get_client(), nullptr);
    EXPECT_TRUE(root.log_contains("the database URL can be read in more than one way"))
        << root.log_text();
    EXPECT_TRUE(root.log_contains("mongodb failed to parse url, try later..."));
    EXPECT_FALSE(root.log_contains("mongoc ")) << "the driver never parsed it";
    expect_no_piece(root.log_text());
    expect_no_piece(err);
  }
}

TEST_F(connection_test, an_escaped_password_works_and_never_reaches_the_log) {
  db_conn.set_url(url_with_password(kEscaped, testing_support::test_mongo_url()).c_str());
  ASSERT_TRUE(db_conn.connect());
  EXPECT_EQ(db_conn.count("anything", json("{}").get()), 0) << root.log_text();
  // What the daemon might print of it, and what a driver error would quote.
  KLOG(2, "url is %s, password %s, decoded %s", db_conn.get_url(), kEscaped, kPassword);
  EXPECT_TRUE(root.log_contains("url is mongodb://***@127.0.0.1:")) << root.log_text();
  EXPECT_TRUE(root.log_contains("password ***, decoded ***")) << root.log_text();

  // Unreachable: the driver's errors name the host and nothing of the credentials.
  db_conn.set_url(url_with_password(kEscaped, "mongodb://127.0.0.1:1/").c_str());
  ASSERT_TRUE(db_conn.connect());
  EXPECT_EQ(db_conn.count("anything", json("{}").get()), -1);
  EXPECT_TRUE(root.log_contains("Fail to count, error: ")) << root.log_text();
  expect_no_piece(root.log_text());
}

TEST_F(connection_test, construction_hides_the_protected_urls_password) {
  const std::string url = url_with_password(kEscaped, testing_support::test_mongo_url());
  ASSERT_EQ(set_business_value("mongo", "default_mongodb_url", url.c_str(), url.size()), 0);
  dbconn stored;
  EXPECT_EQ(stored.get_url(), url);
  KLOG(2, "leak %s %s", kPassword, kEscaped);
  EXPECT_TRUE(root.log_contains("leak *** ***")) << root.log_text();
}

TEST(driver_log, messages_go_to_the_log_at_mapped_levels_and_never_to_stderr) {
  const struct {
    mongoc_log_level_t driver;
    int ours;  // -1: never logged
  } cases[] = {
      {MONGOC_LOG_LEVEL_ERROR, 1},   {MONGOC_LOG_LEVEL_CRITICAL, 1}, {MONGOC_LOG_LEVEL_WARNING, 2},
      {MONGOC_LOG_LEVEL_MESSAGE, 3}, {MONGOC_LOG_LEVEL_INFO, 4},     {MONGOC_LOG_LEVEL_DEBUG, 4},
      {MONGOC_LOG_LEVEL_TRACE, -1},
  };
  testing_support::test_root root(3);
  for (const auto& c : cases) EXPECT_EQ(driver_log_level(c.driver), c.ours) << c.driver;
  for (int level = 0; level <= 4; ++level) {
    s_log_level = level;
    for (const auto& c : cases) {
      root.log_mark();
      testing::internal::CaptureStderr();
      mongoc_log(c.driver, "test", "message %d\nsecond line", static_cast<int>(c.driver));
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      std::string expected = " [" + std::to_string(c.ours) + "] client.cpp:";
      bool shown = c.ours >= 0 && c.ours <= level;
      EXPECT_EQ(root.log_contains(expected), shown) << level << " " << c.driver;
      EXPECT_EQ(
          root.log_contains("mongoc test: message " + std::to_string(c.driver) + " second line\n"),
          shown)
          << root.log_text();
    }
  }
  // The driver's own complaint about a URL goes the same way.
  s_log_level = 3;
  root.log_mark();
  testing::internal::CaptureStderr();
  EXPECT_EQ(mongoc_client_new("this is not a url"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(root.log_contains("[2] client.cpp:")) << root.log_text();
  EXPECT_TRUE(root.log_contains("mongoc client: Error parsing URI")) << root.log_text();
}

using operations_test = db_test;

TEST_F(operations_test, find_with_a_failed_cursor_returns_false_and_no_cursor) {
  insert_json("f", R"({"_id": "a"})");
  mongoc_cursor_t* cursor = nullptr;
  // An invalid read concern makes the driver fail the cursor as soon as it is made.
  EXPECT_FALSE(db_conn.find("f", json("{}").get(), json(R"({"readConcern": 1})").get(), &cursor));
  EXPECT_EQ(cursor, nullptr);
  EXPECT_TRUE(root.log_contains("Query f error:"));

  cursor_owner ok;
  ASSERT_TRUE(db_conn.find("f", json("{}").get(), nullptr, ok.address()));
  const bson_t* doc;
  EXPECT_TRUE(mongoc_cursor_next(ok.get(), &doc));
}

TEST_F(operations_test, update_changes_the_first_match_only_and_never_inserts) {
  insert_json("u", R"({"_id": "a", "k": 1, "v": 0})");
  insert_json("u", R"({"_id": "b", "k": 1, "v": 0})");
  bson_ptr set = json(R"({"$set": {"v": 5}})");
  EXPECT_TRUE(db_conn.update("u", json(R"({"k": 1})").get(), set.get(), MONGOC_UPDATE_NONE));
  EXPECT_EQ(count_docs("u", R"({"v": 5})"), 1);
  EXPECT_TRUE(db_conn.update("u", json(R"({"k": 2})").get(), set.get(), MONGOC_UPDATE_NONE));
  EXPECT_EQ(count_docs("u"), 2);

  EXPECT_FALSE(db_conn.update("u", json(kBadFilter).get(), set.get(), MONGOC_UPDATE_NONE));
  EXPECT_TRUE(root.log_contains("Fail to update u info, error: "));
}

TEST_F(operations_test, delete_many_reports_what_it_deleted) {
  struct {
    const char* selector;
    bool want_count;
    int64_t expected;
  } cases[] = {
      {R"({"k": 1})", true, 2},
      {R"({"k": 9})", true, 0},
      {R"({"k": 2})", false, -5},  // no count asked: the output is not touched
  };
  insert_json("d", R"({"_id": "a", "k": 1})");
  insert_json("d", R"({"_id": "b", "k": 1})");
  insert_json("d", R"({"_id": "c", "k": 2})");
  for (const auto& c : cases) {
    int64_t deleted = -5;
    EXPECT_TRUE(db_conn.delete_many("d", json(c.selector).get(), c.want_count ? &deleted : nullptr))
        << c.selector;
    EXPECT_EQ(deleted, c.expected) << c.selector;
  }
  EXPECT_EQ(count_docs("d"), 0);
}

TEST_F(operations_test, delete_many_failure_logs_error_and_reply) {
  insert_json("d", R"({"_id": "a", "a": 1})");
  int64_t deleted = 33;
  EXPECT_FALSE(db_conn.delete_many("d", json(kBadFilter).get(), &deleted));
  EXPECT_EQ(deleted, 33);
  EXPECT_TRUE(root.log_contains("Fail to delete, error: "));
  EXPECT_TRUE(root.log_contains("json_reply: {"));
  EXPECT_EQ(count_docs("d"), 1);
}

TEST_F(operations_test, count_is_zero_for_an_empty_collection_and_minus_one_on_error) {
  EXPECT_EQ(db_conn.count("never_written", json("{}").get()), 0);
  insert_json("n", R"({"_id": "a", "a": 1})");
  insert_json("n", R"({"_id": "b", "a": 2})");
  EXPECT_EQ(db_conn.count("n", json("{}").get()), 2);
  EXPECT_EQ(db_conn.count("n", json(R"({"a": 2})").get()), 1);
  EXPECT_EQ(db_conn.count("n", json(kBadFilter).get()), -1);
  EXPECT_TRUE(root.log_contains("Fail to count, error: "));
  EXPECT_TRUE(root.log_contains(", nret = -1"));
}

TEST_F(operations_test, unordered_insert_keeps_going_past_a_duplicate) {
  insert_json("i", R"({"_id": "b", "old": true})");
  bson_ptr a = json(R"({"_id": "a"})");
  bson_ptr b = json(R"({"_id": "b"})");
  bson_ptr c = json(R"({"_id": "c"})");
  const bson_t* docs[] = {a.get(), b.get(), c.get()};
  EXPECT_FALSE(db_conn.insert_many("i", docs, 3));
  EXPECT_EQ(count_docs("i"), 3);
  EXPECT_EQ(count_docs("i", R"({"old": true})"), 1);
  EXPECT_TRUE(root.log_contains("Fail to insert, error: "));
  EXPECT_TRUE(root.log_contains("json_reply: {"));

  root.log_mark();
  bson_ptr d = json(R"({"_id": "d"})");
  const bson_t* more[] = {d.get()};
  EXPECT_TRUE(db_conn.insert_many("i", more, 1));
  EXPECT_FALSE(root.log_contains("Fail to insert"));
}

// "index" and "code" of each entry of a reply's writeErrors, in order.
std::vector<std::pair<int64_t, int64_t>> write_errors(const bson_t* reply) {
  std::vector<std::pair<int64_t, int64_t>> out;
  bson_iter_t iter;
  bson_iter_t errors;
  if (!bson_iter_init_find(&iter, reply, "writeErrors") || !bson_iter_recurse(&iter, &errors)) {
    return out;
  }
  while (bson_iter_next(&errors)) {
    bson_iter_t field;
    int64_t index = -1;
    int64_t code = -1;
    if (bson_iter_recurse(&errors, &field) && bson_iter_find(&field, "index")) {
      index = bson_iter_as_int64(&field);
    }
    if (bson_iter_recurse(&errors, &field) && bson_iter_find(&field, "code")) {
      code = bson_iter_as_int64(&field);
    }
    out.emplace_back(index, code);
  }
  return out;
}

// The reply tells the written documents from the rejected ones by their position.
TEST_F(operations_test, insert_reply_names_each_rejected_document) {
  const struct {
    const char* name;
    std::vector<const char*> existing;
    bool ok;
    std::vector<std::pair<int64_t, int64_t>> errors;
  } cases[] = {
      {"all written", {}, true, {}},
      {"middle one taken", {"b"}, false, {{1, 11000}}},
      {"first and last taken", {"a", "c"}, false, {{0, 11000}, {2, 11000}}},
  };
  bson_ptr a = json(R"({"_id": "a"})");
  bson_ptr b = json(R"({"_id": "b"})");
  bson_ptr c = json(R"({"_id": "c"})");
  const bson_t* docs[] = {a.get(), b.get(), c.get()};
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    testing_support::drop_test_database();
    for (const char* id : t.existing) insert_json("r", std::string(R"({"_id": ")") + id + R"("})");
    root.log_mark();
    bson_t reply;
    EXPECT_EQ(db_conn.insert_many("r", docs, 3, &reply), t.ok);
    EXPECT_EQ(write_errors(&reply), t.errors);
    bson_destroy(&reply);
    EXPECT_EQ(count_docs("r"), 3);
    EXPECT_EQ(root.log_count("Fail to insert, error: "), t.ok ? 0 : 1);
    EXPECT_EQ(root.log_count("json_reply: {"), t.ok ? 0 : 1);
  }

  // Without a handle the reply is still initialised (and names nothing).
  db_conn.close();
  bson_t reply;
  EXPECT_FALSE(db_conn.insert_many("r", docs, 3, &reply));
  EXPECT_TRUE(bson_empty(&reply));
  bson_destroy(&reply);
}

TEST_F(operations_test, id_lookup_tells_found_absent_and_failed_apart) {
  insert_json("ids", R"({"_id": "42virus_file_log", "x": 1})");
  EXPECT_EQ(db_conn.id_lookup("ids", "42virus_file_log"), 1);
  EXPECT_TRUE(db_conn.id_exists("ids", "42virus_file_log"));
  EXPECT_EQ(db_conn.id_lookup("ids", "43virus_file_log"), 0);
  EXPECT_FALSE(db_conn.id_exists("ids", "43virus_file_log"));
  EXPECT_EQ(db_conn.id_lookup("empty_coll", "42virus_file_log"), 0);

  // A server that cannot be reached fails while the first document is read.
  testing_support::connect_dead_server();
  root.log_mark();
  EXPECT_EQ(db_conn.id_lookup("ids", "42virus_file_log"), -1);
  EXPECT_FALSE(db_conn.id_exists("ids", "42virus_file_log"));
  EXPECT_TRUE(root.log_contains("Query ids error:"));
}

// Numbers of the "delete <name> succ: N" lines, in order, and the "done" total.
struct truncate_log {
  std::vector<int> chunks;
  int done = -1;
};

truncate_log parse_truncate_log(const std::string& text, const std::string& name) {
  truncate_log out;
  const std::string succ = "delete " + name + " succ: ";
  for (size_t pos = text.find(succ); pos != std::string::npos; pos = text.find(succ, pos + 1)) {
    out.chunks.push_back(std::atoi(text.c_str() + pos + succ.size()));
  }
  const std::string done = "delete " + name + " done: ";
  size_t pos = text.find(done);
  if (pos != std::string::npos) out.done = std::atoi(text.c_str() + pos + done.size());
  return out;
}

void insert_string_ids(const char* collection, int n) {
  for (int i = 0; i < n; ++i) {
    char id[16];
    snprintf(id, sizeof(id), "id%04d", i);
    insert_json(collection,
                std::string(R"({"_id": ")") + id + R"(", "n": )" + std::to_string(i) + "}");
  }
}

using truncate_test = db_test;

TEST_F(truncate_test, deletes_in_chunks_then_the_rest) {
  struct {
    int documents;
    int chunk;
    std::vector<int> chunks;  // logged counts: chunks, the zero-count probe, the final delete
  } cases[] = {
      {0, 3, {0, 0}},        // nothing there: the probe finds no boundary
      {2, 3, {0, 2}},        // less than one chunk: only the final delete removes
      {8, 3, {3, 3, 0, 2}},  // two chunks, then the rest
      {6, 3, {3, 3, 0, 0}},  // an exact multiple leaves nothing for the final delete
      {4, 1, {1, 1, 1, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.documents << " documents, chunk " << c.chunk);
    testing_support::drop_test_database();
    insert_string_ids("t", c.documents);
    root.log_mark();
    EXPECT_TRUE(db_conn.truncate_collection("t", c.chunk));
    EXPECT_EQ(count_docs("t"), 0);
    truncate_log log = parse_truncate_log(root.log_text(), "t");
    EXPECT_EQ(log.chunks, c.chunks);
    EXPECT_EQ(log.done, c.documents);
  }
}

TEST_F(truncate_test, a_missing_collection_is_already_empty) {
  EXPECT_TRUE(db_conn.truncate_collection("never_created"));
  truncate_log log = parse_truncate_log(root.log_text(), "never_created");
  EXPECT_EQ(log.chunks, (std::vector<int>{0, 0}));
  EXPECT_EQ(log.done, 0);
}

TEST_F(truncate_test, a_boundary_id_that_is_not_a_usable_string_stops_it) {
  struct {
    const char* what;
    std::vector<std::string> documents;
    int chunk;
    const char* message;
  } cases[] = {
      {"ObjectId",
       {R"({"_id": {"$oid": "65a000000000000000000001"}})",
        R"({"_id": {"$oid": "65a000000000000000000002"}})",
        R"({"_id": {"$oid": "65a000000000000000000003"}})"},
       2,
       "unsupport _id type: 7"},
      {"integer", {R"({"_id": 1})", R"({"_id": 2})"}, 2, "unsupport _id type: 16"},
      {"empty string",
       {R"({"_id": ""})", R"({"_id": "b"})"},
       1,
       "bson_append_utf8 _id failed, len = 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::drop_test_database();
    for (const auto& doc : c.documents) insert_json("t", doc);
    root.log_mark();
    EXPECT_FALSE(db_conn.truncate_collection("t", c.chunk));
    EXPECT_TRUE(root.log_contains(c.message));
    truncate_log log = parse_truncate_log(root.log_text(), "t");
    EXPECT_TRUE(log.chunks.empty()) << "no delete may follow the failure";
    EXPECT_EQ(log.done, 0);
    EXPECT_EQ(count_docs("t"), static_cast<int64_t>(c.documents.size()));
  }
}

TEST_F(truncate_test, an_object_id_below_the_boundary_does_not_matter) {
  // ObjectIds sort after strings: here the boundary falls on a string id, and the
  // ObjectId is left to the final delete.
  insert_json("t", R"({"_id": {"$oid": "65a000000000000000000001"}})");
  insert_string_ids("t", 3);
  EXPECT_TRUE(db_conn.truncate_collection("t", 3));
  EXPECT_EQ(count_docs("t"), 0);
  EXPECT_EQ(parse_truncate_log(root.log_text(), "t").chunks, (std::vector<int>{3, 0, 1}));
}

TEST_F(truncate_test, failures_stop_before_any_further_delete) {
  insert_string_ids("t", 3);
  db_conn.close();
  EXPECT_FALSE(db_conn.truncate_collection("t", 2));
  EXPECT_TRUE(root.log_contains("Fail to get memory collection: t, db_name: tavrund_qmx"));
  EXPECT_EQ(parse_truncate_log(root.log_text(), "t").done, 0);

  // The find is accepted but reading its first document fails: that is no empty chunk.
  testing_support::connect_dead_server();
  root.log_mark();
  EXPECT_FALSE(db_conn.truncate_collection("t", 2));
  EXPECT_TRUE(root.log_contains("Query t error:"));
  truncate_log log = parse_truncate_log(root.log_text(), "t");
  EXPECT_TRUE(log.chunks.empty());
  EXPECT_EQ(log.done, 0);
  EXPECT_FALSE(root.log_contains("Fail to delete"));
  EXPECT_EQ(count_docs("t"), 3);
}

}  // namespace
