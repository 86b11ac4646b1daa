// The event loop on libuv: one private loop, one-shot timers and signal watchers. Each
// timer is allocated here, owned by the loop while live, and freed in its close callback.
//
// Signals are caught by a handler of our own that only notes the signal and wakes the
// loop (uv_async_send is async-signal-safe); the loop then runs the registered handlers.
// Because the note is ours, a long callback can also run them in the middle of its work
// (cl_signal_poll), which libuv's own signal watchers cannot offer: they are served only
// once the callback has returned.
#include "platform/loop.h"

#include <uv.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include "platform/log.h"

namespace {

// Every live handle of ours, so that cl_event_loop_close can close them all.
struct live_handle {
  live_handle* prev = nullptr;
  live_handle* next = nullptr;
  virtual ~live_handle() = default;
  virtual uv_handle_t* handle() = 0;
};

struct timer_handle final : live_handle {
  uv_timer_t timer{};
  cl_timer_callback callback = nullptr;
  void* arg = nullptr;
  uv_handle_t* handle() override { return reinterpret_cast<uv_handle_t*>(&timer); }
};

uv_loop_t g_loop;
bool g_loop_ready = false;
live_handle* g_live = nullptr;

// Signal handlers by number, and the notes of signals that arrived and were not yet
// served. The notes are the only state the signal handler itself touches.
cl_signal_handler g_handlers[NSIG] = {};
volatile sig_atomic_t g_arrived[NSIG] = {};
uv_async_t g_signal_wakeup;
bool g_wakeup_ready = false;
bool g_wakeup_closing = false;

uv_loop_t* loop() {
  if (!g_loop_ready) {
    int rc = uv_loop_init(&g_loop);
    if (rc != 0) {
      KLOG(1, "event loop init failed: %s", uv_strerror(rc));
      return nullptr;
    }
    g_loop_ready = true;
  }
  return &g_loop;
}

void link(live_handle* h) {
  h->next = g_live;
  if (g_live != nullptr) g_live->prev = h;
  g_live = h;
}

void unlink(live_handle* h) {
  if (h->prev != nullptr) h->prev->next = h->next;
  if (h->next != nullptr) h->next->prev = h->prev;
  if (g_live == h) g_live = h->next;
  h->prev = h->next = nullptr;
}

void on_close(uv_handle_t* handle) {
  auto* owner = static_cast<live_handle*>(handle->data);
  unlink(owner);
  delete owner;
}

void on_timer(uv_timer_t* timer) {
  auto* owner = static_cast<timer_handle*>(timer->data);
  cl_timer_callback callback = owner->callback;
  void* arg = owner->arg;
  // The handle goes first: the callback usually arms its successor at once.
  uv_close(owner->handle(), on_close);
  callback(arg);
}

// The process's handler of every watched signal: async-signal-safe work only.
void note_signal(int signal_number) {
  const int saved_errno = errno;
  g_arrived[signal_number] = 1;
  if (g_wakeup_ready) uv_async_send(&g_signal_wakeup);
  errno = saved_errno;
}

void on_wakeup(uv_async_t*) {
  cl_signal_poll();
}

void on_wakeup_closed(uv_handle_t*) {
  g_wakeup_closing = false;
}

// The wake-up handle; it keeps the loop waiting only while some signal is watched.
bool ensure_wakeup(uv_loop_t* l) {
  if (g_wakeup_ready) return true;
  int rc = uv_async_init(l, &g_signal_wakeup, on_wakeup);
  if (rc != 0) {
    KLOG(2, "signal watcher init failed: %s", uv_strerror(rc));
    return false;
  }
  g_wakeup_ready = true;
  return true;
}

void restore_default_signals() {
  for (int n = 1; n < NSIG; ++n) {
    if (g_handlers[n] == nullptr) continue;
    signal(n, SIG_DFL);
    g_handlers[n] = nullptr;
    g_arrived[n] = 0;
  }
}

}  // namespace

int cl_signal_setup(int signal_number, cl_signal_handler handler, int /*flags*/) {
  if (handler == nullptr || signal_number <= 0 || signal_number >= NSIG) return -1;
  uv_loop_t* l = loop();
  if (l == nullptr || !ensure_wakeup(l)) return -1;
  g_handlers[signal_number] = handler;
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls (the driver's socket reads) resume instead of failing.
  action.sa_flags = SA_RESTART;
  if (sigaction(signal_number, &action, nullptr) != 0) {
    KLOG(2, "signal %d watch failed: %s", signal_number, std::strerror(errno));
    g_handlers[signal_number] = nullptr;
    return -1;
  }
  return 0;
}

void cl_signal_poll() {
  for (int n = 1; n < NSIG; ++n) {
    if (!g_arrived[n]) continue;
    g_arrived[n] = 0;
    if (g_handlers[n] != nullptr) g_handlers[n](n);
  }
}

int cl_timer_start(uint64_t milliseconds, cl_timer_callback callback, void* arg) {
  if (callback == nullptr) return -1;
  uv_loop_t* l = loop();
  if (l == nullptr) return -1;
  auto* owner = new (std::nothrow) timer_handle;
  if (owner == nullptr) return -1;
  owner->callback = callback;
  owner->arg = arg;
  int rc = uv_timer_init(l, &owner->timer);
  if (rc != 0) {
    KLOG(2, "timer init failed: %s", uv_strerror(rc));
    delete owner;
    return -1;
  }
  owner->timer.data = owner;
  link(owner);
  // The delay counts from now, not from the start of the turn that arms the timer.
  uv_update_time(l);
  rc = uv_timer_start(&owner->timer, on_timer, milliseconds, 0);
  if (rc != 0) {
    KLOG(2, "timer start failed: %s", uv_strerror(rc));
    uv_close(owner->handle(), on_close);
    return -1;
  }
  return 0;
}

int cl_event_loop_once() {
  uv_loop_t* l = loop();
  if (l == nullptr) return -1;
  uv_run(l, UV_RUN_ONCE);
  return 0;
}

int64_t cl_event_loop_now() {
  uv_loop_t* l = loop();
  if (l == nullptr) return -1;
  return static_cast<int64_t>(uv_now(l));
}

void cl_event_loop_close() {
  if (!g_loop_ready) return;
  restore_default_signals();
  for (live_handle* h = g_live; h != nullptr; h = h->next) {
    if (!uv_is_closing(h->handle())) uv_close(h->handle(), on_close);
  }
  if (g_wakeup_ready) {
    g_wakeup_ready = false;
    g_wakeup_closing = true;
    uv_close(reinterpret_cast<uv_handle_t*>(&g_signal_wakeup), on_wakeup_closed);
  }
  // Close callbacks run on the loop; turn it until every handle of ours is gone.
  while (g_live != nullptr || g_wakeup_closing) uv_run(&g_loop, UV_RUN_NOWAIT);
  int rc = uv_loop_close(&g_loop);
  if (rc != 0) {
    KLOG(2, "event loop close failed: %s", uv_strerror(rc));
    return;  // keep the loop: it still owns handles and stays usable
  }
  g_loop_ready = false;
}
