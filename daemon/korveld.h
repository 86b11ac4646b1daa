// The daemon: start-up, main loop, update-work cycle, housekeeping timers, pending-id dump
// and shutdown.
#pragma once

#include <cstdint>

#include "config/timing.h"  // g_stop_flag

extern volatile unsigned char g_reload_flag;
extern volatile unsigned char g_dump_flag;
extern int64_t g_last_time;            // wall-clock seconds at the start of the last cycle
extern int64_t g_agent_cache_drop_ms;  // loop time of the last agent cache drop

// Takes the exclusive lock on "@/.korveld.pid" or ends the process with status 1.
void check_single_instance();
// Start-up; 0 on success, -1 after a failure (resources released).
int korveld_init();
// Copies the settings of the configuration file into g_update_settings.
void reload_update_config();
// Turns the loop until g_stop_flag, then saves the progress and releases everything.
int korveld_run();
void release_all();

// Timer callbacks.
void update_work(void* arg);
void hourly_work(void* arg);
void update_ransom_work(void* arg);

// SIGUSR2: writes the pending event ids into the six files under "/tmp/ckorvel/".
void dump_pending_id();
// The same into another folder (tests).
void dump_pending_id_to(const char* dir);
