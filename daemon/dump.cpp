// SIGUSR2: the ids of every pending event, one per line, in six files by kind of event.
// The folder lies in /tmp, where anyone may plant things: links are never followed, the
// files are private to the daemon's user, and a folder others can write to is refused.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "compare/pending.h"
#include "compare/table_catalogue.h"
#include "daemon/korveld.h"
#include "db/dbconn.h"
#include "db/owners.h"
#include "platform/log.h"

namespace {

constexpr int kDumpFiles = 6;
constexpr const char* kFileNames[kDumpFiles] = {
    "korveld_virus_file_log.txt", "korveld_ransom_file_log.txt", "korveld_webshell_log.txt",
    "korveld_anti_bfa_log.txt",   "korveld_domain_log.txt",      "korveld_nofile_log.txt",
};

// The file a category code goes to, or -1 for none.
int file_for_code(int32_t code) {
  if (code <= 3) return 0;
  switch (code) {
    case 4:
      return 1;
    case 20:
      return 2;
    case 40:
      return 3;
    case 30:
      return 4;
    case 50:
    case 70:
      return 5;
    default:
      return -1;
  }
}

// The dump folder is usable when it is a real folder (not a link) owned by this user or
// root that others cannot write to. A missing folder is no error: nobody asked for files.
bool dump_folder_usable(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) KLOG(2, "pending id dump: cannot inspect %s: %m", dir.c_str());
    return false;
  }
  if (!S_ISDIR(st.st_mode) || (st.st_uid != geteuid() && st.st_uid != 0) ||
      (st.st_mode & S_IWOTH) != 0) {
    KLOG(2, "pending id dump refused: %s is not a private folder of this user or root",
         dir.c_str());
    return false;
  }
  return true;
}

// Opens (truncating) one dump file without following a link at its last component and
// without blocking on a FIFO; only regular files are written, readable by their owner only.
FILE* open_dump_file(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == ELOOP)
      KLOG(2, "pending id dump: %s is a symbolic link, not written", path.c_str());
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fchmod(fd, 0600) != 0 ||
      ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) close(fd);
  return file;
}

void write_pending_id(FILE* const files[kDumpFiles], int32_t code, const char* id) {
  int index = file_for_code(code);
  if (index < 0 || files[index] == nullptr) return;
  std::fputs(id, files[index]);
  std::fputc('\n', files[index]);
  std::fflush(files[index]);
}

}  // namespace

void dump_pending_id_to(const char* dir) {
  FILE* files[kDumpFiles] = {nullptr};
  const std::string folder(dir);
  if (dump_folder_usable(folder)) {
    for (int i = 0; i < kDumpFiles; ++i) files[i] = open_dump_file(folder + "/" + kFileNames[i]);
  }

  int size = 0;
  for (const auto& [log_id, info] : g_pending_events) {
    write_pending_id(files, info.virus_type, log_id.c_str());
    ++size;
  }

  if (g_pending_in_db == 1) {
    const char* name = get_table_name(TABLE_AGENT_LEVEL_PENDING_LOG);
    bson_owner filter(dbbase::new_document());
    cursor_owner cursor;
    db_conn.query(name, filter.get(), nullptr, cursor.address());
    if (cursor.get() != nullptr) {
      const bson_t* doc;
      std::string id;
      int32_t code = 0;
      while (mongoc_cursor_next(cursor.get(), &doc)) {
        if (!dbconn::get_string(doc, "_id", id) || !dbconn::get_int32(doc, "virus_type", &code)) {
          break;
        }
        write_pending_id(files, code, id.c_str());
        ++size;
      }
    }
  }

  KLOG(4, "finish dump pending id,size is %d", size);
  g_dump_flag = 0;
  for (FILE* file : files) {
    if (file != nullptr) std::fclose(file);
  }
}

void dump_pending_id() {
  dump_pending_id_to("/tmp/ckorvel");
}
