// Shared fixtures of the unit tests: a temporary installation tree with its log, the live
// test server, and small BSON helpers.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <bson/bson.h>
#include <mongoc/mongoc.h>

#include "db/owners.h"

namespace testing_support {

// URL of the live test server (KORVEL_TEST_MONGO_URL, set by scripts/test). Fails the
// current test when it is not set: database tests never pass without a server.
std::string test_mongo_url();

// A temporary installation tree: bin/, config/, var/log/korvel/, data/. "@/" points at
// its bin/ and the log goes to its var/log/korvel/korveld.log at `log_level`.
class test_root {
 public:
  explicit test_root(int log_level = 4);
  ~test_root();
  test_root(const test_root&) = delete;
  test_root& operator=(const test_root&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  void write_file(const std::string& relative, const std::string& content) const;

  // The log written so far, and whether / how often it holds `text`.
  std::string log_text() const;
  bool log_contains(const std::string& text) const;
  int log_count(const std::string& text) const;
  // Forgets what was logged so far (later log_* calls see only newer lines).
  void log_mark();

 private:
  std::string path_;
  size_t log_offset_ = 0;
};

// Points db_conn at the test server, connects it, and drops database "tavrund_qmx".
void connect_test_db();
// Drops database "tavrund_qmx" through a separate client.
void drop_test_database();
// Points db_conn at a port where nothing listens: every operation fails quickly (a find
// only once its cursor is iterated).
void connect_dead_server();
// Points db_conn back at the test server, leaving its data as it is.
void reconnect_test_server();

// Counts the commands db_conn's current client sends (libmongoc command monitoring), by
// command name, from construction until destruction. Re-connecting db_conn replaces the
// client: construct the counter after connect.
class command_counter {
 public:
  command_counter();
  ~command_counter();
  command_counter(const command_counter&) = delete;
  command_counter& operator=(const command_counter&) = delete;

  // Commands named `name` ("find", "getMore", "aggregate", "update", ...) sent so far.
  int count(const std::string& name) const;
  // Every command that reads or writes documents (not hello, ping, endSessions, ...).
  int data_commands() const;
  // "find=2 aggregate=6 ..." for failure messages.
  std::string summary() const;
  void reset();

 private:
  static void on_started(const mongoc_apm_command_started_t* event);
  std::map<std::string, int> counts_;
  mongoc_client_t* client_ = nullptr;
};

using bson_ptr = bson_owner;

// A document from relaxed/canonical extended JSON; fails the test on a parse error.
bson_ptr json(const std::string& text);

// Inserts documents (extended JSON) into a collection of "tavrund_qmx" on the test server.
void insert_json(const char* collection, const std::string& json_text);
// All documents of a collection (filter in extended JSON), as canonical JSON lines.
std::string find_json(const char* collection, const std::string& filter = "{}");
// Number of documents in a collection of "tavrund_qmx".
int64_t count_docs(const char* collection, const std::string& filter = "{}");

// A client of its own for the tests (not db_conn); destroyed at exit.
mongoc_client_t* test_client();

}  // namespace testing_support
