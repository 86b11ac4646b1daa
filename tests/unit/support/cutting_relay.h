// A loopback relay in front of the test server that drops every connection on which the
// client sends a command naming one collection, and passes everything else through: a
// server that stops answering for some commands in the middle of a pass, so that the
// pass's own read succeeds and a later write of the pending queue fails on the network.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

class cutting_relay {
 public:
  // `upstream_url`: "mongodb://HOST:PORT/..."; `marker`: bytes whose appearance in what the
  // client sends cuts that connection (the driver writes each command in one piece).
  cutting_relay(const std::string& upstream_url, std::string marker) : marker_(std::move(marker)) {
    const std::string rest = upstream_url.substr(upstream_url.find("//") + 2);
    const std::string host_port = rest.substr(0, rest.find_first_of("/?"));
    const size_t colon = host_port.rfind(':');
    upstream_.sin_family = AF_INET;
    upstream_.sin_port = htons(static_cast<uint16_t>(std::stoi(host_port.substr(colon + 1))));
    inet_pton(AF_INET, host_port.substr(0, colon).c_str(), &upstream_.sin_addr);

    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    listen(listen_fd_, 16);
    socklen_t length = sizeof(local);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~cutting_relay() {
    stop_ = true;
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& t : relays_) t.join();
    close(listen_fd_);
  }

  cutting_relay(const cutting_relay&) = delete;
  cutting_relay& operator=(const cutting_relay&) = delete;

  // A URL for db_conn that reaches the server through the relay.
  std::string url() const {
    return "mongodb://127.0.0.1:" + std::to_string(port_) +
           "/?serverSelectionTimeoutMS=2000&connectTimeoutMS=2000&socketTimeoutMS=10000";
  }
  // Connections dropped so far.
  int cuts() const { return cuts_; }

 private:
  void accept_loop() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = accept(listen_fd_, nullptr, nullptr);
      if (client < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      relays_.emplace_back([this, client] { relay(client); });
    }
  }

  void relay(int client) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(server, reinterpret_cast<const sockaddr*>(&upstream_), sizeof(upstream_)) != 0) {
      close(server);
      close(client);
      return;
    }
    std::vector<char> buffer(1 << 16);
    while (!stop_) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      bool open = true;
      for (int side = 0; side < 2 && open; ++side) {
        if ((p[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(p[side].fd, buffer.data(), buffer.size());
        if (n <= 0) {
          open = false;
          break;
        }
        if (side == 0 && std::string_view(buffer.data(), static_cast<size_t>(n)).find(marker_) !=
                             std::string_view::npos) {
          ++cuts_;
          open = false;
          break;
        }
        const int to = side == 0 ? server : client;
        for (ssize_t sent = 0; sent < n && open;) {
          const ssize_t w = write(to, buffer.data() + sent, static_cast<size_t>(n - sent));
          if (w <= 0) open = false;
          sent += w;
        }
      }
      if (!open) break;
    }
    close(server);
    close(client);
  }

  std::string marker_;
  sockaddr_in upstream_{};
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> cuts_{0};
  std::mutex mutex_;
  std::vector<std::thread> relays_;
  std::thread acceptor_;
};
