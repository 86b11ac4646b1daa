// A TCP relay between db_conn and the test server that breaks the connection at one chosen
// command: the network failing in the middle of a merge run, with the real server serving
// everything before and after it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace bfa_testing {

class fault_relay {
 public:
  enum class cut {
    command,  // the command never reaches the server
    reply,    // the server gets the command and answers; the answer never arrives
  };

  // Relays to the host and port of `target_url` (mongodb://HOST:PORT/...).
  explicit fault_relay(const std::string& target_url);
  ~fault_relay();
  fault_relay(const fault_relay&) = delete;
  fault_relay& operator=(const fault_relay&) = delete;

  // The URL that reaches the server through the relay.
  std::string url() const;
  // Every later client message holding the command `name` on `collection` ({"find":
  // "anti_bfa_log"}) is cut as `how` says, the driver's own retries included.
  void arm(const std::string& name, const std::string& collection, cut how);
  // How many messages were cut since arm().
  int cuts() const { return cuts_; }
  // Waits until the server has answered every command whose answer was cut (it then
  // sees the connection end); false after `timeout_ms`.
  bool wait_answered(int timeout_ms = 10000);

 private:
  void run();
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::string target_host_;
  int target_port_ = 0;
  std::mutex mutex_;
  std::string pattern_;  // BSON element bytes of the armed command, empty when unarmed
  cut how_ = cut::command;
  std::atomic<int> cuts_{0};
  std::atomic<int> draining_{0};  // connections whose answer is being thrown away
  std::thread thread_;
};

}  // namespace bfa_testing
