// Memory probe: the smaller of the cgroup memory limit and the machine's physical memory.
#include "platform/memprobe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool g_override = false;
int64_t g_override_bytes = 0;

// The first line of a small file as a byte count; -1 when absent, "max" or not a number.
int64_t read_limit(const char* path) {
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return -1;
  char line[64] = {};
  bool ok = std::fgets(line, sizeof(line), f) != nullptr;
  std::fclose(f);
  if (!ok) return -1;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(line, &end, 10);
  if (end == line || errno != 0 || (*end != '\n' && *end != '\0')) return -1;  // "max" too
  if (value > static_cast<unsigned long long>(INT64_MAX)) return -1;
  return static_cast<int64_t>(value);
}

int64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return -1;
  return static_cast<int64_t>(pages) * static_cast<int64_t>(page_size);
}

}  // namespace

int64_t qrt_cgroup_memory_total() {
  if (g_override) return g_override_bytes;
  int64_t physical = physical_memory();
  if (physical <= 0) return physical;
  int64_t limit = read_limit("/sys/fs/cgroup/memory.max");
  if (limit <= 0) limit = read_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes");
  // cgroup v1 reports "no limit" as a huge number: anything above the machine is no limit.
  if (limit > 0 && limit < physical) return limit;
  return physical;
}

void qrt_set_memory_total_override(bool enabled, int64_t bytes) {
  g_override = enabled;
  g_override_bytes = bytes;
}
