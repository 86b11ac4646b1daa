// Driver clients and the driver's own messages: a URL the driver could read in more than
// one way is refused, the URL's credentials never reach the log, and every message of the
// driver goes through korveld's log instead of standard error.
#pragma once

#include <mongoc/mongoc.h>

// Routes every message of the driver through korveld's log, with mapped levels. Every
// mongoc_db guard calls it, so it is in place before any client is made.
void install_driver_log();

// korveld's log level for a driver message level; -1 for tracing, which never reaches
// the log (it may dump wire traffic, credentials included).
int driver_log_level(mongoc_log_level_t level);

// True when the driver reads `url` one way only: the user name and password hold no
// unescaped reserved character (: / ? # [ ] @, or a % that starts no %XX escape) and
// no '@' follows them. A URL without credentials or of another scheme passes (the driver
// judges it).
bool mongo_url_unambiguous(const char* url);

// Keeps the URL's password, as written and decoded, out of every later log line (of an
// ambiguous URL: everything before its last '@').
void hide_url_credentials(const char* url);

// A client for `url`, its credentials hidden from the log first; the caller destroys it.
// Null when the URL is ambiguous (after a level-2 line that names no part of it) or when
// the driver rejects it (the driver's message has been logged).
mongoc_client_t* new_mongo_client(const char* url);
