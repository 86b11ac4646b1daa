// Ordered writes to one collection in few commands, and what a failed command means for a
// retry. The write pass and the brute-force merge queue their updates and inserts here
// instead of sending one command per document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <mongoc/mongoc.h>

// How a failed database operation may end if it is tried again.
enum class db_failure {
  none,       // no failure
  transient,  // the server did not answer or cannot serve it now: try again later
  rejected,   // the server answered that it refuses this operation: a retry fails the same way
};

// Classifies a server error code (of a command or of one write error).
db_failure classify_error_code(int64_t code);
// Classifies the error of a failed driver call, with its reply when there is one (the
// reply's first write error decides when it has one).
db_failure classify_failure(const bson_error_t& error, const bson_t* reply);

// What ordered_writes::execute did. Operations are numbered in the order they were added:
// [0, applied) were applied; [applied, applied + unknown) may or may not have been (the
// command's reply was lost, or the server named a failing operation it may have named
// wrongly); the rest were not. A refused operation is the first unknown one on a server
// that reports it right, among the unknown ones on one that does not, and operation
// `applied` (with no unknown ones) when the driver refused to send it.
struct write_outcome {
  bool ok = true;  // every operation was applied
  size_t applied = 0;
  size_t unknown = 0;
  bool stopped = false;  // a stop request ended the writes between two commands
  db_failure failure = db_failure::none;
  int32_t rejected_code = 0;  // when the server rejected operation `applied`: its code
  std::string message;        // the driver's or the server's message
};

// Update statements per command that the server of `build_info` (its buildInfo reply;
// null when unknown) serves safely: FerretDB 1.24 (SQLite) keeps a connection per update
// statement until the command ends and hangs once a command has 100 of them, so on
// FerretDB, and on a server that did not say what it is, 50; on any other 1,000.
size_t update_bound_for(const bson_t* build_info);

// A queue of ordered single-document updates and inserts for one collection, sent by
// execute() in order, consecutive operations of one kind in one command each. Commands
// are bounded (see update_bound_for), and a bounded command lets a stop request in
// between be served quickly.
class ordered_writes {
 public:
  static constexpr size_t kUpdatesPerCommand = 50;  // FerretDB's bound
  static constexpr size_t kUpdatesPerCommandElsewhere = 1000;
  static constexpr size_t kInsertsPerCommand = 10000;

  // The bound of update statements per command for the connected server: asked once
  // (buildInfo) and kept; kUpdatesPerCommand until the server has answered.
  static size_t updates_per_command();

  explicit ordered_writes(const char* collection);
  ~ordered_writes();
  ordered_writes(const ordered_writes&) = delete;
  ordered_writes& operator=(const ordered_writes&) = delete;

  // Queues an update of the first document matching `selector` (no upsert). Both
  // documents are copied.
  void update_one(const bson_t* selector, const bson_t* update);
  // Queues an insert; the document is copied.
  void insert(const bson_t* document);
  // Queues an insert of a document the queue takes over (destroyed with the queue).
  void insert_adopt(bson_t* document);

  size_t size() const { return ops_.size(); }
  bool empty() const { return ops_.empty(); }
  // Drops every queued operation.
  void clear();

  // Sends the queued operations in order and stops at the first failure. Before every
  // command but the first `should_stop` (when given) is asked; true ends the writes there
  // (`stopped`). A failure is logged ("Fail to update %s info, error: %s" or "Fail to
  // insert, error: %s"). The queue is left as it was; clear() it for reuse.
  write_outcome execute(bool (*should_stop)() = nullptr);

 private:
  struct op {
    bool is_update;
    bson_t* selector;  // null for an insert
    bson_t* document;
  };
  // Sends operations [begin, end), all of one kind, as one ordered command; false with
  // `outcome` telling why when not all were applied.
  bool send(size_t begin, size_t end, write_outcome& outcome);
  std::string collection_;
  std::vector<op> ops_;
};
