// Path expansion: "@/" stands for the folder of the running executable, so an installation
// tree can be moved as a whole.
#include "platform/paths.h"

#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

// Plain arrays: the daemon's global objects expand paths while they are constructed, and
// these must be usable before (and after) any constructor or destructor of this file runs.
char g_root_override[PATH_MAX];
bool g_root_overridden = false;
char g_exe_folder[PATH_MAX];
bool g_exe_folder_read = false;

// The executable's folder, read once; empty when /proc/self/exe cannot be read.
const char* executable_folder() {
  if (!g_exe_folder_read) {
    g_exe_folder_read = true;
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) {
      path[n] = '\0';
      char* slash = std::strrchr(path, '/');
      if (slash == path) {
        std::strcpy(g_exe_folder, "/");
      } else if (slash != nullptr) {
        *slash = '\0';
        std::memcpy(g_exe_folder, path, static_cast<size_t>(slash - path) + 1);
      }
    }
  }
  return g_exe_folder;
}

}  // namespace

int dirutils_path_transform(const char* pattern, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  buffer[0] = '\0';
  if (pattern == nullptr) return -1;

  const char* root = "";
  size_t root_len = 0;
  const char* rest = pattern;
  if (pattern[0] == '@' && pattern[1] == '/') {
    root = g_root_overridden ? g_root_override : executable_folder();
    root_len = std::strlen(root);
    if (root_len == 0) return -1;
    // "/" as the root must not give "//x".
    if (root_len > 0 && root[root_len - 1] == '/') --root_len;
    rest = pattern + 1;  // keeps the '/'
  }
  size_t rest_len = std::strlen(rest);
  if (root_len + rest_len + 1 > size) return -1;
  std::memcpy(buffer, root, root_len);
  std::memcpy(buffer + root_len, rest, rest_len + 1);
  return 0;
}

void dirutils_set_root(const char* dir) {
  // A folder too long to hold is not cut short: "@/" then keeps its default.
  if (dir == nullptr || std::strlen(dir) >= sizeof(g_root_override)) {
    g_root_overridden = false;
    g_root_override[0] = '\0';
    return;
  }
  std::strcpy(g_root_override, dir);
  g_root_overridden = true;
}
