// INI files: round trip, case-insensitive names, atomic replacement that keeps the mode, a
// failed save that leaves the old file alone, the rewrite in place where the folder is
// read-only, and the removal of temporaries an interrupted save left.
#include "platform/ini.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/unit/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::test_root;

constexpr uid_t kNobody = 65534;

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

TEST_F(IniTest, NewFileGetsTheModeAskedForLessUmaskAndAnExistingOneKeepsItsOwn) {
  const struct {
    mode_t asked;
    mode_t mask;
    mode_t expected;
  } cases[] = {{0700, 022, 0700}, {0640, 022, 0640}, {0666, 077, 0600}};
  for (const auto& c : cases) {
    fs::remove(path_);
    mode_t old = umask(c.mask);
    ini_owner ini(ini_file_new());
    ASSERT_EQ(ini_file_set(ini.handle, "a", "b", "1"), 0);
    int first = ini_file_save_mode(ini.handle, path_.c_str(), c.asked);
    int again = ini_file_save_mode(ini.handle, path_.c_str(), 0777);
    umask(old);
    ASSERT_EQ(first, 0);
    ASSERT_EQ(again, 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.asked << " " << c.mask;
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

// Runs `body` in a child process whose folder permissions bind (the user nobody when the
// tests run as root); returns its exit status, or -1 when it did not exit normally.
int run_unprivileged(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(120);
    }
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A folder its user may not change holding a file that user may write: what a confined
// service is given for its progress file.
class ReadOnlyFolderTest : public IniTest {
 protected:
  void SetUp() override {
    folder_ = root_.file("config");
    // The unprivileged child must reach the folder.
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
  }
  void TearDown() override { chmod(folder_.c_str(), 0755); }

  // Writes the target (owned by the child's user when one is needed), then locks the folder.
  void give_file(const std::string& text, mode_t mode) {
    root_.write_file("config/test.ini", text);
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path_.c_str(), kNobody, kNobody), 0);
    }
    lock_folder();
  }
  void lock_folder() { ASSERT_EQ(chmod(folder_.c_str(), 0555), 0); }

  // Saves `[a] b = value` over the target from the unprivileged child.
  int save_unprivileged(const char* value) {
    ini_owner ini(ini_file_new());
    if (ini_file_set(ini.handle, "a", "b", value) != 0) return -1;
    return run_unprivileged(
        [&] { return ini_file_save(ini.handle, path_.c_str(), 0) == 0 ? 0 : 1; });
  }

  std::string folder_;
};

TEST_F(ReadOnlyFolderTest, ExistingFileIsRewrittenInPlace) {
  // Longer and shorter than the old text: the old tail must go, nothing may be lost.
  for (const char* value : {"a much longer value than the one before it", "2"}) {
    give_file("[a]\nb = 1234567890\n", 0640);
    struct stat before {};
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    root_.log_mark();

    ASSERT_EQ(save_unprivileged(value), 0) << root_.log_text();

    ini_owner ini(ini_file_load(path_.c_str()));
    ASSERT_NE(ini.handle, nullptr) << read_all(path_);
    EXPECT_STREQ(ini_file_get(ini.handle, "a", "b"), value) << read_all(path_);
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the same file, rewritten";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(root_.log_count("rewriting the file in place"), 1) << root_.log_text();
    EXPECT_EQ(root_.log_count("[2] "), 1) << root_.log_text();
    expect_only_file(folder_, "test.ini");
    chmod(folder_.c_str(), 0755);
  }
}

TEST_F(ReadOnlyFolderTest, NothingToRewriteOrNoRightToItFails) {
  // No file yet: it cannot be created there.
  lock_folder();
  EXPECT_NE(save_unprivileged("1"), 0);
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_TRUE(root_.log_contains("cannot write " + path_ + ": Permission denied"))
      << root_.log_text();
  chmod(folder_.c_str(), 0755);

  // A file its user may not write stays as it was.
  const std::string old_text = "[a]\nb = 1\n";
  give_file(old_text, 0444);
  root_.log_mark();
  EXPECT_NE(save_unprivileged("2"), 0);
  EXPECT_EQ(read_all(path_), old_text);
  EXPECT_TRUE(root_.log_contains("cannot write " + path_)) << root_.log_text();
}

TEST_F(IniTest, StaleTemporariesOfTheTargetAreRemovedAndNothingElse) {
  const struct {
    const char* name;
    bool removed;
  } cases[] = {
      {"test.ini.a1B2c3", true},                         // what an interrupted save leaves
      {"test.ini.ZZZZZZ", true},   {"test.ini", false},  // the target itself
      {"test.ini.bak", false},                           // too short a suffix
      {"test.ini.a1B2c3d", false},                       // too long
      {"test.ini.a1-2c3", false},                        // not a suffix mkostemp makes
      {"other.ini.a1B2c3", false},                       // another file's temporary
      {"xtest.ini.a1B2c3", false},
  };
  for (const auto& c : cases) root_.write_file(std::string("config/") + c.name, "x");
  fs::create_directory(root_.file("config/test.ini.dirAB1"));  // only files go
  fs::create_symlink(root_.file("config/other.ini.a1B2c3"), root_.file("config/test.ini.lnkAB1"));

  EXPECT_EQ(ini_file_remove_stale_temps(path_.c_str()), 2);
  for (const auto& c : cases) {
    EXPECT_EQ(fs::exists(root_.file(std::string("config/") + c.name)), !c.removed) << c.name;
  }
  EXPECT_TRUE(fs::exists(root_.file("config/test.ini.dirAB1")));
  EXPECT_TRUE(fs::is_symlink(root_.file("config/test.ini.lnkAB1")));
  EXPECT_EQ(root_.log_count("left by a save that did not finish"), 2) << root_.log_text();
  EXPECT_EQ(ini_file_remove_stale_temps(root_.file("nowhere/test.ini").c_str()), 0);
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
