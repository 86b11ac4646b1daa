// Tick clock: the monotonic clock in milliseconds, as 32 bits (wraps every ~49 days).
#pragma once

#include <cstdint>

void timer_init();
uint32_t timer_get_ticks();
uint32_t timer_ticks2ms(uint32_t ticks);

// Tests drive the clock: while enabled, timer_get_ticks returns `ms` instead of the clock.
void timer_set_manual(bool enabled, uint32_t ms);
