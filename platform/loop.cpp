// The event loop on libuv: one private loop, one-shot timers and signal watchers. Each
// handle is allocated here, owned by the loop while live, and freed in its close callback.
#include "platform/loop.h"

#include <uv.h>

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

struct signal_handle final : live_handle {
  uv_signal_t signal{};
  cl_signal_handler handler = nullptr;
  uv_handle_t* handle() override { return reinterpret_cast<uv_handle_t*>(&signal); }
};

uv_loop_t g_loop;
bool g_loop_ready = false;
live_handle* g_live = nullptr;

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

void on_signal(uv_signal_t* signal, int signal_number) {
  auto* owner = static_cast<signal_handle*>(signal->data);
  owner->handler(signal_number);
}

}  // namespace

int cl_signal_setup(int signal_number, cl_signal_handler handler, int /*flags*/) {
  if (handler == nullptr) return -1;
  uv_loop_t* l = loop();
  if (l == nullptr) return -1;
  auto* owner = new (std::nothrow) signal_handle;
  if (owner == nullptr) return -1;
  owner->handler = handler;
  int rc = uv_signal_init(l, &owner->signal);
  if (rc != 0) {
    KLOG(2, "signal watcher init failed: %s", uv_strerror(rc));
    delete owner;
    return -1;
  }
  owner->signal.data = owner;
  link(owner);
  rc = uv_signal_start(&owner->signal, on_signal, signal_number);
  if (rc != 0) {
    KLOG(2, "signal %d watch failed: %s", signal_number, uv_strerror(rc));
    uv_close(owner->handle(), on_close);
    return -1;
  }
  return 0;
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
  for (live_handle* h = g_live; h != nullptr; h = h->next) {
    if (!uv_is_closing(h->handle())) uv_close(h->handle(), on_close);
  }
  // Close callbacks run on the loop; turn it until every handle of ours is gone.
  while (g_live != nullptr) uv_run(&g_loop, UV_RUN_NOWAIT);
  int rc = uv_loop_close(&g_loop);
  if (rc != 0) {
    KLOG(2, "event loop close failed: %s", uv_strerror(rc));
    return;  // keep the loop: it still owns handles and stays usable
  }
  g_loop_ready = false;
}
