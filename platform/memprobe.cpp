// Memory probe: the smaller of the cgroup memory limit and the machine's physical memory.
// The limit is looked up from the process's own cgroup (a service manager puts its limit
// there) up to the root of the hierarchy, on cgroup v2 and on the v1 memory controller.
#include "platform/memprobe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool g_override = false;
int64_t g_override_bytes = 0;
std::string g_probe_root;  // prefix of /proc and /sys; empty for the real ones

// The first line of a small file as a byte count; -1 when absent, "max" or not a number.
int64_t read_limit(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "re");
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

// The smaller of two limits, where a value of 0 or below means "no limit".
int64_t smaller_limit(int64_t a, int64_t b) {
  if (a <= 0) return b > 0 ? b : -1;
  if (b <= 0) return a;
  return a < b ? a : b;
}

int64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return -1;
  return static_cast<int64_t>(pages) * static_cast<int64_t>(page_size);
}

// Every line of a text file, without its newline; false when it cannot be read.
bool read_lines(const std::string& path, std::vector<std::string>* lines) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return false;
  std::string line;
  int c;
  while ((c = std::fgetc(f)) != EOF) {
    if (c == '\n') {
      lines->push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) lines->push_back(line);
  std::fclose(f);
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool has_item(const std::string& list, const char* item) {
  for (const std::string& part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Where a cgroup hierarchy is mounted: the cgroup shown at the mount point (`root`, "/"
// unless a container sees only its own part) and the mount point.
struct cgroup_mount {
  std::string root;
  std::string point;
};

// The mount of the cgroup v2 hierarchy, or (v1) of the hierarchy that holds the memory
// controller; false when none is mounted.
bool find_mount(bool v1_memory, cgroup_mount* out) {
  std::vector<std::string> lines;
  if (!read_lines(g_probe_root + "/proc/self/mountinfo", &lines)) return false;
  for (const std::string& line : lines) {
    // ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPER_OPTIONS
    std::vector<std::string> fields = split(line, ' ');
    if (fields.size() < 10) continue;
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 3 >= fields.size()) continue;
    const std::string& type = fields[dash + 1];
    const std::string& super_options = fields[dash + 3];
    bool match =
        v1_memory ? type == "cgroup" && has_item(super_options, "memory") : type == "cgroup2";
    if (!match) continue;
    out->root = unescape(fields[3]);
    out->point = unescape(fields[4]);
    return true;
  }
  return false;
}

// The process's cgroup on the v2 hierarchy and on the v1 memory controller, from
// /proc/self/cgroup ("ID:CONTROLLERS:PATH"); empty where it has none.
bool read_cgroups(std::string* v2, std::string* v1_memory) {
  std::vector<std::string> lines;
  if (!read_lines(g_probe_root + "/proc/self/cgroup", &lines)) return false;
  for (const std::string& line : lines) {
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string id = line.substr(0, first);
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      *v2 = path;
    } else if (has_item(controllers, "memory")) {
      *v1_memory = path;
    }
  }
  return true;
}

bool leaves_its_root(const std::string& path) {
  for (const std::string& part : split(path, '/')) {
    if (part == "..") return true;
  }
  return false;
}

// The smallest limit in `file` from the cgroup up to the top of what the mount shows.
int64_t smallest_limit(const cgroup_mount& mount, const std::string& cgroup, const char* file) {
  // The cgroup below the mount point. A path that climbs out of the hierarchy's visible part
  // (a cgroup namespace shows other processes' cgroups as "/../x") leaves only the top.
  std::string below;
  if (!cgroup.empty() && cgroup[0] == '/' && !leaves_its_root(cgroup)) {
    const std::string& root = mount.root;
    if (root == "/") {
      below = cgroup;
    } else if (cgroup.compare(0, root.size(), root) == 0 &&
               (cgroup.size() == root.size() || cgroup[root.size()] == '/')) {
      below = cgroup.substr(root.size());
    }
  }
  while (!below.empty() && below.back() == '/') below.pop_back();
  int64_t limit = -1;
  for (;;) {
    limit = smaller_limit(limit, read_limit(g_probe_root + mount.point + below + "/" + file));
    if (below.empty()) return limit;
    below.erase(below.rfind('/'));
  }
}

// The cgroup limit that applies to the process; -1 when none is set or none can be read.
int64_t cgroup_limit() {
  std::string v2, v1_memory;
  bool walked = false;
  int64_t limit = -1;
  if (read_cgroups(&v2, &v1_memory)) {
    cgroup_mount mount;
    if (!v2.empty() && find_mount(false, &mount)) {
      limit = smaller_limit(limit, smallest_limit(mount, v2, "memory.max"));
      walked = true;
    }
    if (!v1_memory.empty() && find_mount(true, &mount)) {
      limit = smaller_limit(limit, smallest_limit(mount, v1_memory, "memory.limit_in_bytes"));
      walked = true;
    }
  }
  if (walked) return limit;
  // Without /proc: the limits at the usual mount points.
  limit = read_limit(g_probe_root + "/sys/fs/cgroup/memory.max");
  if (limit <= 0) limit = read_limit(g_probe_root + "/sys/fs/cgroup/memory/memory.limit_in_bytes");
  return limit;
}

}  // namespace

int64_t qrt_cgroup_memory_total() {
  if (g_override) return g_override_bytes;
  int64_t physical = physical_memory();
  if (physical <= 0) return physical;
  int64_t limit = cgroup_limit();
  // cgroup v1 reports "no limit" as a huge number: anything above the machine is no limit.
  if (limit > 0 && limit < physical) return limit;
  return physical;
}

void qrt_set_memory_total_override(bool enabled, int64_t bytes) {
  g_override = enabled;
  g_override_bytes = bytes;
}

void qrt_set_memory_probe_root(const char* root) {
  g_probe_root = root == nullptr ? "" : root;
}
