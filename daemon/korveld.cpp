// korveld's process frame: single-instance lock, start-up, the main loop, and the orderly
// stop that saves the brute-force progress and releases everything.
#include "daemon/korveld.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "agent/agent_info.h"
#include "agent_level/refresh.h"
#include "compare/cleanup.h"
#include "compare/table_catalogue.h"
#include "config/config.h"
#include "config/progress.h"
#include "daemon/metrics.h"
#include "db/client.h"
#include "db/dbconn.h"
#include "platform/log.h"
#include "platform/loop.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/secret.h"
#include "platform/tick.h"

static mongoc_db g_mongoc_guard;

volatile unsigned char g_reload_flag = 0;
volatile unsigned char g_dump_flag = 0;

namespace {

constexpr uint64_t kHourlyMs = 3600000;
constexpr uint64_t kRansomMs = 600000;

// Held open (close-on-exec) for the life of the process: the lock is the descriptor's.
int g_lock_fd = -1;

void on_stop(int) {
  g_stop_flag = 1;
}
void on_reload(int) {
  g_reload_flag = 1;
}
void on_dump(int) {
  g_dump_flag = 1;
}

[[noreturn]] void lock_failed(const char* format, const char* path) {
  if (path != nullptr) {
    std::fprintf(stderr, format, path);
  } else {
    std::fputs(format, stderr);
  }
  sleep(3);
  std::exit(1);
}

int init_failed() {
  KLOG(2, "korveld_init failed");
  release_all();
  return -1;
}

// Steps that the daemon can run without: the statistics client, the agent registry and
// the agent information cache. Each failure skips the rest of them.
void start_optional_services() {
  char url[129] = {0};
  int ret = get_business_value("mongo", "default_mongodb_url", 0, 1, url, 128);
  if (ret < 0) {
    KLOG(1, "get decrypt failed, ret is %d, url is %s", ret, url);
    return;
  }
  statistics_client = new_mongo_client(url);
  if (statistics_client == nullptr) {
    KLOG(2, "mongodb init failed");
    return;
  }
  ret = rdb_attach(&g_rdb_handle);
  if (ret != 0) {
    KLOG(2, "rdb init failed: %d", ret);
    return;
  }
  g_agent_info_cache = new agent_info_cache(g_rdb_handle);
}

}  // namespace

void check_single_instance() {
  char path[4096] = {0};
  dirutils_path_transform("@/.korveld.pid", path, sizeof(path));
  int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) lock_failed("can not open lock file: %s\n", path);
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
    lock_failed("can not set close_exec: %s\n", path);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    lock_failed("Another korveld instance is running\n", nullptr);
  g_lock_fd = fd;
}

void reload_update_config() {
  g_update_settings = g_config.get_update_config();
  g_reload_flag = 0;
}

int korveld_init() {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  timer_init();
  check_single_instance();

  char log_dir[256] = {0};
  dirutils_path_transform("@/../var/log/korvel", log_dir, sizeof(log_dir));
  autolog_init(log_dir, 5);

  cl_signal_setup(SIGINT, on_stop, 0);
  cl_signal_setup(SIGTERM, on_stop, 0);
  cl_signal_setup(SIGUSR1, on_reload, 0);
  cl_signal_setup(SIGUSR2, on_dump, 0);

  reload_update_config();

  if (!db_conn.connect()) {
    KLOG(1, "fail to init db");
    return init_failed();
  }

  start_optional_services();

  if (!get_max_calc_count()) {
    KLOG(2, "get_max_calc_count failed");
    return init_failed();
  }

  if (!clean_pending_collection()) {
    sleep(2);
    release_all();
    return -1;
  }

  load_last_keys();
  // Before the timers: making the figures takes a moment the timers must not count.
  metrics_start();

  cl_timer_start(static_cast<uint64_t>(g_update_settings.update_interval), update_work, nullptr);
  cl_timer_start(kHourlyMs, hourly_work, nullptr);
  cl_timer_start(kRansomMs, update_ransom_work, nullptr);

  KLOG(3, "start korvel server...\n");
  return 0;
}

int korveld_run() {
  while (!g_stop_flag) {
    if (g_reload_flag) {
      KLOG(3, "reload the update config");
      reload_update_config();
    }
    if (g_dump_flag) {
      KLOG(3, "start dump pending id");
      dump_pending_id();
    }
    cl_event_loop_once();
  }

  const last_key progress = g_last_keys[TABLE_ANTI_BFA_ORIGIN_LOG];
  if (!g_config.save_anti_last_update_time(progress)) {
    KLOG(2, "save_anti_last_update_time : %ld failed when exit",
         static_cast<long>(progress.last_update_time));
  }
  release_all();
  return 0;
}

void release_all() {
  if (g_agent_info_cache != nullptr) {
    delete g_agent_info_cache;
    g_agent_info_cache = nullptr;
  }
  if (statistics_client != nullptr) {
    mongoc_client_destroy(statistics_client);
    statistics_client = nullptr;
  }
  rdb_detach(&g_rdb_handle);
  db_conn.close();
  mongoc_cleanup();
}
