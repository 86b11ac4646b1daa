// The fault proxy: each connection's thread reads both sides whole wire message by whole
// message (each starts with its length), so that a rule sees a message wherever the reads
// split it, and a lost answer is known by the request id it responds to.
#include "tests/unit/support/fault_proxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <bson/bson.h>
#include <gtest/gtest.h>

namespace testing_support {

namespace {

constexpr int32_t kOpMsg = 2013;
constexpr size_t kHeaderSize = 16;  // length, request id, responds to, op code

int32_t read_int32(const std::string& buffer, size_t at) {
  int32_t value = 0;
  std::memcpy(&value, buffer.data() + at, sizeof(value));  // little-endian, as on the wire
  return value;
}

bool send_all(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
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
  if (buffer.size() < kHeaderSize) return false;
  const int32_t length = read_int32(buffer, 0);
  if (length < static_cast<int32_t>(kHeaderSize) || buffer.size() < static_cast<size_t>(length)) {
    return false;
  }
  message = buffer.substr(0, static_cast<size_t>(length));
  buffer.erase(0, static_cast<size_t>(length));
  return true;
}

// The first element of an OP_MSG's command document (its kind-0 section) as command name
// and, when it is a string, collection; false for any other message.
bool command_of(const std::string& message, std::string& name, std::string& collection) {
  if (message.size() < kHeaderSize + 4 || read_int32(message, 12) != kOpMsg) return false;
  size_t at = kHeaderSize + 4;  // after the flag bits
  while (at + 5 <= message.size()) {
    const char kind = message[at++];
    const int32_t size = read_int32(message, at);
    if (size < 5 || at + static_cast<size_t>(size) > message.size()) return false;
    if (kind == 0) {
      bson_t document;
      bson_iter_t element;
      if (!bson_init_static(&document, reinterpret_cast<const uint8_t*>(message.data() + at),
                            static_cast<size_t>(size)) ||
          !bson_iter_init(&element, &document) || !bson_iter_next(&element)) {
        return false;
      }
      name = bson_iter_key(&element);
      collection = BSON_ITER_HOLDS_UTF8(&element) ? bson_iter_utf8(&element, nullptr) : "";
      return true;
    }
    if (kind != 1) return false;
    at += static_cast<size_t>(size);  // a document sequence: its size counts itself
  }
  return false;
}

int connect_to(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (connected) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

fault_proxy::fault_proxy(const std::string& upstream_url) {
  const size_t scheme = upstream_url.find("://");
  const size_t host_at = scheme == std::string::npos ? 0 : scheme + 3;
  const std::string host_port =
      upstream_url.substr(host_at, upstream_url.find_first_of("/?", host_at) - host_at);
  const size_t colon = host_port.rfind(':');
  upstream_host_ = host_port.substr(0, colon);
  upstream_port_ = colon == std::string::npos ? 27017 : std::stoi(host_port.substr(colon + 1));

  wake_ = eventfd(0, EFD_CLOEXEC);
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (wake_ < 0 || listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ADD_FAILURE() << "fault proxy cannot listen: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

fault_proxy::~fault_proxy() {
  // The eventfd stays readable: every poll of every thread sees it and the thread ends.
  if (wake_ >= 0) (void)!eventfd_write(wake_, 1);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
  if (listener_ >= 0) close(listener_);
  if (wake_ >= 0) close(wake_);
}

std::string fault_proxy::url(const std::string& options) const {
  return "mongodb://127.0.0.1:" + std::to_string(port_) + "/" +
         (options.empty() ? "" : "?" + options);
}

void fault_proxy::arm(fault kind, const std::string& command, const std::string& collection,
                      int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  rule_ = rule{times != 0, kind, command, collection, "", times};
}

void fault_proxy::arm_marker(fault kind, const std::string& marker, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  rule_ = rule{times != 0 && !marker.empty(), kind, "", "", marker, times};
}

void fault_proxy::disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  rule_.armed = false;
}

int fault_proxy::broken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return broken_;
}

bool fault_proxy::wait_answered(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return answered_.wait_for(lock, timeout, [this] { return unanswered_ == 0; });
}

void fault_proxy::answer_pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++unanswered_;
}

void fault_proxy::answer_arrived() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --unanswered_;
  }
  answered_.notify_all();
}

void fault_proxy::accept_loop() {
  for (;;) {
    pollfd ready[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0) continue;
    if (ready[1].revents != 0) return;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back([this, client] { serve(client); });
  }
}

bool fault_proxy::picks(const std::string& message, fault& kind) {
  std::string command;
  std::string collection;
  const bool is_command = command_of(message, command, collection);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!rule_.armed) return false;
  const bool picked = rule_.marker.empty()
                          ? is_command && command == rule_.command && collection == rule_.collection
                          : message.find(rule_.marker) != std::string::npos;
  if (!picked) return false;
  if (rule_.times > 0 && --rule_.times == 0) rule_.armed = false;
  kind = rule_.kind;
  ++broken_;  // counted before the client can see the break
  return true;
}

void fault_proxy::serve(int client) {
  const int upstream = connect_to(upstream_host_, upstream_port_);
  std::string from_client;
  std::string from_server;
  std::string message;
  bool client_open = true;
  bool losing = false;  // the answer to request `lost_request` is to be thrown away
  int32_t lost_request = 0;
  // Ends when a side closes or the proxy stops, or at a break. While an answer is to be
  // lost, a client that gave up does not end it: the server's answer is still awaited.
  for (bool open = upstream >= 0; open;) {
    pollfd ready[3] = {
        {client_open ? client : -1, POLLIN, 0}, {upstream, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(ready, 3, -1) < 0) continue;
    if (ready[2].revents != 0) break;
    if (ready[0].revents != 0) {
      client_open = receive(client, from_client);
      open = client_open || losing;
      while (client_open && next_message(from_client, message)) {
        fault kind = fault::drop_request;
        if (picks(message, kind)) {
          if (kind == fault::drop_request) {
            open = false;
            break;
          }
          if (!losing) {  // the connection ends at the first lost answer
            losing = true;
            lost_request = read_int32(message, 4);
            answer_pending();
          }
        }
        open = send_all(upstream, message);
        if (!open) break;
      }
    }
    if (open && ready[1].revents != 0) {
      open = receive(upstream, from_server);
      while (open && next_message(from_server, message)) {
        if (losing && read_int32(message, 8) == lost_request) {
          open = false;  // the answer never reaches the client
        } else if (client_open) {
          open = send_all(client, message);
        }
      }
    }
  }
  if (losing) answer_arrived();
  shutdown(client, SHUT_RDWR);
  close(client);
  if (upstream >= 0) {
    shutdown(upstream, SHUT_RDWR);
    close(upstream);
  }
}

}  // namespace testing_support
