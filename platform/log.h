// Logging service: one rotated log file per process, levels 0 (fatal) to 4 (trace).
// Before autolog_init, messages go to standard error.
#pragma once

#include <cstddef>
#include <string>

// Messages of level L are produced only when s_log_level >= L. Default 3; autolog_init
// reads it from the level file "@/../config/autolog.ini" ([log] level = 0..4).
// Declared __thread rather than thread_local: a plain thread-local int needs no
// initialisation wrapper, so each KLOG test is one load (and g++ 12's sanitizer build
// mis-compiles the wrapper's null check).
extern __thread int s_log_level;

// Opens "<directory>/korveld.log", rotated by size, keeping `keep_files` files in all.
// 0 on success, -1 when the file cannot be opened (messages then stay on standard error).
int autolog_init(const char* directory, int keep_files);

// Flushes and closes the log file; later messages go to standard error again.
void autolog_close();

// Writes one line: time, level, source file name and line, and the formatted message
// (scrubbed as log_scrub does).
// Callers test s_log_level first (use KLOG), so arguments are never formatted in vain.
void error_output(int level, const char* source_file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Keeps `text` (a password) out of every later line of the log and of standard error:
// each occurrence is written as "***". Texts shorter than 4 bytes are not looked for
// (they would mask ordinary words); the credentials of a URL are masked anyway.
void log_hide(const char* text, size_t length);

// `line` as the log writes it: the hidden texts, and the credentials of any URL in it
// (what lies between "://" and the URL's last '@'), replaced by "***".
std::string log_scrub(const char* line, size_t length);

// The one way the daemon logs: tests the level before any argument is evaluated.
#define KLOG(level, ...)                                      \
  do {                                                        \
    if (s_log_level >= (level)) {                             \
      error_output((level), __FILE__, __LINE__, __VA_ARGS__); \
    }                                                         \
  } while (0)
