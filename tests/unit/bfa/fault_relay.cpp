// The relay's one thread: accepts the driver's connections, opens one to the server for
// each, and copies bytes both ways, reading the driver's side whole message by whole
// message (each starts with its length) so that the armed command is seen wherever the
// reads split it.
#include "tests/unit/bfa/fault_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <list>
#include <vector>

#include <bson/bson.h>
#include <gtest/gtest.h>

namespace bfa_testing {
namespace {

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int connect_to(const std::string& host, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The bytes of the BSON element {name: collection} as it appears inside a command.
std::string element_bytes(const std::string& name, const std::string& collection) {
  bson_t doc = BSON_INITIALIZER;
  bson_append_utf8(&doc, name.c_str(), -1, collection.c_str(), -1);
  // Without the document's 4-byte length and its closing 0.
  std::string bytes(reinterpret_cast<const char*>(bson_get_data(&doc)) + 4, doc.len - 5);
  bson_destroy(&doc);
  return bytes;
}

struct link {
  int client = -1;
  int server = -1;
  std::string pending;    // bytes from the client not yet forwarded
  bool draining = false;  // the reply is being thrown away
};

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

fault_relay::fault_relay(const std::string& target_url) {
  // mongodb://HOST:PORT/...
  const size_t start = target_url.find("://") + 3;
  const size_t colon = target_url.find(':', start);
  target_host_ = target_url.substr(start, colon - start);
  target_port_ = std::stoi(target_url.substr(colon + 1));

  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe(wake_) != 0) {
    ADD_FAILURE() << "fault relay: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

fault_relay::~fault_relay() {
  if (thread_.joinable()) {
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
  }
  close_fd(wake_[0]);
  close_fd(wake_[1]);
  close_fd(listen_fd_);
}

bool fault_relay::wait_answered(int timeout_ms) {
  for (int waited = 0; draining_ > 0; waited += 10) {
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string fault_relay::url() const {
  return "mongodb://127.0.0.1:" + std::to_string(port_) + "/";
}

void fault_relay::arm(const std::string& name, const std::string& collection, cut how) {
  std::lock_guard<std::mutex> lock(mutex_);
  pattern_ = element_bytes(name, collection);
  how_ = how;
  cuts_ = 0;
}

void fault_relay::run() {
  std::list<link> links;
  std::vector<pollfd> fds;
  std::vector<std::pair<link*, bool>> owners;  // per pollfd: its link, and whether client side
  char buffer[65536];
  for (;;) {
    fds.clear();
    owners.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    owners.push_back({nullptr, false});
    fds.push_back({listen_fd_, POLLIN, 0});
    owners.push_back({nullptr, false});
    for (link& l : links) {
      if (l.client >= 0) {
        fds.push_back({l.client, POLLIN, 0});
        owners.push_back({&l, true});
      }
      if (l.server >= 0) {
        fds.push_back({l.server, POLLIN, 0});
        owners.push_back({&l, false});
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int client = ::accept(listen_fd_, nullptr, nullptr);
      if (client >= 0) {
        int server = connect_to(target_host_, target_port_);
        if (server < 0) {
          ::close(client);
        } else {
          links.push_back(link{client, server, "", false});
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      link& l = *owners[i].first;
      const bool from_client = owners[i].second;
      int& fd = from_client ? l.client : l.server;
      if (fd < 0) continue;
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close_fd(l.client);
        close_fd(l.server);
        if (l.draining) {
          // The server answered and saw the connection end: the command is done.
          l.draining = false;
          --draining_;
        }
        continue;
      }
      if (!from_client) {
        if (!l.draining && !write_all(l.client, buffer, static_cast<size_t>(n))) {
          close_fd(l.client);
          close_fd(l.server);
        }
        continue;
      }
      l.pending.append(buffer, static_cast<size_t>(n));
      while (l.pending.size() >= 4 && l.client >= 0) {
        int32_t size = 0;
        std::memcpy(&size, l.pending.data(), 4);  // little-endian, as this machine
        if (size < 4 || l.pending.size() < static_cast<size_t>(size)) break;
        const std::string message = l.pending.substr(0, static_cast<size_t>(size));
        l.pending.erase(0, static_cast<size_t>(size));
        bool hit = false;
        cut how = cut::command;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (!pattern_.empty() && message.find(pattern_) != std::string::npos) {
            hit = true;
            how = how_;
          }
        }
        if (hit && how == cut::command) {
          ++cuts_;  // before the driver can see the cut
          close_fd(l.client);
          close_fd(l.server);
          break;
        }
        if (!write_all(l.server, message.data(), message.size())) {
          close_fd(l.client);
          close_fd(l.server);
          break;
        }
        if (hit) {
          // The server has the whole command: let it answer into the void.
          ::shutdown(l.server, SHUT_WR);
          l.draining = true;
          ++draining_;
          ++cuts_;
          close_fd(l.client);
        }
      }
    }
    links.remove_if([](const link& l) { return l.client < 0 && l.server < 0; });
  }
  for (link& l : links) {
    close_fd(l.client);
    close_fd(l.server);
  }
}

}  // namespace bfa_testing
