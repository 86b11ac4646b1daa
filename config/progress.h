// Progress store: where each incremental reader stopped, by table type. Only entry 5
// (the brute-force origin log) survives restarts, through the progress file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <bson/bson.h>

struct last_key {
  std::string last_update_id;    // empty when unset; an ObjectId as its 24 hex characters
  int64_t last_update_time = 0;  // seconds; milliseconds for table 10
  // The BSON type of the id, so that a pass compares it as the server stores it: a string
  // or an ObjectId. Entry 5 (the merge's, saved in the progress file) is always text.
  bson_type_t last_update_id_type = BSON_TYPE_UTF8;
};

extern std::map<int32_t, last_key> g_last_keys;

// Finds or creates the entry of `type` and sets its fields (level-4 trace line).
void save_last_key(int32_t type, const std::string& id, int64_t time,
                   bson_type_t id_type = BSON_TYPE_UTF8);

// Copies the entry of `type` into the outputs (`id_type` when given) when it exists;
// never creates one.
void get_last_key(int32_t type, int64_t& time, std::string& id, bson_type_t* id_type = nullptr);

// Finds or creates entry 5 and fills it from the progress file.
void load_last_keys();

// Saves the progress of a comparison pass when it goes out of scope armed. A cursor's
// documents die at its next call, so the pass keeps the id and time of its progress
// document here (storage reused across documents). Armed with a readable key, the
// destructor stores it with save_last_key; armed with an unreadable one it leaves the key
// as it was and logs "save_last_update_time failed: %s". Defined in compare/cmp_pass.cpp.
class last_key_guard {
 public:
  explicit last_key_guard(int32_t type) : type_(type) {}
  ~last_key_guard();
  last_key_guard(const last_key_guard&) = delete;
  last_key_guard& operator=(const last_key_guard&) = delete;

  // Fill id(), id_type() and time() first; `key_read` false when they could not be read.
  void arm(bool key_read) {
    armed_ = true;
    key_read_ = key_read;
  }
  void disarm() { armed_ = false; }
  bool armed() const { return armed_; }

  std::string& id() { return id_; }
  bson_type_t& id_type() { return id_type_; }
  int64_t& time() { return time_; }

 private:
  bool armed_ = false;
  bool key_read_ = false;
  int32_t type_;
  std::string id_;
  bson_type_t id_type_ = BSON_TYPE_UTF8;
  int64_t time_ = 0;
};
