#include "tests/unit/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace testing_support {

namespace fs = std::filesystem;

std::string test_mongo_url() {
  const char* url = std::getenv("KORVEL_TEST_MONGO_URL");
  if (url == nullptr || *url == '\0') {
    ADD_FAILURE() << "KORVEL_TEST_MONGO_URL is not set: run the tests through scripts/test";
    return "mongodb://127.0.0.1:1/";
  }
  return url;
}

test_root::test_root(int log_level) {
  char pattern[] = "/tmp/korvel-unit-XXXXXX";
  char* dir = mkdtemp(pattern);
  if (dir == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = dir;
  for (const char* sub : {"bin", "config", "var/log/korvel", "data"}) {
    fs::create_directories(path_ + "/" + sub);
  }
  dirutils_set_root((path_ + "/bin").c_str());
  autolog_init((path_ + "/var/log/korvel").c_str(), 5);
  s_log_level = log_level;
}

test_root::~test_root() {
  autolog_close();
  dirutils_set_root(nullptr);
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

void test_root::write_file(const std::string& relative, const std::string& content) const {
  std::ofstream out(file(relative), std::ios::trunc);
  out << content;
}

std::string test_root::log_text() const {
  std::ifstream in(path_ + "/var/log/korvel/korveld.log");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string all = ss.str();
  return log_offset_ < all.size() ? all.substr(log_offset_) : std::string();
}

bool test_root::log_contains(const std::string& text) const {
  return log_text().find(text) != std::string::npos;
}

int test_root::log_count(const std::string& text) const {
  std::string all = log_text();
  int n = 0;
  for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1)) ++n;
  return n;
}

void test_root::log_mark() {
  std::ifstream in(path_ + "/var/log/korvel/korveld.log", std::ios::ate);
  log_offset_ = in ? static_cast<size_t>(in.tellg()) : 0;
}

mongoc_client_t* test_client() {
  static mongoc_client_t* client = [] {
    mongoc_init();
    mongoc_client_t* c = mongoc_client_new(test_mongo_url().c_str());
    return c;
  }();
  return client;
}

void drop_test_database() {
  mongoc_database_t* db = mongoc_client_get_database(test_client(), "tavrund_qmx");
  bson_error_t error;
  if (!mongoc_database_drop(db, &error) && error.code != 26 /* NamespaceNotFound */) {
    // FerretDB reports a missing database as success; anything else is a real failure.
    ADD_FAILURE() << "drop database failed: " << error.message;
  }
  mongoc_database_destroy(db);
}

void connect_test_db() {
  reconnect_test_server();
  drop_test_database();
}

void connect_dead_server() {
  db_conn.set_url("mongodb://127.0.0.1:1/?serverSelectionTimeoutMS=300&connectTimeoutMS=300");
  ASSERT_TRUE(db_conn.connect());
}

void reconnect_test_server() {
  db_conn.set_url(test_mongo_url().c_str());
  ASSERT_TRUE(db_conn.connect());
}

command_counter::command_counter() : client_(db_conn.get_client()) {
  if (client_ == nullptr) {
    ADD_FAILURE() << "command_counter needs a connected db_conn";
    return;
  }
  mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
  mongoc_apm_set_command_started_cb(callbacks, on_started);
  mongoc_client_set_apm_callbacks(client_, callbacks, this);
  mongoc_apm_callbacks_destroy(callbacks);
}

command_counter::~command_counter() {
  // The client may have been replaced (reconnect) and destroyed meanwhile.
  if (client_ != nullptr && client_ == db_conn.get_client()) {
    mongoc_client_set_apm_callbacks(client_, nullptr, nullptr);
  }
}

void command_counter::on_started(const mongoc_apm_command_started_t* event) {
  auto* self = static_cast<command_counter*>(mongoc_apm_command_started_get_context(event));
  ++self->counts_[mongoc_apm_command_started_get_command_name(event)];
}

int command_counter::count(const std::string& name) const {
  auto it = counts_.find(name);
  return it == counts_.end() ? 0 : it->second;
}

int command_counter::data_commands() const {
  static const char* const kData[] = {"find",   "getMore", "aggregate",     "count",   "insert",
                                      "update", "delete",  "findAndModify", "distinct"};
  int n = 0;
  for (const char* name : kData) n += count(name);
  return n;
}

std::string command_counter::summary() const {
  std::string out;
  for (const auto& [name, n] : counts_) {
    if (!out.empty()) out += ' ';
    out += name + "=" + std::to_string(n);
  }
  return out;
}

void command_counter::reset() {
  counts_.clear();
}

bson_ptr json(const std::string& text) {
  bson_error_t error;
  bson_t* b = bson_new_from_json(reinterpret_cast<const uint8_t*>(text.data()),
                                 static_cast<ssize_t>(text.size()), &error);
  if (b == nullptr) {
    ADD_FAILURE() << "bad JSON in test: " << error.message << ": " << text;
    b = bson_new();
  }
  return bson_ptr(b);
}

void insert_json(const char* collection, const std::string& json_text) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(test_client(), "tavrund_qmx", collection);
  bson_ptr doc = json(json_text);
  bson_error_t error;
  if (!mongoc_collection_insert_one(coll, doc.get(), nullptr, nullptr, &error)) {
    ADD_FAILURE() << "insert into " << collection << " failed: " << error.message;
  }
  mongoc_collection_destroy(coll);
}

std::string find_json(const char* collection, const std::string& filter) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(test_client(), "tavrund_qmx", collection);
  bson_ptr f = json(filter);
  bson_ptr opts = json(R"({"sort": {"_id": 1}})");
  mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, f.get(), opts.get(), nullptr);
  const bson_t* doc;
  std::string out;
  while (mongoc_cursor_next(cursor, &doc)) {
    char* s = bson_as_canonical_extended_json(doc, nullptr);
    out += s;
    out += "\n";
    bson_free(s);
  }
  bson_error_t error;
  if (mongoc_cursor_error(cursor, &error)) ADD_FAILURE() << "find failed: " << error.message;
  mongoc_cursor_destroy(cursor);
  mongoc_collection_destroy(coll);
  return out;
}

int64_t count_docs(const char* collection, const std::string& filter) {
  mongoc_collection_t* coll =
      mongoc_client_get_collection(test_client(), "tavrund_qmx", collection);
  bson_ptr f = json(filter);
  bson_error_t error;
  int64_t n = mongoc_collection_count_documents(coll, f.get(), nullptr, nullptr, nullptr, &error);
  if (n < 0) ADD_FAILURE() << "count failed: " << error.message;
  mongoc_collection_destroy(coll);
  return n;
}

}  // namespace testing_support
