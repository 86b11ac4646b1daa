// Logging service: one size-rotated log file per process on spdlog, lines formatted here
// so that the message reaches the file exactly as the caller formatted it.
#include "platform/log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/paths.h"

__thread int s_log_level = 3;

namespace {

constexpr size_t kMaxFileBytes = 10 * 1024 * 1024;
constexpr int kDefaultLevel = 3;
constexpr size_t kStackLine = 2048;

// A plain pointer, never destroyed at exit: global objects of other modules may still log
// from their destructors after this file's globals would have been torn down.
spdlog::logger* g_file_logger = nullptr;

// The level from "@/../config/autolog.ini" ([log] level = 0..4), or the default.
int read_level_file() {
  char path[4096];
  if (dirutils_path_transform("@/../config/autolog.ini", path, sizeof(path)) != 0) {
    return kDefaultLevel;
  }
  ini_file* ini = ini_file_load(path);
  if (ini == nullptr) return kDefaultLevel;
  int level = kDefaultLevel;
  const char* text = ini_file_get(ini, "log", "level");
  if (text != nullptr) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value >= 0 && value <= 4) level = static_cast<int>(value);
  }
  ini_file_free(ini);
  return level;
}

// "2026-12-10 02:30:00.123 [2] dbconn.cpp:45 " into `out`; returns its length.
size_t format_prefix(char* out, size_t size, int level, const char* source_file, int line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const char* base = source_file != nullptr ? std::strrchr(source_file, '/') : nullptr;
  base = base != nullptr ? base + 1 : (source_file != nullptr ? source_file : "?");
  int n = std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%d] %s:%d ",
                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, static_cast<long>(now.tv_nsec / 1000000), level,
                        base, line);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

constexpr size_t kMinHidden = 4;
constexpr char kMask[] = "***";

// Never destroyed: destructors of other modules' globals may still log at exit.
std::vector<std::string>& hidden_texts() {
  static auto* texts = new std::vector<std::string>();
  return *texts;
}

bool contains(const char* text, size_t length, const std::string& part) {
  return memmem(text, length, part.data(), part.size()) != nullptr;
}

// Whether `line` holds anything log_scrub would change (the common line holds nothing).
bool needs_scrub(const char* line, size_t length) {
  if (contains(line, length, "://")) return true;
  for (const std::string& text : hidden_texts()) {
    if (contains(line, length, text)) return true;
  }
  return false;
}

bool ends_url(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\'' || c == '"' || c == '<' ||
         c == '>';
}

void write_line(const char* text, size_t length) {
  std::string scrubbed;
  if (needs_scrub(text, length)) {
    scrubbed = log_scrub(text, length);
    text = scrubbed.data();
    length = scrubbed.size();
  }
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (g_file_logger != nullptr) {
    try {
      g_file_logger->log(spdlog::level::info, spdlog::string_view_t(text, length));
      return;
    } catch (const std::exception&) {
      // spdlog reports write failures on standard error itself; anything else ends there too.
    }
  }
  std::fwrite(text, 1, length, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

void log_hide(const char* text, size_t length) {
  if (text == nullptr || length < kMinHidden) return;
  std::string value(text, length);
  std::vector<std::string>& texts = hidden_texts();
  for (const std::string& known : texts) {
    if (known == value) return;
  }
  texts.push_back(std::move(value));
  // Longest first, so that a text holding another is masked whole.
  std::stable_sort(texts.begin(), texts.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string log_scrub(const char* line, size_t length) {
  std::string out(line, length);
  for (const std::string& text : hidden_texts()) {
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at)) {
      out.replace(at, text.size(), kMask);
      at += sizeof(kMask) - 1;
    }
  }
  for (size_t scheme = out.find("://"); scheme != std::string::npos;
       scheme = out.find("://", scheme)) {
    size_t start = scheme + 3;
    size_t end = start;
    while (end < out.size() && !ends_url(out[end])) ++end;
    size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start) {
      out.replace(start, at - start, kMask);
      end = start + sizeof(kMask) - 1;
    }
    scheme = end;
  }
  return out;
}

int autolog_init(const char* directory, int keep_files) {
  autolog_close();
  s_log_level = read_level_file();
  if (directory == nullptr || *directory == '\0') return -1;
  std::string file = std::string(directory) + "/korveld.log";
  // spdlog counts the rotated files only; keep_files counts the current one too.
  size_t rotated = keep_files > 1 ? static_cast<size_t>(keep_files - 1) : 0;
  try {
    auto sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file, kMaxFileBytes, rotated);
    auto logger = std::make_unique<spdlog::logger>("korveld-file", std::move(sink));
    logger->set_pattern("%v");
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    g_file_logger = logger.release();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "autolog_init: cannot open %s: %s\n", file.c_str(), e.what());
    return -1;
  }
  return 0;
}

void autolog_close() {
  if (g_file_logger == nullptr) return;
  spdlog::logger* logger = g_file_logger;
  g_file_logger = nullptr;
  try {
    logger->flush();
  } catch (const std::exception&) {
  }
  delete logger;
}

void error_output(int level, const char* source_file, int line, const char* format, ...) {
  char stack[kStackLine];
  size_t prefix = format_prefix(stack, sizeof(stack), level, source_file, line);

  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(stack + prefix, sizeof(stack) - prefix, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    write_line(stack, prefix);
    return;
  }
  size_t needed = prefix + static_cast<size_t>(n);
  if (needed < sizeof(stack)) {
    va_end(again);
    write_line(stack, needed);
    return;
  }
  // Long message: format again into a buffer of the right size.
  char* heap = static_cast<char*>(std::malloc(needed + 1));
  if (heap == nullptr) {
    va_end(again);
    write_line(stack, sizeof(stack) - 1);
    return;
  }
  std::memcpy(heap, stack, prefix);
  std::vsnprintf(heap + prefix, needed + 1 - prefix, format, again);
  va_end(again);
  write_line(heap, needed);
  std::free(heap);
}
