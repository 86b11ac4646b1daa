// The memory probe's cgroup look-up, on stand-in /proc and /sys trees: which hierarchy and
// which cgroup it reads, the smallest limit on the way up, and what it ignores.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/memprobe.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t MiB = 1024 * 1024;
constexpr int64_t kMachine = 0;  // expected: the machine's memory

const char* const kV2Mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 "
    "rw,nsdelegate,memory_recursiveprot\n";
// A hybrid layout: v1 controllers, the v2 hierarchy (without controllers) beside them.
const char* const kHybridMounts =
    "32 23 0:29 / /sys/fs/cgroup ro,nosuid - tmpfs tmpfs ro,mode=755\n"
    "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime shared:9 - cgroup cgroup rw,cpu\n"
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime shared:12 - cgroup cgroup rw,memory\n"
    "42 32 0:39 / /sys/fs/cgroup/unified rw,relatime shared:7 - cgroup2 cgroup2 rw\n";
const char* const kService = "/system.slice/korveld.service";

struct probe_case {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // relative path, content
  int64_t expected;                                        // bytes, or kMachine
};

class MemProbeTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-memprobe-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    machine_ = static_cast<int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  }
  void TearDown() override {
    qrt_set_memory_probe_root(nullptr);
    fs::remove_all(root_);
  }

  void run(const probe_case& c) {
    fs::remove_all(root_);
    fs::create_directories(root_);
    for (const auto& [path, content] : c.files) {
      fs::path file = fs::path(root_) / path;
      fs::create_directories(file.parent_path());
      std::ofstream(file) << content;
    }
    qrt_set_memory_probe_root(root_.c_str());
    int64_t expected = c.expected == kMachine ? machine_ : c.expected;
    EXPECT_EQ(qrt_cgroup_memory_total(), expected) << c.name;
  }

  std::string root_;
  int64_t machine_ = 0;
};

std::string v2_file(const std::string& cgroup) {
  return "sys/fs/cgroup" + cgroup + "/memory.max";
}

TEST_F(MemProbeTreeTest, CgroupV2) {
  const std::string cgroup = std::string("0::") + kService + "\n";
  const probe_case cases[] = {
      {"the service's own limit",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", cgroup},
        {v2_file(kService), "536870912\n"},
        {v2_file("/system.slice"), "max\n"}},
       512 * MiB},
      {"a smaller limit on the slice above",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", cgroup},
        {v2_file(kService), "max\n"},
        {v2_file("/system.slice"), "268435456\n"}},
       256 * MiB},
      {"no limit anywhere",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", cgroup},
        {v2_file(kService), "max\n"},
        {v2_file("/system.slice"), "max\n"}},
       kMachine},
      {"a limit above the machine's memory",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", cgroup},
        {v2_file(kService), "9223372036854771712\n"}},
       kMachine},
      {"unreadable values are skipped, the readable one counts",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", "0::/a/b/c\n"},
        {v2_file("/a/b/c"), "12x\n"},
        {v2_file("/a/b"), "-1\n"},
        {v2_file("/a"), ""},
        {"sys/fs/cgroup/memory.max", "200000000\n"}},
       200000000},
      {"a limit on a cgroup that is not on the way up does not count",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", "0::/a/b\n"},
        {v2_file("/a/b"), "max\n"},
        {v2_file("/a/other"), "1048576\n"},
        {v2_file("/ab"), "1048576\n"}},
       kMachine},
      {"a container sees its own cgroup at the mount point",
       {{"proc/self/mountinfo",
         "30 23 0:26 /kubepods/pod1 /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"},
        {"proc/self/cgroup", "0::/kubepods/pod1/app\n"},
        {v2_file("/app"), "134217728\n"},
        {v2_file(""), "67108864\n"},
        {v2_file("/kubepods/pod1/app"), "1048576\n"}},
       64 * MiB},
      {"a cgroup outside the namespace's view reads only the top",
       {{"proc/self/mountinfo", kV2Mount},
        {"proc/self/cgroup", "0::/../other\n"},
        {v2_file(""), "100663296\n"},
        {"sys/fs/other/memory.max", "1048576\n"}},
       96 * MiB},
      {"a mount point with a blank in its name",
       {{"proc/self/mountinfo",
         "30 23 0:26 / /sys/fs/cgroup\\040v2 rw,relatime - cgroup2 cgroup2 rw\n"},
        {"proc/self/cgroup", "0::/svc\n"},
        {"sys/fs/cgroup v2/svc/memory.max", "335544320\n"}},
       320 * MiB},
  };
  for (const auto& c : cases) run(c);
}

TEST_F(MemProbeTreeTest, CgroupV1MemoryController) {
  const std::string cgroups =
      std::string("12:pids:/\n4:memory:") + kService + "\n1:cpu:/\n0::" + kService + "\n";
  const probe_case cases[] = {
      {"the v1 limit of the service, the levels above without one",
       {{"proc/self/mountinfo", kHybridMounts},
        {"proc/self/cgroup", cgroups},
        {std::string("sys/fs/cgroup/memory") + kService + "/memory.limit_in_bytes", "402653184\n"},
        {"sys/fs/cgroup/memory/system.slice/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"}},
       384 * MiB},
      {"v1 and v2 both limited: the smaller",
       {{"proc/self/mountinfo", kHybridMounts},
        {"proc/self/cgroup", cgroups},
        {std::string("sys/fs/cgroup/memory") + kService + "/memory.limit_in_bytes", "402653184\n"},
        {std::string("sys/fs/cgroup/unified") + kService + "/memory.max", "301989888\n"}},
       288 * MiB},
      {"the limit of another controller's hierarchy does not count",
       {{"proc/self/mountinfo", kHybridMounts},
        {"proc/self/cgroup", cgroups},
        {"sys/fs/cgroup/cpu/memory.limit_in_bytes", "1048576\n"},
        {std::string("sys/fs/cgroup/memory") + kService + "/memory.limit_in_bytes",
         "9223372036854771712\n"}},
       kMachine},
      {"memory mounted together with other controllers",
       {{"proc/self/mountinfo",
         "40 32 0:40 / /sys/fs/cgroup/cpu,memory rw - cgroup cgroup rw,cpu,memory\n"},
        {"proc/self/cgroup", "5:cpu,memory:/job\n"},
        {"sys/fs/cgroup/cpu,memory/job/memory.limit_in_bytes", "209715200\n"}},
       200 * MiB},
  };
  for (const auto& c : cases) run(c);
}

TEST_F(MemProbeTreeTest, WithoutProcTheUsualPlaces) {
  const probe_case cases[] = {
      {"v2 root file", {{"sys/fs/cgroup/memory.max", "201326592\n"}}, 192 * MiB},
      {"v1 root file", {{"sys/fs/cgroup/memory/memory.limit_in_bytes", "160000000\n"}}, 160000000},
      {"no cgroup mounted for the process's controllers",
       {{"proc/self/mountinfo", "20 1 8:1 / / rw - ext4 /dev/vda rw\n"},
        {"proc/self/cgroup", "0::/svc\n"},
        {"sys/fs/cgroup/memory.max", "150000000\n"}},
       150000000},
      {"nothing at all", {}, kMachine},
  };
  for (const auto& c : cases) run(c);
}

}  // namespace
