// Driver clients: the URL check before the driver parses anything, the credentials kept
// out of the log, and the driver's log handler.
#include "db/client.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/log.h"

namespace {

// The credentials of a URL, as positions in its text.
struct url_parts {
  bool mongodb = false;                // of scheme mongodb:// or mongodb+srv://
  size_t start = 0;                    // first byte after "://"
  size_t at = std::string_view::npos;  // the '@' that ends the credentials, npos without
};

url_parts split(std::string_view url) {
  url_parts parts;
  for (std::string_view scheme : {"mongodb://", "mongodb+srv://"}) {
    if (url.substr(0, scheme.size()) == scheme) {
      parts.mongodb = true;
      parts.start = scheme.size();
    }
  }
  if (parts.mongodb) parts.at = url.find('@', parts.start);
  return parts;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A user name or password as the URL writes it: no reserved character, escapes complete.
bool cleanly_escaped(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (std::strchr(":/?#[]@", c) != nullptr) return false;
    if (c == '%' && (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2]))) {
      return false;
    }
  }
  return true;
}

void hide(std::string_view text) {
  log_hide(text.data(), text.size());
}

void driver_log(mongoc_log_level_t level, const char* domain, const char* message, void*) {
  int ours = driver_log_level(level);
  if (ours < 0 || s_log_level < ours) return;
  // One message, one log line.
  std::string text = message != nullptr ? message : "";
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  error_output(ours, __FILE__, __LINE__, "mongoc %s: %s", domain != nullptr ? domain : "",
               text.c_str());
}

}  // namespace

void install_driver_log() {
  mongoc_log_set_handler(driver_log, nullptr);
  mongoc_log_trace_disable();
}

int driver_log_level(mongoc_log_level_t level) {
  switch (level) {
    case MONGOC_LOG_LEVEL_ERROR:
    case MONGOC_LOG_LEVEL_CRITICAL:
      return 1;
    case MONGOC_LOG_LEVEL_WARNING:
      return 2;
    case MONGOC_LOG_LEVEL_MESSAGE:
      return 3;
    case MONGOC_LOG_LEVEL_INFO:
    case MONGOC_LOG_LEVEL_DEBUG:
      return 4;
    case MONGOC_LOG_LEVEL_TRACE:
      return -1;
  }
  return 4;
}

bool mongo_url_unambiguous(const char* url) {
  if (url == nullptr) return true;
  std::string_view text(url);
  url_parts parts = split(text);
  if (!parts.mongodb || parts.at == std::string_view::npos) return true;
  // The driver ends the credentials at the first '@' and the host list at the first '/':
  // anything else there means a reserved character was not escaped.
  if (text.find('/', parts.start) < parts.at) return false;
  if (text.find('@', parts.at + 1) != std::string_view::npos) return false;
  std::string_view credentials = text.substr(parts.start, parts.at - parts.start);
  size_t colon = credentials.find(':');
  std::string_view user = credentials.substr(0, colon);
  std::string_view password =
      colon == std::string_view::npos ? std::string_view() : credentials.substr(colon + 1);
  return cleanly_escaped(user) && cleanly_escaped(password);
}

void hide_url_credentials(const char* url) {
  if (url == nullptr) return;
  std::string_view text(url);
  url_parts parts = split(text);
  if (!parts.mongodb || parts.at == std::string_view::npos) return;
  if (!mongo_url_unambiguous(url)) {
    size_t last_at = text.rfind('@');
    std::string_view credentials = text.substr(parts.start, last_at - parts.start);
    hide(credentials);
    size_t colon = credentials.find(':');
    if (colon != std::string_view::npos) hide(credentials.substr(colon + 1));
    return;
  }
  std::string_view credentials = text.substr(parts.start, parts.at - parts.start);
  size_t colon = credentials.find(':');
  if (colon == std::string_view::npos) return;  // a user name alone is no secret
  std::string password(credentials.substr(colon + 1));
  hide(password);
  char* decoded = mongoc_uri_unescape(password.c_str());
  if (decoded != nullptr) {
    hide(decoded);
    bson_free(decoded);
  }
}

mongoc_client_t* new_mongo_client(const char* url) {
  hide_url_credentials(url);
  if (!mongo_url_unambiguous(url)) {
    KLOG(2,
         "the database URL can be read in more than one way: write the reserved characters "
         "of its user name and password (: / ? # [ ] @ %%) as %%XX escapes");
    return nullptr;
  }
  return mongoc_client_new(url);
}
