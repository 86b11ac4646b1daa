// Memory probe: the cgroup memory limit when one is set, else the machine's total memory.
#pragma once

#include <cstdint>

// Bytes available to the process; 0 or negative on failure.
int64_t qrt_cgroup_memory_total();

// Tests control the probe: while enabled, qrt_cgroup_memory_total returns `bytes`.
void qrt_set_memory_total_override(bool enabled, int64_t bytes);
