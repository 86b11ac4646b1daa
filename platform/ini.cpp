// INI files on iniparser. A save goes through a temporary file in the same folder that is
// renamed over the target, so readers see either the old file or the new one, never a mix.
#include "platform/ini.h"

#include <fcntl.h>
#include <iniparser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
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

mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0644 & ~mask;
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
  if (handle == nullptr || path == nullptr || *path == '\0') return -1;
  std::string temp = std::string(path) + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    KLOG(2, "ini save: cannot create a temporary file beside %s: %s", path, std::strerror(errno));
    return -1;
  }
  // The new file takes the place of the old one, with its permissions.
  struct stat old {};
  mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 07777) : new_file_mode();
  bool ok = fchmod(fd, mode) == 0;

  FILE* out = ok ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    close(fd);
    ok = false;
  } else {
    ok = write_ini(handle->dict, out);
    ok = ok && std::fflush(out) == 0 && !std::ferror(out) && fsync(fileno(out)) == 0;
    ok = std::fclose(out) == 0 && ok;
  }
  if (ok && rename(temp.c_str(), path) != 0) ok = false;
  if (!ok) {
    KLOG(2, "ini save: cannot write %s: %s", path, std::strerror(errno));
    unlink(temp.c_str());
    return -1;
  }
  sync_folder(path);
  return 0;
}

void ini_file_free(ini_file* handle) {
  if (handle == nullptr) return;
  iniparser_freedict(handle->dict);
  delete handle;
}
