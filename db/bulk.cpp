// Ordered writes in bounded commands, and the classification of failures into those worth
// retrying and those the server will refuse again.
#include "db/bulk.h"

#include <cstring>

#include "db/dbconn.h"
#include "platform/log.h"

namespace {

// Server codes of conditions that pass: an unreachable or stepping-down primary, a node
// shutting down, a timeout, a lock or write conflict, a stale routing table.
constexpr int64_t kTransientCodes[] = {
    6,      // HostUnreachable
    7,      // HostNotFound
    24,     // LockTimeout
    46,     // LockBusy
    50,     // MaxTimeMSExpired
    63,     // StaleShardVersion
    64,     // WriteConcernFailed
    89,     // NetworkTimeout
    91,     // ShutdownInProgress
    112,    // WriteConflict
    117,    // ConflictingOperationInProgress
    133,    // FailedToSatisfyReadPreference
    150,    // StaleEpoch
    189,    // PrimarySteppedDown
    202,    // NetworkInterfaceExceededTimeLimit
    262,    // ExceededTimeLimit
    9001,   // SocketException
    10107,  // NotWritablePrimary
    11600,  // InterruptedAtShutdown
    11601,  // Interrupted
    11602,  // InterruptedDueToReplStateChange
    13388,  // StaleConfig
    13435,  // NotPrimaryNoSecondaryOk
    13436,  // NotPrimaryOrSecondary
};

// The first write error of a reply: its index, code and message. False when it has none.
bool first_write_error(const bson_t* reply, int64_t& index, int32_t& code, std::string& message) {
  bson_iter_t iter;
  bson_iter_t errors;
  if (reply == nullptr || !bson_iter_init_find(&iter, reply, "writeErrors") ||
      !BSON_ITER_HOLDS_ARRAY(&iter) || !bson_iter_recurse(&iter, &errors)) {
    return false;
  }
  while (bson_iter_next(&errors)) {
    bson_iter_t field;
    if (!BSON_ITER_HOLDS_DOCUMENT(&errors) || !bson_iter_recurse(&errors, &field)) continue;
    index = -1;
    code = -1;  // a rejection without a code is still a rejection
    message.clear();
    while (bson_iter_next(&field)) {
      const char* key = bson_iter_key(&field);
      if (std::strcmp(key, "index") == 0) index = bson_iter_as_int64(&field);
      if (std::strcmp(key, "code") == 0) code = static_cast<int32_t>(bson_iter_as_int64(&field));
      if (std::strcmp(key, "errmsg") == 0 && BSON_ITER_HOLDS_UTF8(&field)) {
        message = bson_iter_utf8(&field, nullptr);
      }
    }
    if (index >= 0) return true;
  }
  return false;
}

}  // namespace

db_failure classify_error_code(int64_t code) {
  for (int64_t transient : kTransientCodes) {
    if (code == transient) return db_failure::transient;
  }
  return db_failure::rejected;
}

db_failure classify_failure(const bson_error_t& error, const bson_t* reply) {
  int64_t index = 0;
  int32_t code = 0;
  std::string message;
  if (first_write_error(reply, index, code, message)) return classify_error_code(code);
  if (reply != nullptr && mongoc_error_has_label(reply, "RetryableWriteError")) {
    return db_failure::transient;
  }
  switch (error.domain) {
    case MONGOC_ERROR_BSON:
      return db_failure::rejected;  // a document the driver cannot even encode
    case MONGOC_ERROR_CLIENT:
      return error.code == MONGOC_ERROR_CLIENT_TOO_BIG ? db_failure::rejected
                                                       : db_failure::transient;
    case MONGOC_ERROR_COMMAND:
      return error.code == MONGOC_ERROR_COMMAND_INVALID_ARG ? db_failure::rejected
                                                            : classify_error_code(error.code);
    case MONGOC_ERROR_SERVER:
    case MONGOC_ERROR_QUERY:
    case MONGOC_ERROR_COLLECTION:
      return classify_error_code(error.code);
    default:
      // The stream, server selection, protocol, write concern: nothing the data decides.
      return db_failure::transient;
  }
}

ordered_writes::ordered_writes(const char* collection) : collection_(collection) {}

ordered_writes::~ordered_writes() {
  clear();
}

void ordered_writes::update_one(const bson_t* selector, const bson_t* update) {
  ops_.push_back(op{true, bson_copy(selector), bson_copy(update)});
}

void ordered_writes::insert(const bson_t* document) {
  ops_.push_back(op{false, nullptr, bson_copy(document)});
}

void ordered_writes::insert_adopt(bson_t* document) {
  ops_.push_back(op{false, nullptr, document});
}

void ordered_writes::clear() {
  for (op& o : ops_) {
    if (o.selector != nullptr) bson_destroy(o.selector);
    bson_destroy(o.document);
  }
  ops_.clear();
}

size_t update_bound_for(const bson_t* build_info) {
  bson_iter_t iter;
  if (build_info == nullptr || bson_iter_init_find(&iter, build_info, "ferretdbVersion")) {
    return ordered_writes::kUpdatesPerCommand;
  }
  return ordered_writes::kUpdatesPerCommandElsewhere;
}

size_t ordered_writes::updates_per_command() {
  static size_t bound = 0;
  if (bound != 0) return bound;
  mongoc_client_t* client = db_conn.get_client();
  if (client == nullptr) return kUpdatesPerCommand;
  bson_t command = BSON_INITIALIZER;
  BSON_APPEND_INT32(&command, "buildInfo", 1);
  bson_t reply;
  bson_error_t error;
  const bool answered =
      mongoc_client_command_simple(client, "admin", &command, nullptr, &reply, &error);
  if (answered) bound = update_bound_for(&reply);
  bson_destroy(&reply);
  bson_destroy(&command);
  return answered ? bound : kUpdatesPerCommand;
}

write_outcome ordered_writes::execute(bool (*should_stop)()) {
  write_outcome outcome;
  size_t begin = 0;
  while (begin < ops_.size()) {
    if (begin > 0 && should_stop != nullptr && should_stop()) {
      outcome.ok = false;
      outcome.stopped = true;
      return outcome;
    }
    // The next command: a run of one kind, bounded.
    const bool updates = ops_[begin].is_update;
    const size_t bound = updates ? updates_per_command() : kInsertsPerCommand;
    size_t end = begin;
    while (end < ops_.size() && ops_[end].is_update == updates && end - begin < bound) ++end;
    if (!send(begin, end, outcome)) {
      outcome.ok = false;
      const op& failed = ops_[outcome.applied < ops_.size() ? outcome.applied : begin];
      if (failed.is_update) {
        KLOG(2, "Fail to update %s info, error: %s", collection_.c_str(), outcome.message.c_str());
      } else {
        KLOG(2, "Fail to insert, error: %s", outcome.message.c_str());
      }
      return outcome;
    }
    begin = end;
  }
  return outcome;
}

bool ordered_writes::send(size_t begin, size_t end, write_outcome& outcome) {
  mongoc_collection_t* handle = db_conn.get_collection(collection_.c_str());
  if (handle == nullptr) {
    // Nothing reached the server.
    outcome.failure = db_failure::transient;
    outcome.message = "no collection handle";
    return false;
  }
  bson_t opts = BSON_INITIALIZER;
  BSON_APPEND_BOOL(&opts, "ordered", true);
  mongoc_bulk_operation_t* bulk = mongoc_collection_create_bulk_operation_with_opts(handle, &opts);
  bson_destroy(&opts);

  // An operation the driver refuses to queue (say, an update without operators) fails
  // here; the ones before it are still sent, so that it is the first failure.
  bson_error_t refusal;
  std::memset(&refusal, 0, sizeof(refusal));
  size_t refused = end;
  for (size_t i = begin; i < end; ++i) {
    const op& o = ops_[i];
    const bool queued =
        o.is_update ? mongoc_bulk_operation_update_one_with_opts(bulk, o.selector, o.document,
                                                                 nullptr, &refusal)
                    : mongoc_bulk_operation_insert_with_opts(bulk, o.document, nullptr, &refusal);
    if (!queued) {
      refused = i;
      break;
    }
  }

  bson_t reply;
  bson_error_t error;
  std::memset(&error, 0, sizeof(error));
  bool ok = true;
  if (refused > begin) {
    ok = mongoc_bulk_operation_execute(bulk, &reply, &error) != 0;
  } else {
    bson_init(&reply);
  }
  mongoc_bulk_operation_destroy(bulk);

  if (ok) {
    bson_destroy(&reply);
    outcome.applied += refused - begin;
    if (refused == end) return true;
    outcome.failure = db_failure::rejected;
    outcome.message = refusal.message;
    return false;
  }

  int64_t index = 0;
  int32_t code = 0;
  std::string message;
  if (first_write_error(&reply, index, code, message) &&
      static_cast<size_t>(index) < refused - begin) {
    // Ordered: everything before the failing operation was applied, nothing after it. Not
    // every server names the right one (FerretDB 1.24 reports index 0 for any failed
    // update), so the rest of the command is left for the caller to verify.
    outcome.applied += static_cast<size_t>(index);
    outcome.unknown = refused - begin - static_cast<size_t>(index);
    outcome.failure = classify_error_code(code);
    outcome.rejected_code = code;
    outcome.message = message.empty() ? error.message : message;
  } else {
    // No reply that tells what happened (or only a write concern error): the command may
    // have been applied in part or in full.
    outcome.unknown = refused - begin;
    outcome.failure = classify_failure(error, &reply);
    outcome.message = error.message;
  }
  bson_destroy(&reply);
  return false;
}
