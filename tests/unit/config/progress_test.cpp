// The progress store and its file: what loads, what saves, and what a failure looks like.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/progress.h"
#include "tests/unit/support/test_support.h"

namespace {

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { g_last_keys.clear(); }
  void TearDown() override { g_last_keys.clear(); }

  std::string progress_text() {
    std::ifstream in(root.file("config/korvel_last_time.ini"));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  testing_support::test_root root{4};
  config cfg;
};

struct load_case {
  const char* name;
  std::string file;
  int64_t expected_time;  // -1: the current time written into the file
  std::string expected_id;
  bool time_rejected;
};

class ProgressLoadTest : public ProgressTest, public ::testing::WithParamInterface<load_case> {};

TEST_P(ProgressLoadTest, Loads) {
  const load_case& c = GetParam();
  std::string file = c.file;
  const std::string now = std::to_string(time(nullptr));
  for (size_t pos; (pos = file.find("NOW")) != std::string::npos;) file.replace(pos, 3, now);
  root.write_file("config/korvel_last_time.ini", file);

  load_last_keys();
  ASSERT_EQ(g_last_keys.count(5), 1u);
  const last_key& entry = g_last_keys[5];
  EXPECT_EQ(entry.last_update_time, c.expected_time < 0 ? std::stoll(now) : c.expected_time);
  EXPECT_EQ(entry.last_update_id, c.expected_id);
  EXPECT_EQ(root.log_contains("get last_update_time failed"), c.time_rejected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressLoadTest,
    ::testing::Values(
        load_case{"Valid", "[anti_bfa]\nlast_update_time=1700000000\nlast_update_id=abc\n",
                  1700000000, "abc", false},
        load_case{"CurrentSecondAccepted", "[anti_bfa]\nlast_update_time=NOW\n", -1, "", false},
        load_case{"FutureRejectedIdKept",
                  "[anti_bfa]\nlast_update_time=2000000000000\nlast_update_id=xyz\n", 0, "xyz",
                  true},
        load_case{"NegativeRejected", "[anti_bfa]\nlast_update_time=-5\n", 0, "", true},
        load_case{"OnlyId", "[anti_bfa]\nlast_update_id=65a0c0ffee00000000000001\n", 0,
                  "65a0c0ffee00000000000001", false},
        load_case{"EmptyValues", "[anti_bfa]\nlast_update_time=\nlast_update_id=\n", 0, "", false}),
    [](const ::testing::TestParamInfo<load_case>& info) { return info.param.name; });

TEST_F(ProgressTest, MissingFileLeavesEntryEmpty) {
  load_last_keys();
  ASSERT_EQ(g_last_keys.count(5), 1u);
  EXPECT_EQ(g_last_keys[5].last_update_time, 0);
  EXPECT_EQ(g_last_keys[5].last_update_id, "");
  EXPECT_TRUE(root.log_contains("get anti_last_update_time failed"));
}

TEST_F(ProgressTest, FirstSaveCreatesPrivateFileAndLaterSavesKeepIt) {
  const std::string path = root.file("config/korvel_last_time.ini");
  ASSERT_TRUE(cfg.save_anti_last_update_time(last_key{"65a0c0ffee00000000000001", 1700000001}));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  ASSERT_TRUE(cfg.save_anti_last_update_time(last_key{"65a0c0ffee00000000000002", 1700000002}));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  last_key loaded;
  cfg.get_anti_last_update_time(loaded);
  EXPECT_EQ(loaded.last_update_time, 1700000002);
  EXPECT_EQ(loaded.last_update_id, "65a0c0ffee00000000000002");
}

TEST_F(ProgressTest, SaveKeepsOtherContentOfTheFile) {
  root.write_file("config/korvel_last_time.ini", "[other]\nkey=value\n");
  ASSERT_TRUE(cfg.save_anti_last_update_time(last_key{"id", 5}));
  EXPECT_NE(progress_text().find("value"), std::string::npos);
}

TEST_F(ProgressTest, SaveFailuresReportFalse) {
  // The progress file's folder is gone: it cannot be created.
  std::filesystem::remove_all(root.file("config"));
  EXPECT_FALSE(cfg.save_anti_last_update_time(last_key{"id", 5}));
  EXPECT_TRUE(root.log_contains("creat failed "));

  // The progress file is a folder: it exists but can be neither loaded nor replaced.
  std::filesystem::create_directories(root.file("config/korvel_last_time.ini"));
  root.log_mark();
  EXPECT_FALSE(cfg.save_anti_last_update_time(last_key{"id", 5}));
  EXPECT_TRUE(root.log_contains("save anti_last_update_time failed") ||
              root.log_contains("ini_file_save file : "))
      << root.log_text();
}

TEST_F(ProgressTest, AFileThatDoesNotLoadIsReplacedByAFreshOne) {
  const std::string garbage[] = {
      "this is not an ini file\n",
      std::string("\x7f"
                  "ELF\x02\x01\x01\0\0\0[[[\n",
                  15),
      "[anti_bfa\nlast_update_time = 5\n",
  };
  for (const std::string& text : garbage) {
    root.write_file("config/korvel_last_time.ini", text);
    root.log_mark();
    ASSERT_TRUE(cfg.save_anti_last_update_time(last_key{"65a0c0ffee00000000000003", 1700000003}))
        << root.log_text();
    EXPECT_TRUE(root.log_contains("does not load: writing a fresh one")) << root.log_text();
    EXPECT_FALSE(root.log_contains("save anti_last_update_time failed"));
    last_key loaded;
    cfg.get_anti_last_update_time(loaded);
    EXPECT_EQ(loaded.last_update_time, 1700000003) << progress_text();
    EXPECT_EQ(loaded.last_update_id, "65a0c0ffee00000000000003");
  }
}

TEST_F(ProgressTest, AFirstSaveThatFailsLeavesNoFileBehind) {
  // A file size limit makes the write fail, as a kill before the rename would end it.
  std::string long_id(8192, 'f');
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool saved_ok = cfg.save_anti_last_update_time(last_key{long_id, 1700000004});
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(saved_ok);
  EXPECT_TRUE(root.log_contains("creat failed ")) << root.log_text();
  EXPECT_TRUE(std::filesystem::is_empty(root.file("config")))
      << "neither an empty progress file nor a temporary one may stay";
}

TEST_F(ProgressTest, SaveRemovesTemporariesThatAKilledSaveLeft) {
  root.write_file("config/korvel_last_time.ini.Q1w2E3", "");
  root.write_file("config/korvel_last_time.ini.zz09AB", "[anti_bfa]\nlast_update_time = 1\n");
  root.write_file("config/korvel.ini", "[update]\n");
  ASSERT_TRUE(cfg.save_anti_last_update_time(last_key{"id", 7}));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root.file("config"))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"korvel.ini", "korvel_last_time.ini"}));
}

TEST_F(ProgressTest, GetLastKeyNeverCreatesAnEntry) {
  int64_t time = 0;
  std::string id;
  get_last_key(3, time, id);
  EXPECT_EQ(time, 0);
  EXPECT_EQ(id, "");
  EXPECT_EQ(g_last_keys.count(3), 0u);

  save_last_key(3, "doc-7", 99);
  get_last_key(3, time, id);
  EXPECT_EQ(time, 99);
  EXPECT_EQ(id, "doc-7");
}

TEST_F(ProgressTest, KeysKeepTheTypeOfTheirId) {
  int64_t time = 0;
  std::string id;
  bson_type_t type = BSON_TYPE_INT32;  // left as it is while there is no entry
  get_last_key(9, time, id, &type);
  EXPECT_EQ(type, BSON_TYPE_INT32);

  save_last_key(9, "65a1b2c3d4e5f60718293a4b", 120, BSON_TYPE_OID);
  get_last_key(9, time, id, &type);
  EXPECT_EQ(time, 120);
  EXPECT_EQ(id, "65a1b2c3d4e5f60718293a4b");
  EXPECT_EQ(type, BSON_TYPE_OID);
  EXPECT_TRUE(
      root.log_contains("save last key: leak_info_log|log_id=65a1b2c3d4e5f60718293a4b|time=120"));

  // A text id after an ObjectId one, and text by default.
  save_last_key(9, "k", 121);
  get_last_key(9, time, id, &type);
  EXPECT_EQ(type, BSON_TYPE_UTF8);
  EXPECT_EQ(last_key{}.last_update_id_type, BSON_TYPE_UTF8);
}

TEST_F(ProgressTest, MillisecondKeysKeepAllBitsOnlyTheTraceShortensThem) {
  const int64_t ms = 1700000000123;
  save_last_key(10, "inc-1", ms);
  EXPECT_EQ(g_last_keys[10].last_update_time, ms);
  const std::string expected =
      "save last key: incident_msg|log_id=inc-1|time=" + std::to_string(static_cast<uint32_t>(ms));
  EXPECT_TRUE(root.log_contains(expected)) << root.log_text();
}

}  // namespace
