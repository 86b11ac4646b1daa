// Agent registry on a read-only SQLite database. The lookup statement is prepared once at
// attach and reused for every agent.
#include "platform/registry.h"

#include <sqlite3.h>

#include <cstring>
#include <new>

#include "platform/log.h"
#include "platform/paths.h"

struct rdb_store {
  sqlite3* db = nullptr;
  sqlite3_stmt* lookup = nullptr;
};

namespace {

void release(rdb_store* store) {
  sqlite3_finalize(store->lookup);
  sqlite3_close_v2(store->db);
  delete store;
}

}  // namespace

int rdb_attach(rdb_handle* handle) {
  if (handle == nullptr) return -2;
  *handle = nullptr;
  char path[4096];
  if (dirutils_path_transform("@/../data/agent_registry.db", path, sizeof(path)) != 0) return -1;

  auto* store = new (std::nothrow) rdb_store;
  if (store == nullptr) return -1;
  // Read-only: a missing file is an error, never an empty registry created on the spot.
  int rc = sqlite3_open_v2(path, &store->db, SQLITE_OPEN_READONLY, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_prepare_v3(store->db, "SELECT host_plat, host_type FROM agent WHERE id = ?1", -1,
                            SQLITE_PREPARE_PERSISTENT, &store->lookup, nullptr);
  }
  if (rc != SQLITE_OK) {
    KLOG(2, "agent registry %s: %s", path,
         store->db != nullptr ? sqlite3_errmsg(store->db) : sqlite3_errstr(rc));
    release(store);
    return -1;
  }
  *handle = store;
  return 0;
}

int rdb_get_agent(rdb_handle* handle, uint32_t agent_number, void* record) {
  if (handle == nullptr || *handle == nullptr || record == nullptr) return -2;
  sqlite3_stmt* lookup = (*handle)->lookup;
  sqlite3_reset(lookup);
  if (sqlite3_bind_int64(lookup, 1, static_cast<sqlite3_int64>(agent_number)) != SQLITE_OK) {
    return -1;
  }
  int rc = sqlite3_step(lookup);
  if (rc == SQLITE_DONE) {
    sqlite3_reset(lookup);
    return RDB_AGENT_NOT_FOUND;
  }
  if (rc != SQLITE_ROW) {
    sqlite3_reset(lookup);
    return -1;
  }
  auto* bytes = static_cast<unsigned char*>(record);
  std::memset(bytes, 0, RDB_RECORD_SIZE);
  int32_t host_plat = sqlite3_column_int(lookup, 0);
  int32_t host_type = sqlite3_column_int(lookup, 1);
  std::memcpy(bytes + RDB_HOST_PLAT_OFFSET, &host_plat, sizeof(host_plat));
  std::memcpy(bytes + RDB_HOST_TYPE_OFFSET, &host_type, sizeof(host_type));
  // Release the read lock now, so that the registry's writer is never kept waiting.
  sqlite3_reset(lookup);
  return 0;
}

int rdb_detach(rdb_handle* handle) {
  if (handle == nullptr) return -2;
  if (*handle != nullptr) release(*handle);
  *handle = nullptr;
  return 0;
}
