#pragma once
// A scripted HTTP peer for the HTTP client tests: listens on a loopback address, accepts any
// number of connections, reads each request up to its empty line and answers it with the next
// reply of its script, byte for byte. Every wait is bounded; the peer stops with its object.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace httptest {

using Clock = std::chrono::steady_clock;

struct Reply {
  std::string bytes;        // sent as they are
  bool close = false;       // close the connection after sending
  bool reset = false;       // close with a reset instead
};

class HttpPeer {
 public:
  // Listens on ip:port (0: a port chosen by the system).
  explicit HttpPeer(const std::string& ip, int port = 0) : ip_(ip) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener_, 8) != 0) {
      error_ = std::strerror(errno);
      ::close(listener_);
      listener_ = -1;
      return;
    }
    socklen_t len = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~HttpPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : conns_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  bool Ok() const { return listener_ >= 0; }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  std::string Url(const std::string& path = "/download/MAC.CSV") const {
    return "http://" + ip_ + ":" + std::to_string(port_) + path;
  }

  // Answers the requests in order with these replies; requests beyond them get no answer.
  void Start(std::vector<Reply> replies) {
    replies_ = std::move(replies);
    thread_ = std::thread([this] { Run(); });
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  int Connections() const { return connections_.load(); }

 private:
  void Run() {
    const auto end = Clock::now() + std::chrono::seconds(20);
    std::vector<std::string> buffers;
    size_t next = 0;
    while (!stop_ && Clock::now() < end) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (int fd : conns_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          conns_.push_back(c);
          buffers.emplace_back();
          ++connections_;
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || conns_[i - 1] < 0) continue;
        const int fd = conns_[i - 1];
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
          ::close(fd);
          conns_[i - 1] = -1;
          continue;
        }
        std::string& b = buffers[i - 1];
        b.append(buf, static_cast<size_t>(n));
        size_t end_of_request;
        while ((end_of_request = b.find("\r\n\r\n")) != std::string::npos && conns_[i - 1] >= 0) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(b.substr(0, end_of_request + 4));
          }
          b.erase(0, end_of_request + 4);
          if (next >= replies_.size()) continue;
          const Reply& r = replies_[next++];
          SendAll(fd, r.bytes);
          if (r.reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          }
          if (r.close || r.reset) {
            ::close(fd);
            conns_[i - 1] = -1;
          }
        }
      }
      // Closed connections keep their slot as -1; poll ignores negative descriptors.
    }
  }

  static void SendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }

  std::string ip_;
  std::string error_;
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> conns_;  // touched by the peer thread only, and by the destructor after it
  std::vector<Reply> replies_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace httptest
