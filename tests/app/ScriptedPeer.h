#pragma once
// A stand-in for the echo server whose answers a test scripts: a TCP listener on port 80 of its
// own loopback address that answers the greeting as told, and UDP sockets (5060, 5058, ...) on
// the same address whose datagrams it echoes, changed, late or not at all, on the control
// connection. It runs on its own thread; every wait of a test on it has a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/XorUnit.h"

namespace peer {

using Clock = std::chrono::steady_clock;

// One datagram that reached the peer.
struct Datagram {
  int port;            // the peer's port it arrived on
  std::string fromIp;  // its sender
  int fromPort;
  std::string text;
  bool NatTest() const { return text.find("check_nat_timeout") != std::string::npos; }
  bool Register() const { return text.rfind("REGISTER ", 0) == 0; }
};

// What the peer does with one datagram: echo `text` (the datagram itself unless a script changes
// it) after `delayMs`, or nothing. Echoes leave in the order their datagrams came.
struct Echo {
  bool send = true;
  std::string text;
  int delayMs = 0;
  bool close = false;  // instead: close the control connection
};

// Replaces the first line of a SIP text that starts with `prefix` by `line`.
inline std::string ReplaceLine(const std::string& text, const std::string& prefix, const std::string& line) {
  size_t at = text.rfind(prefix, 0) == 0 ? 0 : std::string::npos;
  if (at == std::string::npos) {
    const size_t inner = text.find("\r\n" + prefix);
    if (inner != std::string::npos) at = inner + 2;
  }
  if (at == std::string::npos) return text;
  const size_t end = text.find("\r\n", at);
  return text.substr(0, at) + line + (end == std::string::npos ? std::string() : text.substr(end));
}

// A UDP socket on addr:port (0: any); -1 when it cannot be bound.
inline int UdpSocket(const std::string& addr, int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool SendTo(int fd, const std::string& toIp, int toPort, const std::string& text) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(toPort));
  ::inet_pton(AF_INET, toIp.c_str(), &to.sin_addr);
  return ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(text.size());
}

// One datagram from a socket of its own on fromIp.
inline bool SendUdp(const std::string& fromIp, const std::string& toIp, int toPort, const std::string& text) {
  const int fd = UdpSocket(fromIp, 0);
  if (fd < 0) return false;
  const bool ok = SendTo(fd, toIp, toPort, text);
  ::close(fd);
  return ok;
}

// Sockets that hold ports on an address for the life of the object, so that nobody else can
// bind them.
class HeldPorts {
 public:
  HeldPorts(const std::string& addr, const std::vector<int>& ports) {
    for (int p : ports) {
      const int fd = UdpSocket(addr, p);
      if (fd < 0) ok_ = false;
      fds_.push_back(fd);
    }
  }
  ~HeldPorts() {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  bool Ok() const { return ok_; }

 private:
  std::vector<int> fds_;
  bool ok_ = true;
};

class ScriptedPeer {
 public:
  using Script = std::function<Echo(const Datagram& d, size_t index)>;

  explicit ScriptedPeer(std::string address, std::vector<int> udpPorts = {5060, 5058})
      : address_(std::move(address)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    ::inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    ok_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(listen_, 8) == 0;
    for (int p : udpPorts) {
      const int fd = UdpSocket(address_, p);
      if (fd < 0) ok_ = false;
      udp_[p] = fd;
    }
    ok_ = ok_ && ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == 0;
  }

  ~ScriptedPeer() {
    if (thread_.joinable()) {
      stop_ = true;
      const char c = 0;
      if (::write(wake_[1], &c, 1) < 0) {
        // The loop also wakes on its own every 200 ms.
      }
      thread_.join();
    }
    for (int fd : {listen_, conn_, wake_[0], wake_[1]})
      if (fd >= 0) ::close(fd);
    for (auto& [port, fd] : udp_)
      if (fd >= 0) ::close(fd);
  }

  bool Ok() const { return ok_; }
  const std::string& Address() const { return address_; }

  // Set before Start. The token the greeting answer carries; the bytes of that answer (by
  // default the token and the greeting terminator, scrambled; empty: no answer at all).
  std::string token = "Tk5b2e91c7";
  std::function<std::string()> greetingReply = [this] { return Scramble(token + "@5060" + '\0'); };
  // What to echo for each datagram, index counting from 0 over all ports. By default every
  // datagram comes back unchanged at once.
  Script script;

  void Start() {
    thread_ = std::thread([this] { Loop(); });
  }

  std::vector<Datagram> Datagrams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
  }
  // Bytes the tester wrote on its control connections, all of them.
  std::string ControlBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlIn_;
  }
  int Accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
  }
  // Control connections the tester has closed.
  int Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }
  // Waits until the condition on the peer's state holds; false at the deadline.
  bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      lock.unlock();
      const bool ok = done();
      lock.lock();
      if (ok) return true;
      if (cv_.wait_until(lock, end) == std::cv_status::timeout) {
        lock.unlock();
        return done();
      }
    }
  }

  // A datagram from the peer's UDP socket on `port` (a NAT session report, say).
  bool SendFrom(int port, const std::string& toIp, int toPort, const std::string& text) {
    const auto it = udp_.find(port);
    return it != udp_.end() && SendTo(it->second, toIp, toPort, text);
  }

 private:
  struct Pending {
    Clock::time_point due;
    std::string bytes;
  };

  void Loop() {
    std::string greetingIn;  // bytes of the greeting so far on the current connection
    bool greeted = false;
    std::deque<Pending> out;
    size_t index = 0;
    while (!stop_) {
      int timeout = 200;
      if (!out.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(out.front().due - Clock::now());
        timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 200));
      }
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      const int polledConn = conn_;
      if (polledConn >= 0) fds.push_back({polledConn, POLLIN, 0});
      const size_t firstUdp = fds.size();
      std::vector<int> ports;
      for (const auto& [port, fd] : udp_) {
        fds.push_back({fd, POLLIN, 0});
        ports.push_back(port);
      }
      ::poll(fds.data(), fds.size(), timeout);
      if (stop_) break;
      if (fds[1].revents & POLLIN) {
        const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          if (conn_ >= 0) ::close(conn_);  // a new run replaces the old one
          conn_ = c;
          greetingIn.clear();
          greeted = false;
          out.clear();
          Update([&] { ++accepted_; });
        }
      }
      if (polledConn >= 0 && polledConn == conn_) {
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
          char buf[4096];
          const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
          if (n <= 0) {
            ::close(conn_);
            conn_ = -1;
            out.clear();
            Update([&] { ++closed_; });
          } else {
            Update([&] { controlIn_.append(buf, static_cast<size_t>(n)); });
            if (!greeted) {
              greetingIn.append(buf, static_cast<size_t>(n));
              if (greetingIn.size() >= 9) {
                greeted = true;
                const std::string reply = greetingReply();
                if (!reply.empty()) out.push_back({Clock::now(), reply});
              }
            }
          }
        }
      }
      for (size_t i = firstUdp; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        const int port = ports[i - firstUdp];
        char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        char ip[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        Datagram d{port, ip, ntohs(from.sin_port), std::string(buf, static_cast<size_t>(n))};
        Echo echo;
        echo.text = d.text;
        if (script) echo = script(d, index);
        ++index;
        Update([&] { datagrams_.push_back(d); });
        if (echo.close && conn_ >= 0) {
          ::close(conn_);
          conn_ = -1;
          out.clear();
          continue;
        }
        if (!echo.send || conn_ < 0) continue;
        const std::string report = "Received " + std::to_string(d.text.size()) + " bytes on UDP port " +
                                   std::to_string(port) + " from " + d.fromIp + ":" + std::to_string(d.fromPort);
        auto due = Clock::now() + std::chrono::milliseconds(echo.delayMs);
        if (!out.empty()) due = std::max(due, out.back().due);
        out.push_back({due, Scramble(report + "\r\n" + echo.text + '\0')});
      }
      while (!out.empty() && out.front().due <= Clock::now()) {
        if (conn_ >= 0) ::send(conn_, out.front().bytes.data(), out.front().bytes.size(), MSG_NOSIGNAL);
        out.pop_front();
      }
    }
  }

  template <class F>
  void Update(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    cv_.notify_all();
  }

  std::string address_;
  int listen_ = -1;
  int conn_ = -1;
  int wake_[2] = {-1, -1};
  std::map<int, int> udp_;  // port -> socket
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Datagram> datagrams_;
  std::string controlIn_;
  int accepted_ = 0;
  int closed_ = 0;
};

}  // namespace peer
