// Agent registry: read-only SQLite database "@/../data/agent_registry.db", table
// agent(id INTEGER PRIMARY KEY, host_plat INTEGER NOT NULL, host_type INTEGER NOT NULL).
#pragma once

#include <cstdint>

struct rdb_store;
typedef rdb_store* rdb_handle;

constexpr int RDB_AGENT_NOT_FOUND = -4;
constexpr int RDB_RECORD_SIZE = 136;
constexpr int RDB_HOST_PLAT_OFFSET = 24;  // int32 in the record
constexpr int RDB_HOST_TYPE_OFFSET = 40;  // int32 in the record

// Opens the registry. 0 on success; negative when the file is missing or unusable.
int rdb_attach(rdb_handle* handle);

// Fills the RDB_RECORD_SIZE-byte `record`: 0 found, RDB_AGENT_NOT_FOUND unknown agent,
// another negative number when the store failed.
int rdb_get_agent(rdb_handle* handle, uint32_t agent_number, void* record);

// Closes the registry; harmless on a handle that never attached. Sets *handle to null.
int rdb_detach(rdb_handle* handle);
