// Progress store: where each incremental reader stopped, by table type. Only entry 5
// (the brute-force origin log) survives restarts, through the progress file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <bson/bson.h>

struct last_key {
  std::string last_update_id;    // empty when unset
  int64_t last_update_time = 0;  // seconds; milliseconds for table 10
};

extern std::map<int32_t, last_key> g_last_keys;

// Finds or creates the entry of `type` and sets both fields (level-4 trace line).
void save_last_key(int32_t type, const std::string& id, int64_t time);

// Copies the entry of `type` into the outputs when it exists; never creates one.
void get_last_key(int32_t type, int64_t& time, std::string& id);

// Finds or creates entry 5 and fills it from the progress file.
void load_last_keys();

// Saves the progress of a pass when it goes out of scope armed: calls `save(type, doc)`
// and logs "save_last_update_time failed: %s" when that returns false. `doc` must stay
// valid while the guard is armed.
class last_key_guard {
 public:
  using save_fn = bool (*)(int32_t type, const bson_t* document);
  last_key_guard(int32_t type, save_fn save) : type_(type), save_(save) {}
  ~last_key_guard();
  last_key_guard(const last_key_guard&) = delete;
  last_key_guard& operator=(const last_key_guard&) = delete;

  void arm(const bson_t* document) {
    document_ = document;
    armed_ = true;
  }
  void disarm() { armed_ = false; }

 private:
  bool armed_ = false;
  int32_t type_;
  save_fn save_;
  const bson_t* document_ = nullptr;
};
