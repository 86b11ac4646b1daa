// INI files on iniparser. A save goes through a temporary file in the same folder that is
// renamed over the target, so readers see either the old file or the new one, never a mix;
// only where the folder refuses that is the file rewritten in place.
#include "platform/ini.h"

#include <dirent.h>
#include <fcntl.h>
#include <iniparser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/log.h"

struct ini_file {
  dictionary* dict;
};

namespace {

// iniparser reports syntax errors on standard error by default; send them to the log.
int ini_error_to_log(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (n < 0) return n;
  // One report spans several lines ("...:\n-> bad line\n"); keep it on one log line.
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == '\n') *c = ' ';
  }
  KLOG(2, "%s", text);
  return n;
}

void install_error_callback() {
  static bool installed = false;
  if (!installed) {
    iniparser_set_error_callback(ini_error_to_log);
    installed = true;
  }
}

// "section:key" (the form iniparser looks up) into `out`; false when it does not fit.
bool entry_name(const char* section, const char* key, char* out, size_t size) {
  int n = std::snprintf(out, size, "%s:%s", section, key);
  return n >= 0 && static_cast<size_t>(n) < size;
}

// How a value must be written so that iniparser reads it back unchanged: bare when it holds
// nothing the parser would cut or strip, else quoted; 0 when no form fits.
char quote_for(const char* value) {
  size_t length = std::strlen(value);
  if (length == 0) return ' ';
  unsigned char first = static_cast<unsigned char>(value[0]);
  unsigned char last = static_cast<unsigned char>(value[length - 1]);
  bool plain = std::strpbrk(value, ";#") == nullptr && !std::isspace(first) && first != '"' &&
               first != '\'' && !std::isspace(last) && last != '\\';
  if (plain) return ' ';
  if (std::strchr(value, '"') == nullptr) return '"';
  if (std::strchr(value, '\'') == nullptr) return '\'';
  return 0;
}

bool representable(const char* value) {
  return std::strpbrk(value, "\r\n") == nullptr && quote_for(value) != 0;
}

// Writes every section and its keys. iniparser's own dump writes values bare, which loses
// whatever follows a ';' or '#' on the next load.
bool write_ini(const dictionary* dict, FILE* out) {
  int sections = iniparser_getnsec(dict);
  std::vector<const char*> keys;
  for (int i = 0; i < sections; ++i) {
    const char* section = iniparser_getsecname(dict, i);
    if (section == nullptr) return false;
    if (std::fprintf(out, "[%s]\n", section) < 0) return false;
    int count = iniparser_getsecnkeys(dict, section);
    keys.assign(static_cast<size_t>(count > 0 ? count : 0), nullptr);
    if (count > 0 && iniparser_getseckeys(dict, section, keys.data()) == nullptr) return false;
    size_t prefix = std::strlen(section) + 1;  // "section:"
    for (const char* entry : keys) {
      const char* value = iniparser_getstring(dict, entry, "");
      char quote = quote_for(value);
      if (quote == 0) return false;
      int n = quote == ' '
                  ? std::fprintf(out, "%s = %s\n", entry + prefix, value)
                  : std::fprintf(out, "%s = %c%s%c\n", entry + prefix, quote, value, quote);
      if (n < 0) return false;
    }
    if (std::fputc('\n', out) == EOF) return false;
  }
  return true;
}

mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// The file's text as write_ini renders it; false when it cannot be rendered.
bool render_ini(const dictionary* dict, std::string* text) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  if (out == nullptr) return false;
  bool ok = write_ini(dict, out);
  ok = std::fclose(out) == 0 && ok;
  if (ok) text->assign(data, size);
  std::free(data);
  return ok;
}

bool write_all_at(int fd, const std::string& text, off_t offset) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n =
        pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Failures that say the folder will not take a new file or a rename (permissions, a
// read-only mount, the file being a mount point of its own), not that the data is bad.
bool folder_refuses(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == EBUSY || error == EXDEV;
}

// Makes a rename inside `path`'s folder durable; best effort.
void sync_folder(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// The save where the folder refuses (`cause`): the existing file takes the new text in
// place. The text goes in before the old tail is cut, so the file is never empty.
int rewrite_in_place(const char* path, const std::string& text, int cause) {
  int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    // No file to rewrite (or not writable either): the folder's refusal is the reason.
    int error = errno == ENOENT ? cause : errno;
    KLOG(2, "ini save: cannot write %s: %s", path, std::strerror(error));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    KLOG(2, "ini save: cannot write %s: not a regular file", path);
    close(fd);
    return -1;
  }
  // Said once per file and process: a confined service rewrites its file at every save.
  static auto* reported = new std::set<std::string>();
  if (reported->insert(path).second) {
    KLOG(2, "ini save: the folder of %s refuses a replacement (%s): rewriting the file in place",
         path, std::strerror(cause));
  }
  bool ok = write_all_at(fd, text, 0) && ftruncate(fd, static_cast<off_t>(text.size())) == 0 &&
            fsync(fd) == 0;
  int error = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    KLOG(2, "ini save: cannot write %s: %s", path, std::strerror(error));
    return -1;
  }
  return 0;
}

// True when `name` is `base` followed by the suffix mkostemp puts on our temporaries.
bool is_temp_of(const char* name, const std::string& base) {
  if (std::strncmp(name, base.c_str(), base.size()) != 0 || name[base.size()] != '.') return false;
  const char* suffix = name + base.size() + 1;
  if (std::strlen(suffix) != 6) return false;
  for (const char* c = suffix; *c != '\0'; ++c) {
    if (!std::isalnum(static_cast<unsigned char>(*c))) return false;
  }
  return true;
}

}  // namespace

ini_file* ini_file_load(const char* path) {
  if (path == nullptr) return nullptr;
  // A missing file is an ordinary answer for the callers, not an error worth a log line.
  if (access(path, R_OK) != 0) return nullptr;
  install_error_callback();
  dictionary* dict = iniparser_load(path);
  if (dict == nullptr) return nullptr;
  ini_file* handle = new (std::nothrow) ini_file{dict};
  if (handle == nullptr) iniparser_freedict(dict);
  return handle;
}

ini_file* ini_file_new() {
  dictionary* dict = dictionary_new(0);
  if (dict == nullptr) return nullptr;
  ini_file* handle = new (std::nothrow) ini_file{dict};
  if (handle == nullptr) dictionary_del(dict);
  return handle;
}

const char* ini_file_get(ini_file* handle, const char* section, const char* key) {
  if (handle == nullptr || section == nullptr || key == nullptr) return nullptr;
  char entry[1024];
  if (!entry_name(section, key, entry, sizeof(entry))) return nullptr;
  return iniparser_getstring(handle->dict, entry, nullptr);
}

int ini_file_set(ini_file* handle, const char* section, const char* key, const char* value) {
  if (handle == nullptr || section == nullptr || key == nullptr || value == nullptr) return -1;
  if (*section == '\0' || *key == '\0') return -1;
  char entry[1024];
  if (!entry_name(section, key, entry, sizeof(entry))) return -1;
  // A line break would end the value early and could smuggle in keys of its own.
  if (!representable(value)) return -1;
  // iniparser only writes keys under sections it knows of.
  if (!iniparser_find_entry(handle->dict, section) &&
      iniparser_set(handle->dict, section, nullptr) != 0) {
    return -1;
  }
  return iniparser_set(handle->dict, entry, value) == 0 ? 0 : -1;
}

int ini_file_save(ini_file* handle, const char* path, int /*flags*/) {
  return ini_file_save_mode(handle, path, 0644);
}

int ini_file_save_mode(ini_file* handle, const char* path, unsigned new_mode) {
  if (handle == nullptr || path == nullptr || *path == '\0') return -1;
  std::string text;
  if (!render_ini(handle->dict, &text)) {
    KLOG(2, "ini save: cannot render %s", path);
    return -1;
  }
  std::string temp = std::string(path) + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    if (folder_refuses(error)) return rewrite_in_place(path, text, error);
    KLOG(2, "ini save: cannot create a temporary file beside %s: %s", path, std::strerror(error));
    return -1;
  }
  // The new file takes the place of the old one, with its permissions; it is complete
  // before anybody can see it under the target's name.
  struct stat old {};
  mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 07777)
                                      : (static_cast<mode_t>(new_mode) & 07777 & ~current_umask());
  bool ok = fchmod(fd, mode) == 0 && write_all_at(fd, text, 0) && fsync(fd) == 0;
  int error = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    KLOG(2, "ini save: cannot write %s: %s", path, std::strerror(error));
    unlink(temp.c_str());
    return -1;
  }
  if (rename(temp.c_str(), path) != 0) {
    error = errno;
    unlink(temp.c_str());
    if (folder_refuses(error)) return rewrite_in_place(path, text, error);
    KLOG(2, "ini save: cannot write %s: %s", path, std::strerror(error));
    return -1;
  }
  sync_folder(path);
  return 0;
}

int ini_file_remove_stale_temps(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  std::string whole(path);
  size_t slash = whole.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : whole.substr(0, slash));
  std::string base = slash == std::string::npos ? whole : whole.substr(slash + 1);
  if (base.empty()) return 0;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (dirent* entry = readdir(dir)) {
    if (!is_temp_of(entry->d_name, base)) continue;
    struct stat st {};
    // Only plain files: never follow a link out of the folder.
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) {
      KLOG(3, "removed %s/%s, left by a save that did not finish", folder.c_str(), entry->d_name);
      ++removed;
    }
  }
  closedir(dir);
  return removed;
}

void ini_file_free(ini_file* handle) {
  if (handle == nullptr) return;
  iniparser_freedict(handle->dict);
  delete handle;
}
