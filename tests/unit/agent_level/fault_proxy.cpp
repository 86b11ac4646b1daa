// The fault proxy: one thread accepts, one thread per connection forwards whole wire
// messages both ways and looks at the command of each OP_MSG the client sends.
#include "tests/unit/agent_level/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

constexpr int32_t kOpMsg = 2013;

int32_t read_int32(const std::string& buffer, size_t at) {
  int32_t value = 0;
  std::memcpy(&value, buffer.data() + at, sizeof(value));  // little-endian, as on the wire
  return value;
}

bool send_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Moves what `fd` has to read onto `buffer`; false when the peer closed or failed.
bool receive(int fd, std::string& buffer) {
  char chunk[65536];
  const ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
  if (got <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(got));
  return true;
}

// Takes the first whole wire message off `buffer` into `message`; false when none is whole.
bool next_message(std::string& buffer, std::string& message) {
  if (buffer.size() < 16) return false;
  const int32_t length = read_int32(buffer, 0);
  if (length < 16 || buffer.size() < static_cast<size_t>(length)) return false;
  message = buffer.substr(0, static_cast<size_t>(length));
  buffer.erase(0, static_cast<size_t>(length));
  return true;
}

void close_both(int a, int b) {
  shutdown(a, SHUT_RDWR);
  shutdown(b, SHUT_RDWR);
  close(a);
  close(b);
}

}  // namespace

fault_proxy::fault_proxy(const std::string& upstream_url) {
  // mongodb://HOST:PORT/...
  const size_t start = upstream_url.find("://");
  const size_t host_at = start == std::string::npos ? 0 : start + 3;
  const size_t colon = upstream_url.find(':', host_at);
  const size_t end = upstream_url.find_first_of("/?", colon);
  upstream_host_ = upstream_url.substr(host_at, colon - host_at);
  upstream_port_ = std::stoi(upstream_url.substr(colon + 1, end - colon - 1));

  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof(address);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ADD_FAILURE() << "fault proxy cannot listen: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

fault_proxy::~fault_proxy() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& connection : connections_) connection.join();
  if (listener_ >= 0) close(listener_);
}

std::string fault_proxy::url() const {
  return "mongodb://127.0.0.1:" + std::to_string(port_) + "/";
}

void fault_proxy::arm(fault kind, const std::string& command, const std::string& collection,
                      int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = times != 0;
  kind_ = kind;
  command_ = command;
  collection_ = collection;
  times_ = times;
}

void fault_proxy::disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = false;
}

void fault_proxy::accept_loop() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back([this, client] { serve(client); });
  }
}

bool fault_proxy::matches(const std::string& message, fault& kind) {
  // OP_MSG: header (16 bytes), flag bits (4), then a body section: kind 0 and a document
  // whose first element names the command, with the collection as its value.
  if (message.size() < 26 || read_int32(message, 12) != kOpMsg || message[20] != 0) return false;
  const size_t key_at = 26;
  const size_t key_end = message.find('\0', key_at);
  if (key_end == std::string::npos || message[25] != 0x02) return false;
  const std::string command = message.substr(key_at, key_end - key_at);
  if (key_end + 5 > message.size()) return false;
  const int32_t length = read_int32(message, key_end + 1);
  if (length < 1 || key_end + 5 + static_cast<size_t>(length) > message.size()) return false;
  const std::string collection = message.substr(key_end + 5, static_cast<size_t>(length) - 1);

  std::lock_guard<std::mutex> lock(mutex_);
  if (!armed_ || command != command_ || collection != collection_) return false;
  if (times_ > 0 && --times_ == 0) armed_ = false;
  kind = kind_;
  ++broken_;
  return true;
}

void fault_proxy::serve(int client) {
  const int upstream = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(upstream_port_));
  inet_pton(AF_INET, upstream_host_ == "localhost" ? "127.0.0.1" : upstream_host_.c_str(),
            &address.sin_addr);
  if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close_both(client, upstream);
    return;
  }
  std::string from_client;
  std::string from_server;
  std::string message;
  bool losing = false;  // the reply to request `lost_request` is to be lost
  int32_t lost_request = 0;
  bool open = true;
  while (open && !stopping_) {
    pollfd ready[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (poll(ready, 2, 50) <= 0) continue;
    if (ready[0].revents != 0) {
      open = receive(client, from_client);
      while (open && next_message(from_client, message)) {
        fault kind = fault::drop_request;
        if (matches(message, kind)) {
          if (kind == fault::drop_request) {
            close_both(client, upstream);
            return;
          }
          losing = true;
          lost_request = read_int32(message, 4);
        }
        open = send_all(upstream, message.data(), message.size());
      }
    }
    if (open && ready[1].revents != 0) {
      open = receive(upstream, from_server);
      while (open && next_message(from_server, message)) {
        if (losing && read_int32(message, 8) == lost_request) {
          close_both(client, upstream);
          return;
        }
        open = send_all(client, message.data(), message.size());
      }
    }
  }
  close_both(client, upstream);
}

}  // namespace testing_support
