// The small services: SHA-1 and hex, path expansion, bounded formatting, the memory probe
// and the tick clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/memprobe.h"
#include "platform/paths.h"
#include "platform/sha1.h"
#include "platform/strfmt.h"
#include "platform/tick.h"

namespace {

std::string sha1_hex_of(const std::string& data, size_t split) {
  sha1_context ctx;
  sha1_starts(&ctx);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  sha1_update(&ctx, bytes, split);
  sha1_update(&ctx, bytes + split, data.size() - split);
  unsigned char digest[20];
  sha1_finish(&ctx, digest);
  char hex[41];
  EXPECT_EQ(Hex_Encode(digest, 20, hex, sizeof(hex)), 0);
  return hex;
}

TEST(Sha1Test, KnownAnswers) {
  const struct {
    std::string data;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string("ab\0cd", 5), "cf76bf81edbf067731a98c6b7d2eb28824d38027"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    // Whole, and split over two updates: the digest must not depend on the pieces.
    EXPECT_EQ(sha1_hex_of(c.data, c.data.size()), c.digest) << c.data.size();
    EXPECT_EQ(sha1_hex_of(c.data, c.data.size() / 3), c.digest) << c.data.size();
  }
}

TEST(HexEncodeTest, LowerCaseAndBounded) {
  const unsigned char data[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
  char out[11];
  ASSERT_EQ(Hex_Encode(data, 5, out, 11), 0);
  EXPECT_STREQ(out, "000fa0ff5c");
  std::memset(out, 'z', sizeof(out));
  EXPECT_EQ(Hex_Encode(data, 5, out, 10), -1);
  EXPECT_EQ(out[9], 'z') << "nothing written past a too-small buffer";
  ASSERT_EQ(Hex_Encode(data, 0, out, 1), 0);
  EXPECT_STREQ(out, "");
}

class PathTest : public testing::Test {
 protected:
  void SetUp() override { dirutils_set_root(nullptr); }
  void TearDown() override { dirutils_set_root(nullptr); }
};

TEST_F(PathTest, ExpandsRootPrefixOnly) {
  dirutils_set_root("/opt/korvel/bin");
  const struct {
    const char* pattern;
    const char* expected;
  } cases[] = {
      {"@/../config/korvel.ini", "/opt/korvel/bin/../config/korvel.ini"},
      {"@/.korveld.pid", "/opt/korvel/bin/.korveld.pid"},
      {"@/", "/opt/korvel/bin/"},
      {"/tmp/ckorvel/x", "/tmp/ckorvel/x"},
      {"relative/@/x", "relative/@/x"},
      {"@x", "@x"},
      {"", ""},
  };
  for (const auto& c : cases) {
    char buffer[256];
    ASSERT_EQ(dirutils_path_transform(c.pattern, buffer, sizeof(buffer)), 0) << c.pattern;
    EXPECT_STREQ(buffer, c.expected);
  }
}

TEST_F(PathTest, DefaultRootIsTheExecutablesFolder) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string folder(exe, std::strrchr(exe, '/') - exe);
  char buffer[4096];
  ASSERT_EQ(dirutils_path_transform("@/../data/agent_registry.db", buffer, sizeof(buffer)), 0);
  EXPECT_EQ(std::string(buffer), folder + "/../data/agent_registry.db");
}

TEST_F(PathTest, TooSmallBufferGivesEmptyText) {
  dirutils_set_root("/opt/k/bin");
  const std::string expected = "/opt/k/bin/../config/x";  // 22 characters
  char buffer[64];
  ASSERT_EQ(dirutils_path_transform("@/../config/x", buffer, expected.size() + 1), 0);
  EXPECT_EQ(buffer, expected);
  std::memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(dirutils_path_transform("@/../config/x", buffer, expected.size()), -1);
  EXPECT_STREQ(buffer, "");
  std::memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(dirutils_path_transform("/plain/path", buffer, 5), -1);
  EXPECT_STREQ(buffer, "");
}

TEST(StrFormatTest, TruncatesAndTerminates) {
  char buffer[16];
  EXPECT_EQ(str_snprintf(buffer, sizeof(buffer), "%ld", 1765333800L), 10);
  EXPECT_STREQ(buffer, "1765333800");
  EXPECT_EQ(str_snprintf(buffer, 8, "%s", "abcdefghijk"), 11);
  EXPECT_STREQ(buffer, "abcdefg");
}

TEST(MemProbeTest, OverrideAndRealValue) {
  qrt_set_memory_total_override(true, 123456789);
  EXPECT_EQ(qrt_cgroup_memory_total(), 123456789);
  qrt_set_memory_total_override(true, 0);
  EXPECT_EQ(qrt_cgroup_memory_total(), 0);
  qrt_set_memory_total_override(false, 0);
  int64_t total = qrt_cgroup_memory_total();
  EXPECT_GT(total, 0);
  EXPECT_LE(total, static_cast<int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE));
}

TEST(TickTest, ManualOverrideAndMonotonicMilliseconds) {
  timer_init();
  timer_set_manual(true, 4294967000u);
  EXPECT_EQ(timer_get_ticks(), 4294967000u);
  EXPECT_EQ(timer_ticks2ms(timer_get_ticks()), 4294967000u);
  timer_set_manual(false, 0);

  uint32_t before = timer_get_ticks();
  timespec pause{0, 30 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  uint32_t elapsed = timer_ticks2ms(timer_get_ticks()) - timer_ticks2ms(before);
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
