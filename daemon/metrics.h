// Health and lag figures in the Prometheus text format, written at the end of every update
// cycle to one file that node_exporter's textfile collector reads: how far behind each
// table is, how long a cycle takes, how large the pending queue is, how far the start-up
// rebuild has come.
#pragma once

#include <cstdint>
#include <string>

// How long the last cycle's phases took, and whether any of them failed.
struct cycle_timing {
  double merge_seconds = 0;
  double passes_seconds = 0;
  double write_seconds = 0;
  double total_seconds = 0;
  bool failed = false;
};

// Notes the process's start time (wall clock); called once at start-up.
void metrics_start();

// Takes in the cycle that just ended and, when `path` is not empty, replaces the file at
// `path` with the current figures (written beside it, then renamed). A failed write is
// logged at level 2, at most once per minute, and never disturbs the cycle.
void metrics_cycle_end(const cycle_timing& timing, const std::string& path);

// The current figures as exposition text.
std::string metrics_text();
