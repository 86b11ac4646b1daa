// korvel-registry: fills the agent registry "@/../data/agent_registry.db" of the
// installation this program belongs to (the daemon only reads it).
#include <sqlite3.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: korvel-registry set ID HOST_PLAT HOST_TYPE\n"
               "       korvel-registry load      (lines \"ID HOST_PLAT HOST_TYPE\" on standard "
               "input)\n"
               "       korvel-registry delete ID\n"
               "       korvel-registry list\n");
  return 2;
}

int fail(sqlite3* db, const char* what) {
  std::fprintf(stderr, "korvel-registry: %s: %s\n", what,
               db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  return 1;
}

// A whole decimal number within [low, high].
bool parse_number(const char* text, int64_t low, int64_t high, int64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

struct agent_row {
  int64_t id, host_plat, host_type;
};

bool parse_row(const char* id, const char* plat, const char* type, agent_row* row) {
  return parse_number(id, 0, UINT32_MAX, &row->id) &&
         parse_number(plat, INT32_MIN, INT32_MAX, &row->host_plat) &&
         parse_number(type, INT32_MIN, INT32_MAX, &row->host_type);
}

sqlite3* open_registry() {
  char path[4096];
  if (dirutils_path_transform("@/../data/agent_registry.db", path, sizeof(path)) != 0) {
    std::fprintf(stderr, "korvel-registry: cannot work out the registry path\n");
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    std::fprintf(stderr, "korvel-registry: cannot open %s: %s\n", path,
                 db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  // The daemon may be reading at the same moment.
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db,
                   "CREATE TABLE IF NOT EXISTS agent(id INTEGER PRIMARY KEY, "
                   "host_plat INTEGER NOT NULL, host_type INTEGER NOT NULL)",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(db, "cannot create table agent");
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// Inserts or replaces rows through one prepared statement; false on the first failure.
bool store_rows(sqlite3* db, const std::vector<agent_row>& rows) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(
          db, "INSERT OR REPLACE INTO agent(id, host_plat, host_type) VALUES(?1, ?2, ?3)", -1,
          &stmt, nullptr) != SQLITE_OK) {
    return false;
  }
  bool ok = true;
  for (const agent_row& row : rows) {
    sqlite3_bind_int64(stmt, 1, row.id);
    sqlite3_bind_int64(stmt, 2, row.host_plat);
    sqlite3_bind_int64(stmt, 3, row.host_type);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      ok = false;
      break;
    }
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  return ok;
}

int cmd_set(sqlite3* db, const agent_row& row) {
  if (!store_rows(db, {row})) return fail(db, "cannot store the agent");
  return 0;
}

// Splits a line at blanks and commas after dropping a '#' comment.
std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : line) {
    if (c == '#') break;
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

int cmd_load(sqlite3* db) {
  std::vector<agent_row> rows;
  std::string line;
  int line_number = 0;
  int c;
  bool more = true;
  while (more) {
    line.clear();
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    more = c != EOF;
    ++line_number;
    std::vector<std::string> fields = split(line);
    if (fields.empty()) continue;
    agent_row row{};
    if (fields.size() != 3 ||
        !parse_row(fields[0].c_str(), fields[1].c_str(), fields[2].c_str(), &row)) {
      std::fprintf(stderr, "korvel-registry: line %d: expected \"ID HOST_PLAT HOST_TYPE\"\n",
                   line_number);
      return 1;
    }
    rows.push_back(row);
  }
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "korvel-registry: cannot read standard input\n");
    return 1;
  }
  // All or nothing: a failed load leaves the registry as it was.
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return fail(db, "cannot start a transaction");
  }
  if (!store_rows(db, rows)) {
    int rc = fail(db, "cannot store the agents");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    int rc = fail(db, "cannot commit");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
  }
  std::printf("loaded %zu agents\n", rows.size());
  return 0;
}

int cmd_delete(sqlite3* db, int64_t id) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "DELETE FROM agent WHERE id = ?1", -1, &stmt, nullptr) != SQLITE_OK) {
    return fail(db, "cannot delete");
  }
  sqlite3_bind_int64(stmt, 1, id);
  int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return fail(db, "cannot delete");
  if (sqlite3_changes(db) == 0) {
    std::fprintf(stderr, "korvel-registry: no agent %" PRId64 "\n", id);
    return 1;
  }
  return 0;
}

int cmd_list(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, host_plat, host_type FROM agent ORDER BY id", -1, &stmt,
                         nullptr) != SQLITE_OK) {
    return fail(db, "cannot list");
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::printf("%" PRId64 " %" PRId64 " %" PRId64 "\n",
                static_cast<int64_t>(sqlite3_column_int64(stmt, 0)),
                static_cast<int64_t>(sqlite3_column_int64(stmt, 1)),
                static_cast<int64_t>(sqlite3_column_int64(stmt, 2)));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return fail(db, "cannot list");
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  int args = argc - 2;
  bool known = (command == "set" && args == 3) || (command == "load" && args == 0) ||
               (command == "delete" && args == 1) || (command == "list" && args == 0);
  if (!known) return usage();

  // Arguments are checked before the registry is opened (or created).
  agent_row row{};
  if (command == "set" && !parse_row(argv[2], argv[3], argv[4], &row)) {
    std::fprintf(stderr, "korvel-registry: bad number in \"%s %s %s\"\n", argv[2], argv[3],
                 argv[4]);
    return 2;
  }
  if (command == "delete" && !parse_number(argv[2], 0, UINT32_MAX, &row.id)) {
    std::fprintf(stderr, "korvel-registry: bad agent id \"%s\"\n", argv[2]);
    return 2;
  }

  sqlite3* db = open_registry();
  if (db == nullptr) return 1;
  int rc;
  if (command == "set") {
    rc = cmd_set(db, row);
  } else if (command == "load") {
    rc = cmd_load(db);
  } else if (command == "delete") {
    rc = cmd_delete(db, row.id);
  } else {
    rc = cmd_list(db);
  }
  sqlite3_close(db);
  return rc;
}
