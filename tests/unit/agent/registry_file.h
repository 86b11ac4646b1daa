// A real agent registry for tests: the SQLite file that rdb_attach opens, written into the
// data/ folder of a test_root, and a tick clock far from any earlier rate-limited message.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/tick.h"
#include "tests/unit/support/test_support.h"

namespace registry_file {

struct agent_row {
  int64_t id;
  int host_plat;
  int host_type;
};

// Runs SQL on the registry file of `root` (created when missing).
inline void exec(const testing_support::test_root& root, const std::string& sql) {
  sqlite3* db = nullptr;
  const std::string path = root.file("data/agent_registry.db");
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(SQLITE_OK, rc) << (error != nullptr ? error : "") << " in: " << sql;
  sqlite3_free(error);
  sqlite3_close(db);
}

// Creates the registry with exactly these agents.
inline void write(const testing_support::test_root& root, std::initializer_list<agent_row> agents) {
  std::string sql =
      "DROP TABLE IF EXISTS agent;"
      "CREATE TABLE agent(id INTEGER PRIMARY KEY, host_plat INTEGER NOT NULL,"
      " host_type INTEGER NOT NULL);";
  for (const agent_row& a : agents) {
    sql += "INSERT INTO agent VALUES(" + std::to_string(a.id) + "," + std::to_string(a.host_plat) +
           "," + std::to_string(a.host_type) + ");";
  }
  exec(root, sql);
}

// Drives the tick clock from a value more than 5000 ms after any value handed out before,
// so a rate-limited message of an earlier test in the same process cannot hide one.
inline uint32_t manual_ticks() {
  static uint32_t base = 1000000;
  base += 1000000;
  timer_set_manual(true, base);
  return base;
}

}  // namespace registry_file
