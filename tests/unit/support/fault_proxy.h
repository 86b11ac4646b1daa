// A loopback TCP proxy in front of the live test server that breaks connections at chosen
// client messages, as a failing network does, and forwards everything else unchanged: the
// real server serves every command before and after the fault.
//
// One rule at a time is armed. It picks client messages (whole wire messages, however the
// reads split them) in one of two ways:
//  - arm(): by the first element of the command document, {command: collection}
//    ({"update": "agent_level"}), as the driver sends every command on a collection;
//  - arm_marker(): by a run of bytes anywhere in the message, for a collection named inside
//    the payload (a filter, a pipeline, the documents) rather than as the command's target,
//    or for a field of any command (the BSON element "\x02update\0" picks every update
//    command, whatever its collection).
// A picked message meets one fault:
//  - drop_request: the connection breaks before the message reaches the server: the
//    command fails and nothing of it is applied;
//  - lose_reply: the server gets the command and answers it; the proxy throws the answer
//    away and only then breaks the connection, so by the time the client sees the failure
//    the server has done the command.
// The rule breaks the next `times` picked messages. With 1, a read the driver retries after
// the network error (on a new connection) goes through; with `every`, the rule breaks every
// picked message until disarm() or the next arm, the driver's retries included.
//
// One thread accepts and one thread serves each connection; the destructor ends and joins
// them all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class fault_proxy {
 public:
  enum class fault { drop_request, lose_reply };
  // `times` for a rule that breaks every picked message, the driver's retries included.
  static constexpr int every = -1;
  // URI options for a client whose broken connections should fail a pass quickly rather
  // than wait out the driver's default timeouts.
  static constexpr const char* kShortTimeouts =
      "serverSelectionTimeoutMS=2000&connectTimeoutMS=2000&socketTimeoutMS=10000";

  // Listens on a free loopback port and forwards to the server of `upstream_url`
  // ("mongodb://HOST:PORT/...").
  explicit fault_proxy(const std::string& upstream_url);
  ~fault_proxy();
  fault_proxy(const fault_proxy&) = delete;
  fault_proxy& operator=(const fault_proxy&) = delete;

  // The URL to give a client instead of the server's, with URI `options` if any
  // ("socketTimeoutMS=10000&...").
  std::string url(const std::string& options = "") const;
  // Breaks the next `times` commands named `command` ("find", "update", ...) on
  // `collection`, replacing any armed rule.
  void arm(fault kind, const std::string& command, const std::string& collection, int times = 1);
  // Breaks the next `times` client messages that hold the bytes `marker`, replacing any
  // armed rule.
  void arm_marker(fault kind, const std::string& marker, int times = 1);
  // Lets every later message through.
  void disarm();
  // How many messages were broken since construction.
  int broken() const;
  // Waits until the server has answered every command whose answer is being thrown away
  // (or dropped its connection). Such a command can still be at work when the client gave
  // up on its connection before the answer came (its socket timeout); false after `timeout`.
  bool wait_answered(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct rule {
    bool armed = false;
    fault kind = fault::drop_request;
    std::string command;  // with collection: the command document's first element
    std::string collection;
    std::string marker;  // otherwise: bytes anywhere in the message
    int times = 0;       // still to break; `every`: no end
  };

  void accept_loop();
  void serve(int client);
  // Whether the client's `message` is to be broken, and how; counts it when it is.
  bool picks(const std::string& message, fault& kind);
  // One more / one less command whose answer is thrown away while the server works on it.
  void answer_pending();
  void answer_arrived();

  std::string upstream_host_;
  int upstream_port_ = 0;
  int listener_ = -1;
  int port_ = 0;
  int wake_ = -1;  // an eventfd, readable once the proxy is stopping

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable answered_;
  rule rule_;
  int broken_ = 0;
  int unanswered_ = 0;
  std::vector<std::thread> connections_;

  std::thread acceptor_;
};

}  // namespace testing_support
