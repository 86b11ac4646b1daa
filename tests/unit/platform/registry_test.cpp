// Agent registry: lookups by id, the record layout, and the failures a caller must tell apart.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tests/unit/support/test_support.h"

namespace {

using testing_support::test_root;

class RegistryTest : public testing::Test {
 protected:
  void TearDown() override { rdb_detach(&handle_); }

  // Runs SQL on the registry file through a writable connection of the test's own.
  void exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  void make_registry() {
    exec(
        "CREATE TABLE agent(id INTEGER PRIMARY KEY, host_plat INTEGER NOT NULL, "
        "host_type INTEGER NOT NULL);"
        "INSERT INTO agent VALUES (42, 1, 2), (7, 3, -1), (4294967295, 2147483647, 5);");
  }

  test_root root_;
  std::string db_path_ = root_.file("data/agent_registry.db");
  rdb_handle handle_ = nullptr;
};

TEST_F(RegistryTest, FoundAgentFillsRecordAtItsOffsets) {
  make_registry();
  ASSERT_EQ(rdb_attach(&handle_), 0);
  ASSERT_NE(handle_, nullptr);
  const struct {
    uint32_t id;
    int32_t plat, type;
  } cases[] = {{42, 1, 2}, {7, 3, -1}, {4294967295u, 2147483647, 5}};
  for (const auto& c : cases) {
    unsigned char record[RDB_RECORD_SIZE];
    std::memset(record, 0xAA, sizeof(record));
    ASSERT_EQ(rdb_get_agent(&handle_, c.id, record), 0) << c.id;
    int32_t plat, type;
    std::memcpy(&plat, record + RDB_HOST_PLAT_OFFSET, 4);
    std::memcpy(&type, record + RDB_HOST_TYPE_OFFSET, 4);
    EXPECT_EQ(plat, c.plat) << c.id;
    EXPECT_EQ(type, c.type) << c.id;
    for (int i = 0; i < RDB_RECORD_SIZE; ++i) {
      if (i >= RDB_HOST_PLAT_OFFSET && i < RDB_HOST_PLAT_OFFSET + 4) continue;
      if (i >= RDB_HOST_TYPE_OFFSET && i < RDB_HOST_TYPE_OFFSET + 4) continue;
      ASSERT_EQ(record[i], 0) << "byte " << i << " of agent " << c.id;
    }
  }
}

TEST_F(RegistryTest, UnknownAgentIsNotFoundAndLeavesLaterLookupsWorking) {
  make_registry();
  ASSERT_EQ(rdb_attach(&handle_), 0);
  unsigned char record[RDB_RECORD_SIZE];
  EXPECT_EQ(rdb_get_agent(&handle_, 43, record), RDB_AGENT_NOT_FOUND);
  EXPECT_EQ(rdb_get_agent(&handle_, 0, record), RDB_AGENT_NOT_FOUND);
  EXPECT_EQ(rdb_get_agent(&handle_, 42, record), 0);
  // A copy of the handle serves as well as the original.
  rdb_handle copy = handle_;
  EXPECT_EQ(rdb_get_agent(&copy, 7, record), 0);
}

TEST_F(RegistryTest, AttachFailsOnMissingOrUnusableRegistry) {
  EXPECT_LT(rdb_attach(&handle_), 0);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_FALSE(std::filesystem::exists(db_path_)) << "attach must not create the registry";

  exec("CREATE TABLE other(x INTEGER);");
  EXPECT_LT(rdb_attach(&handle_), 0);
  EXPECT_EQ(handle_, nullptr);

  root_.write_file("data/agent_registry.db", "this is not a database file at all, just text");
  EXPECT_LT(rdb_attach(&handle_), 0);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(RegistryTest, StoreFailureAfterAttachIsNotNotFound) {
  make_registry();
  ASSERT_EQ(rdb_attach(&handle_), 0);
  unsigned char record[RDB_RECORD_SIZE];
  ASSERT_EQ(rdb_get_agent(&handle_, 42, record), 0);
  exec("DROP TABLE agent;");
  int rc = rdb_get_agent(&handle_, 42, record);
  EXPECT_LT(rc, 0);
  EXPECT_NE(rc, RDB_AGENT_NOT_FOUND);
}

TEST_F(RegistryTest, SeesRowsWrittenAfterAttach) {
  make_registry();
  ASSERT_EQ(rdb_attach(&handle_), 0);
  unsigned char record[RDB_RECORD_SIZE];
  ASSERT_EQ(rdb_get_agent(&handle_, 100, record), RDB_AGENT_NOT_FOUND);
  exec("INSERT INTO agent VALUES (100, 9, 8);");
  ASSERT_EQ(rdb_get_agent(&handle_, 100, record), 0);
  int32_t plat;
  std::memcpy(&plat, record + RDB_HOST_PLAT_OFFSET, 4);
  EXPECT_EQ(plat, 9);
}

TEST_F(RegistryTest, DetachedOrNullHandle) {
  unsigned char record[RDB_RECORD_SIZE];
  EXPECT_LT(rdb_get_agent(&handle_, 42, record), 0);
  EXPECT_NE(rdb_get_agent(&handle_, 42, record), RDB_AGENT_NOT_FOUND);
  EXPECT_EQ(rdb_detach(&handle_), 0);  // never attached: harmless
  make_registry();
  ASSERT_EQ(rdb_attach(&handle_), 0);
  EXPECT_EQ(rdb_detach(&handle_), 0);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(rdb_detach(&handle_), 0);
}

}  // namespace
