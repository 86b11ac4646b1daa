// Small owners that destroy a BSON document or a cursor on every path.
#pragma once

#include <mongoc/mongoc.h>

// Owns a bson_t from bson_new / dbbase::new_document / BCON_NEW / bson_new_from_json.
class bson_owner {
 public:
  explicit bson_owner(bson_t* doc = nullptr) : doc_(doc) {}
  ~bson_owner() { reset(); }
  bson_owner(bson_owner&& other) noexcept : doc_(other.doc_) { other.doc_ = nullptr; }
  bson_owner& operator=(bson_owner&& other) noexcept {
    if (this != &other) {
      reset(other.doc_);
      other.doc_ = nullptr;
    }
    return *this;
  }
  bson_owner(const bson_owner&) = delete;
  bson_owner& operator=(const bson_owner&) = delete;

  bson_t* get() const { return doc_; }
  bson_t* release() {
    bson_t* d = doc_;
    doc_ = nullptr;
    return d;
  }
  void reset(bson_t* doc = nullptr) {
    if (doc_ != nullptr) bson_destroy(doc_);
    doc_ = doc;
  }
  explicit operator bool() const { return doc_ != nullptr; }

 private:
  bson_t* doc_;
};

// Owns a cursor handed out by query/find; pass address() where a mongoc_cursor_t** is due.
class cursor_owner {
 public:
  cursor_owner() = default;
  ~cursor_owner() { reset(); }
  cursor_owner(const cursor_owner&) = delete;
  cursor_owner& operator=(const cursor_owner&) = delete;

  mongoc_cursor_t* get() const { return cursor_; }
  mongoc_cursor_t** address() { return &cursor_; }
  void reset() {
    if (cursor_ != nullptr) mongoc_cursor_destroy(cursor_);
    cursor_ = nullptr;
  }

 private:
  mongoc_cursor_t* cursor_ = nullptr;
};
