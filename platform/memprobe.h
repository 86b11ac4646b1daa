// Memory probe: the smallest cgroup memory limit that applies to this process (its own
// cgroup and every one above it), else the machine's total memory.
#pragma once

#include <cstdint>

// Bytes available to the process; 0 or negative on failure.
int64_t qrt_cgroup_memory_total();

// Tests control the probe: while enabled, qrt_cgroup_memory_total returns `bytes`.
void qrt_set_memory_total_override(bool enabled, int64_t bytes);

// Tests point the probe at a stand-in tree: /proc and /sys are read below `root` (null or
// empty: the real ones). The machine's memory is still the real one.
void qrt_set_memory_probe_root(const char* root);
