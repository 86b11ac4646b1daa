// A TCP proxy in front of the live test server that breaks the connection at chosen
// commands, as a failing network does: before a command reaches the server (it fails and
// nothing is applied), or once the server has answered it (the reply is lost: the command
// was applied, yet the client sees a failure). Everything else passes unchanged.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class fault_proxy {
 public:
  enum class fault { drop_request, lose_reply };

  // Listens on a free loopback port and forwards to the server of `upstream_url`
  // ("mongodb://HOST:PORT/...").
  explicit fault_proxy(const std::string& upstream_url);
  ~fault_proxy();
  fault_proxy(const fault_proxy&) = delete;
  fault_proxy& operator=(const fault_proxy&) = delete;

  // The URL to give a client instead of the server's.
  std::string url() const;
  // Breaks the next `times` commands named `command` ("update", "aggregate", ...) on
  // `collection` (-1: every one until disarm()).
  void arm(fault kind, const std::string& command, const std::string& collection, int times = 1);
  void disarm();
  // How many commands were broken so far.
  int broken() const { return broken_; }

 private:
  void accept_loop();
  void serve(int client);
  // Whether the client's message (one whole wire message) is to be broken, and how.
  bool matches(const std::string& message, fault& kind);

  std::string upstream_host_;
  int upstream_port_ = 0;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> broken_{0};
  std::mutex mutex_;  // guards the armed fault and the connection threads
  bool armed_ = false;
  fault kind_ = fault::drop_request;
  std::string command_;
  std::string collection_;
  int times_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

}  // namespace testing_support
