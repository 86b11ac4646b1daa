// Tick clock: the monotonic clock in milliseconds, truncated to 32 bits. One tick is one
// millisecond, so converting ticks to milliseconds changes nothing.
#include "platform/tick.h"

#include <ctime>

namespace {
bool g_manual = false;
uint32_t g_manual_ms = 0;
}  // namespace

void timer_init() {}

uint32_t timer_get_ticks() {
  if (g_manual) return g_manual_ms;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t timer_ticks2ms(uint32_t ticks) {
  return ticks;
}

void timer_set_manual(bool enabled, uint32_t ms) {
  g_manual = enabled;
  g_manual_ms = ms;
}
