// The logging service: level gating, the line format, the level file, rotation and the
// standard-error fallback.
#include "platform/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tests/unit/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::test_root;

// Whether `text` starts with the time stamp of a log line: "2026-12-10 02:30:00.123 ".
bool starts_with_time(const std::string& text) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (text.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
  }
  return true;
}

TEST(LogTest, MessageWrittenOnlyWhenLevelAllowsAndArgumentsNotEvaluatedOtherwise) {
  test_root root;
  for (int threshold = 0; threshold <= 4; ++threshold) {
    for (int level = 0; level <= 4; ++level) {
      s_log_level = threshold;
      int evaluated = 0;
      KLOG(level, "gate t=%d l=%d n=%d", threshold, level, ++evaluated);
      std::string text =
          "gate t=" + std::to_string(threshold) + " l=" + std::to_string(level) + " n=1";
      bool expected = threshold >= level;
      EXPECT_EQ(root.log_contains(text), expected) << text;
      EXPECT_EQ(evaluated, expected ? 1 : 0) << text;
    }
  }
}

TEST(LogTest, LineHoldsTimeLevelSourceAndMessageExactly) {
  test_root root;
  const int line = __LINE__ + 1;
  KLOG(2, "update %s failed, ret is %d  ", "agent_level", -7);
  std::string expected_tail =
      " [2] log_test.cpp:" + std::to_string(line) + " update agent_level failed, ret is -7  \n";
  std::string text = root.log_text();
  ASSERT_GE(text.size(), expected_tail.size());
  EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail);
  EXPECT_TRUE(starts_with_time(text)) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
}

TEST(LogTest, TrailingNewlinesDroppedAndLongMessagesKeptWhole) {
  test_root root;
  KLOG(3, "with newline\n");
  std::string long_text(10000, 'x');
  long_text += "END";
  KLOG(3, "%s", long_text.c_str());
  std::string text = root.log_text();
  EXPECT_NE(text.find("with newline\n"), std::string::npos);
  EXPECT_EQ(text.find("with newline\n\n"), std::string::npos);
  EXPECT_NE(text.find(long_text + "\n"), std::string::npos);
}

TEST(LogTest, LevelFileSetsLevel) {
  struct level_case {
    const char* content;  // null: no level file
    int expected;
  };
  const level_case cases[] = {
      {"[log]\nlevel = 1\n", 1},  {"[LOG]\nLevel=4\n", 4},     {"[log]\nlevel = 0\n", 0},
      {"[log]\nlevel = 9\n", 3},  {"[log]\nlevel = -1\n", 3},  {"[log]\nlevel = two\n", 3},
      {"[log]\nlevel = 2x\n", 3}, {"[other]\nlevel = 1\n", 3}, {nullptr, 3},
  };
  test_root root;
  for (const level_case& c : cases) {
    fs::remove(root.file("config/autolog.ini"));
    if (c.content != nullptr) root.write_file("config/autolog.ini", c.content);
    s_log_level = 2;
    ASSERT_EQ(autolog_init(root.file("var/log/korvel").c_str(), 5), 0);
    EXPECT_EQ(s_log_level, c.expected) << (c.content ? c.content : "(no file)");
  }
}

TEST(LogTest, InstalledLevelFileGivesDefaultLevel) {
  test_root root;
  fs::copy_file(KORVEL_AUTOLOG_INI, root.file("config/autolog.ini"));
  s_log_level = 0;
  ASSERT_EQ(autolog_init(root.file("var/log/korvel").c_str(), 5), 0);
  EXPECT_EQ(s_log_level, 3);
}

TEST(LogTest, StandardErrorBeforeInitAndAfterClose) {
  autolog_close();
  s_log_level = 3;
  testing::internal::CaptureStderr();
  KLOG(3, "early %d", 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(starts_with_time(err)) << err;
  EXPECT_NE(err.find(" [3] log_test.cpp:"), std::string::npos) << err;
  EXPECT_EQ(err.substr(err.size() - 9), " early 1\n") << err;

  {
    test_root root;
    testing::internal::CaptureStderr();
    KLOG(3, "to the file");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(root.log_contains("to the file"));
  }  // closes the log

  testing::internal::CaptureStderr();
  KLOG(2, "late");
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("] log_test.cpp:"), std::string::npos) << err;
  EXPECT_NE(err.find(" late\n"), std::string::npos) << err;
}

TEST(LogTest, RotationKeepsTheGivenNumberOfFilesInAll) {
  test_root root;
  std::string dir = root.file("var/log/korvel");
  ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
  s_log_level = 3;
  // About 35 MiB: enough for three rotations at 10 MiB per file.
  std::string chunk(4096, 'r');
  for (int i = 0; i < 9000; ++i) KLOG(3, "%s", chunk.c_str());
  KLOG(3, "last line");
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    ++files;
    EXPECT_LE(entry.file_size(), 10u * 1024 * 1024 + 8192) << entry.path();
  }
  EXPECT_EQ(files, 3);
  EXPECT_TRUE(root.log_contains("last line"));
}

TEST(LogTest, InitFailsWhenTheFileCannotBeOpened) {
  test_root root;
  root.write_file("not-a-folder", "x");
  EXPECT_EQ(autolog_init(root.file("not-a-folder").c_str(), 5), -1);
  testing::internal::CaptureStderr();
  KLOG(1, "still reported");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("still reported"), std::string::npos);
}

}  // namespace

namespace {

TEST(LogScrubTest, HiddenTextsAndUrlCredentialsNeverReachALine) {
  log_hide("Qx7:Zk9@Wv3", 11);
  log_hide("Qx7%3AZk9%40Wv3", 15);
  log_hide("Zk9@", 4);  // inside a longer hidden text: masked with it
  log_hide("abc", 3);   // too short to look for
  log_hide(nullptr, 8);
  const struct {
    const char* line;
    const char* expected;
  } cases[] = {
      {"nothing to hide here", "nothing to hide here"},
      {"auth failed for Qx7:Zk9@Wv3!", "auth failed for ***!"},
      {"twice Qx7:Zk9@Wv3 and Qx7%3AZk9%40Wv3", "twice *** and ***"},
      {"tail Zk9@host", "tail ***host"},
      {"abc is an ordinary word", "abc is an ordinary word"},
      // Credentials of any URL, up to its last '@', whatever their length.
      {"url is mongodb://u:p@127.0.0.1:27017/db", "url is mongodb://***@127.0.0.1:27017/db"},
      {"mongodb://u:a@b@c@h/x 'mongodb+srv://k:v@c.example/'",
       "mongodb://***@h/x 'mongodb+srv://***@c.example/'"},
      {"mongodb://127.0.0.1:27017/ has none", "mongodb://127.0.0.1:27017/ has none"},
      {"x@y before ://host after", "x@y before ://host after"},
      {"ends with ://", "ends with ://"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(log_scrub(c.line, std::strlen(c.line)), c.expected) << c.line;
  }
}

TEST(LogScrubTest, TheFileAndStandardErrorGetScrubbedLines) {
  log_hide("S3cr%t-Pa55", 11);
  autolog_close();
  s_log_level = 4;
  testing::internal::CaptureStderr();
  KLOG(2, "before the log opens: %s mongodb://user:%s@h/", "S3cr%t-Pa55", "x");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("S3cr"), std::string::npos) << err;
  EXPECT_NE(err.find("before the log opens: *** mongodb://***@h/"), std::string::npos) << err;

  test_root root;
  KLOG(4, "in the file: %s", "S3cr%t-Pa55");
  EXPECT_TRUE(root.log_contains("in the file: ***")) << root.log_text();
  EXPECT_FALSE(root.log_contains("S3cr")) << root.log_text();
}

}  // namespace
