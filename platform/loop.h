// The event loop (libuv): one-shot timers, signals delivered on the loop, the loop clock.
#pragma once

#include <cstdint>

typedef void (*cl_signal_handler)(int signal_number);
typedef void (*cl_timer_callback)(void* arg);

// Calls `handler` from the loop whenever the signal arrives. 0 on success.
int cl_signal_setup(int signal_number, cl_signal_handler handler, int flags);

// Runs, on the calling (loop) thread, the handlers of signals that arrived and were not yet
// served. For a long callback that must notice a stop request before it returns; the
// loop serves every signal itself otherwise.
void cl_signal_poll();

// Arms a one-shot timer that calls `callback(arg)` `milliseconds` after this call (the loop
// clock is brought up to date first). The timer frees itself when it fires. 0 on success.
int cl_timer_start(uint64_t milliseconds, cl_timer_callback callback, void* arg);

// Runs one turn: waits until a timer or signal is due, dispatches it, returns. 0, or -1
// when the loop cannot be created. Returns at once when nothing is armed or watched.
int cl_event_loop_once();

// The loop's clock in milliseconds (updated at the start of each turn and when a timer is
// armed).
int64_t cl_event_loop_now();

// Closes every timer and signal watcher and the loop itself (shutdown, tests); a later
// cl_* call starts a fresh loop. Not to be called from inside a callback.
void cl_event_loop_close();
