// INI files: round trip, case-insensitive names, atomic replacement that keeps the mode, and
// a failed save that leaves the old file alone.
#include "platform/ini.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/unit/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::test_root;

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct ini_owner {
  ini_file* handle;
  explicit ini_owner(ini_file* h) : handle(h) {}
  ~ini_owner() { ini_file_free(handle); }
};

class IniTest : public testing::Test {
 protected:
  test_root root_;
  std::string path_ = root_.file("config/test.ini");
};

TEST_F(IniTest, SetSaveLoadRoundTrip) {
  {
    ini_owner ini(ini_file_new());
    ASSERT_NE(ini.handle, nullptr);
    EXPECT_EQ(ini_file_set(ini.handle, "anti_bfa", "last_id", "65a1b2c3d4e5f60718293a4b"), 0);
    EXPECT_EQ(ini_file_set(ini.handle, "anti_bfa", "last_time", "1765333800"), 0);
    EXPECT_EQ(ini_file_set(ini.handle, "update", "update_interval", "2000"), 0);
    EXPECT_EQ(ini_file_set(ini.handle, "update", "update_interval", "3000"), 0);  // replaces
    EXPECT_EQ(ini_file_set(ini.handle, "update", "empty", ""), 0);
    ASSERT_EQ(ini_file_save(ini.handle, path_.c_str(), 0), 0);
  }
  ini_owner ini(ini_file_load(path_.c_str()));
  ASSERT_NE(ini.handle, nullptr);
  const struct {
    const char* section;
    const char* key;
    const char* value;  // null: absent
  } cases[] = {
      {"anti_bfa", "last_id", "65a1b2c3d4e5f60718293a4b"},
      {"anti_bfa", "last_time", "1765333800"},
      {"ANTI_BFA", "Last_Time", "1765333800"},
      {"update", "update_interval", "3000"},
      {"update", "empty", ""},
      {"update", "missing", nullptr},
      {"nosection", "last_id", nullptr},
  };
  for (const auto& c : cases) {
    const char* got = ini_file_get(ini.handle, c.section, c.key);
    if (c.value == nullptr) {
      EXPECT_EQ(got, nullptr) << c.section << "/" << c.key;
    } else {
      ASSERT_NE(got, nullptr) << c.section << "/" << c.key;
      EXPECT_STREQ(got, c.value) << c.section << "/" << c.key;
    }
  }
}

TEST_F(IniTest, ValuesThatNeedQuotingSurviveSaveAndLoad) {
  const char* values[] = {
      "mongodb://h:27017/db?a=b;c=d",
      "tag#1",
      " leading",
      "trailing ",
      "ends\\",
      "\"starts quoted",
      "it's; fine",
      "say \"hi\" #1",
      "a\"b'c",
      "x = y",
  };
  {
    ini_owner ini(ini_file_new());
    for (size_t i = 0; i < std::size(values); ++i) {
      ASSERT_EQ(ini_file_set(ini.handle, "v", std::to_string(i).c_str(), values[i]), 0)
          << values[i];
    }
    ASSERT_EQ(ini_file_save(ini.handle, path_.c_str(), 0), 0);
  }
  ini_owner ini(ini_file_load(path_.c_str()));
  ASSERT_NE(ini.handle, nullptr) << read_all(path_);
  for (size_t i = 0; i < std::size(values); ++i) {
    const char* got = ini_file_get(ini.handle, "v", std::to_string(i).c_str());
    ASSERT_NE(got, nullptr) << values[i];
    EXPECT_STREQ(got, values[i]) << read_all(path_);
  }
  // Values no line of the file can hold are refused rather than written wrongly.
  for (const char* bad : {"two\nlines", "cr\rhere", "both ' and \" ;"}) {
    EXPECT_NE(ini_file_set(ini.handle, "v", "bad", bad), 0) << bad;
  }
}

TEST_F(IniTest, LoadReadsHandWrittenFileAndRejectsMissingOrBroken) {
  root_.write_file("config/test.ini",
                   "; comment\n[update]\nupdate_interval = 2500 ; trailing comment\n"
                   "show_time_use=1\n");
  {
    ini_owner ini(ini_file_load(path_.c_str()));
    ASSERT_NE(ini.handle, nullptr);
    EXPECT_STREQ(ini_file_get(ini.handle, "update", "update_interval"), "2500");
    EXPECT_STREQ(ini_file_get(ini.handle, "update", "show_time_use"), "1");
  }
  EXPECT_EQ(ini_file_load(root_.file("config/none.ini").c_str()), nullptr);
  EXPECT_FALSE(root_.log_contains("none.ini")) << "a missing file is not an error to log";

  root_.write_file("config/broken.ini", "[update]\nthis line has no equals sign\n");
  EXPECT_EQ(ini_file_load(root_.file("config/broken.ini").c_str()), nullptr);
  EXPECT_TRUE(root_.log_contains("[2] ")) << root_.log_text();
  EXPECT_TRUE(root_.log_contains("broken.ini")) << root_.log_text();
}

TEST_F(IniTest, SaveKeepsTheModeOfTheFileItReplaces) {
  for (mode_t mode : {0600, 0640, 0700}) {
    root_.write_file("config/test.ini", "[a]\nb = 1\n");
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    ini_owner ini(ini_file_load(path_.c_str()));
    ASSERT_NE(ini.handle, nullptr);
    ASSERT_EQ(ini_file_set(ini.handle, "a", "b", "2"), 0);
    ASSERT_EQ(ini_file_save(ini.handle, path_.c_str(), 0), 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST_F(IniTest, NewFileGetsDefaultModeLessUmask) {
  for (mode_t mask : {022, 077}) {
    fs::remove(path_);
    mode_t old = umask(mask);
    ini_owner ini(ini_file_new());
    ASSERT_EQ(ini_file_set(ini.handle, "a", "b", "1"), 0);
    int rc = ini_file_save(ini.handle, path_.c_str(), 0);
    umask(old);
    ASSERT_EQ(rc, 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask) << std::oct << mask;
  }
}

// Only the target and nothing else: a failed save must not leave temporary files behind.
void expect_only_file(const std::string& dir, const std::string& name) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string(), name);
  }
}

TEST_F(IniTest, FailedWriteLeavesTheOldFileIntact) {
  const std::string old_text = "[anti_bfa]\nlast_time = 1\n";
  root_.write_file("config/test.ini", old_text);
  ini_owner ini(ini_file_new());
  std::string big(8192, 'v');
  ASSERT_EQ(ini_file_set(ini.handle, "anti_bfa", "last_time", big.c_str()), 0);

  // A file size limit makes the write itself fail, whatever the user's privileges.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = ini_file_save(ini.handle, path_.c_str(), 0);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);

  EXPECT_NE(rc, 0);
  EXPECT_EQ(read_all(path_), old_text);
  expect_only_file(root_.file("config"), "test.ini");
}

TEST_F(IniTest, SaveIntoMissingFolderFails) {
  ini_owner ini(ini_file_new());
  ASSERT_EQ(ini_file_set(ini.handle, "a", "b", "1"), 0);
  EXPECT_NE(ini_file_save(ini.handle, root_.file("nowhere/test.ini").c_str(), 0), 0);
}

TEST_F(IniTest, SaveThroughUnwritableFolderFailsAndLeavesOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind root";
  const std::string old_text = "[a]\nb = 1\n";
  root_.write_file("config/test.ini", old_text);
  ini_owner ini(ini_file_load(path_.c_str()));
  ASSERT_EQ(ini_file_set(ini.handle, "a", "b", "2"), 0);
  ASSERT_EQ(chmod(root_.file("config").c_str(), 0500), 0);
  int rc = ini_file_save(ini.handle, path_.c_str(), 0);
  chmod(root_.file("config").c_str(), 0755);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(read_all(path_), old_text);
}

TEST_F(IniTest, BadArgumentsAreRefused) {
  ini_owner ini(ini_file_new());
  EXPECT_NE(ini_file_set(nullptr, "a", "b", "1"), 0);
  EXPECT_NE(ini_file_set(ini.handle, "", "b", "1"), 0);
  EXPECT_NE(ini_file_set(ini.handle, "a", "", "1"), 0);
  EXPECT_NE(ini_file_set(ini.handle, "a", "b", nullptr), 0);
  EXPECT_EQ(ini_file_get(nullptr, "a", "b"), nullptr);
  EXPECT_NE(ini_file_save(nullptr, path_.c_str(), 0), 0);
  ini_file_free(nullptr);
}

}  // namespace
