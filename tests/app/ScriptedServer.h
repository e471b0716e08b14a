#pragma once
// A stand-in for the echo server whose answers a test scripts: a TCP listener on port 80 of its
// own loopback address that answers the greeting as told, and UDP sockets (5060, 5058, ...) on
// the same address whose datagrams it echoes, changed, late or not at all, on the control
// connection. A connection that begins with an HTTP request (the vendor list's) gets one fixed
// answer and is closed. It runs on its own thread from Start until the object goes.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proto/XorUnit.h"
#include "tests/support/Loopback.h"

namespace standin {

using std::chrono::milliseconds;
using support::Clock;

// One datagram that reached the stand-in.
struct Datagram {
  int port;            // the stand-in's port it arrived on
  std::string fromIp;  // its sender
  int fromPort;
  std::string text;
  bool NatTest() const { return text.find("check_nat_timeout") != std::string::npos; }
  bool Register() const { return text.rfind("REGISTER ", 0) == 0; }
};

// What the stand-in does with one datagram: echo `text` (the datagram itself unless a script
// changes it) after `delayMs`, or nothing. Echoes leave in the order their datagrams came.
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

class ScriptedServer {
 public:
  using Script = std::function<Echo(const Datagram& d, size_t index)>;

  explicit ScriptedServer(const std::string& address, const std::vector<int>& udpPorts = {5060, 5058})
      : listener_(address, 80) {
    for (int p : udpPorts) udp_.emplace(p, support::UdpPeer(address, p));
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Every socket is bound.
  bool Ok() const {
    return listener_.Ok() && std::all_of(udp_.begin(), udp_.end(), [](const auto& u) { return u.second.Ok(); });
  }

  // Set before Start. The token the greeting answer carries; the bytes of that answer (by
  // default the token and the greeting terminator, scrambled; empty: no answer at all).
  std::string token = "Tk5b2e91c7";
  std::function<std::string()> greetingReply = [this] { return Scramble(token + "@5060" + '\0'); };
  // What to echo for each datagram, index counting from 0 over all ports. By default every
  // datagram comes back unchanged at once.
  Script script;
  // The answer to an HTTP request on the control port; empty: none, the connection is held open.
  std::string httpReply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

  // Serves from now on; once started, a further call does nothing.
  void Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  }

  std::vector<Datagram> Datagrams() const { return Locked(datagrams_); }
  // Bytes the tester wrote on its control connections, all of them.
  std::string ControlBytes() const { return Locked(controlIn_); }
  // Control connections (those that did not begin with an HTTP request).
  int Accepted() const { return Locked(accepted_); }
  int HttpRequests() const { return Locked(httpRequests_); }
  // Control connections the tester has closed.
  int Closed() const { return Locked(closed_); }

  // A datagram from the stand-in's UDP socket on `port` (a NAT session report, say).
  bool SendFrom(int port, const std::string& toIp, int toPort, const std::string& text) const {
    const auto it = udp_.find(port);
    return it != udp_.end() && it->second.SendTo(toIp, toPort, text);
  }

 private:
  struct Pending {
    Clock::time_point due;
    std::string bytes;
  };

  template <class T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  void Loop() {
    while (!stop_) {
      // Wakes in short slices, and in time for the next echo due.
      milliseconds timeout(20);
      if (!out_.empty())
        timeout = std::clamp(std::chrono::duration_cast<milliseconds>(out_.front().due - Clock::now()),
                             milliseconds(0), timeout);
      std::vector<pollfd> fds = {{listener_.Handle(), POLLIN, 0}, {conn_.Handle(), POLLIN, 0}};
      for (const auto& [port, socket] : udp_) fds.push_back({socket.Handle(), POLLIN, 0});
      ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));

      if (fds[0].revents & POLLIN) {
        support::Fd c = listener_.Accept(milliseconds(0));
        if (c.Valid()) {
          conn_ = support::TcpConn(std::move(c));  // a new run replaces the old one
          greetingBytes_ = 0;
          first_.clear();
          sniffed_ = false;
          out_.clear();
        }
      } else if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        const support::ReadResult r = conn_.ReadSome(milliseconds(0));
        if (r == support::ReadResult::Data) {
          Received(conn_.Pending());
          conn_.Pending().clear();
        } else if (r != support::ReadResult::Timeout) {
          conn_ = support::TcpConn();
          out_.clear();
          std::lock_guard<std::mutex> lock(mutex_);
          ++closed_;
        }
      }
      size_t i = 2;
      for (const auto& [port, socket] : udp_)
        if (fds[i++].revents & POLLIN)
          if (const auto d = socket.Receive(milliseconds(0))) Handle(port, *d);

      while (!out_.empty() && out_.front().due <= Clock::now()) {
        conn_.Send(out_.front().bytes);
        out_.pop_front();
      }
    }
  }

  // Bytes from the tester on the control connection; the greeting's nine get their answer.
  void Received(std::string bytes) {
    if (!sniffed_) {
      // The first five bytes tell an HTTP request from a greeting ("GET 5060").
      first_ += bytes;
      if (first_.size() < 5) return;
      sniffed_ = true;
      bytes = first_;
      const bool http = first_.rfind("HEAD ", 0) == 0 || first_.rfind("GET /", 0) == 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++(http ? httpRequests_ : accepted_);
      }
      if (http) {
        if (httpReply.empty()) {
          held_.push_back(std::move(conn_));
        } else {
          conn_.Send(httpReply);
        }
        conn_ = support::TcpConn();
        return;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      controlIn_ += bytes;
    }
    if (greetingBytes_ >= 9) return;
    greetingBytes_ += bytes.size();
    if (greetingBytes_ < 9) return;
    const std::string reply = greetingReply();
    if (!reply.empty()) out_.push_back({Clock::now(), reply});
  }

  void Handle(int port, const support::Datagram& in) {
    const Datagram d{port, in.fromIp, in.fromPort, in.data};
    Echo echo;
    echo.text = d.text;
    if (script) echo = script(d, index_);
    ++index_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      datagrams_.push_back(d);
    }
    if (echo.close && conn_.Ok()) {
      conn_ = support::TcpConn();
      out_.clear();
      return;
    }
    if (!echo.send || !conn_.Ok()) return;
    const std::string report = "Received " + std::to_string(d.text.size()) + " bytes on UDP port " +
                               std::to_string(port) + " from " + d.fromIp + ":" + std::to_string(d.fromPort);
    auto due = Clock::now() + milliseconds(echo.delayMs);
    if (!out_.empty()) due = std::max(due, out_.back().due);
    out_.push_back({due, Scramble(report + "\r\n" + echo.text + '\0')});
  }

  support::TcpListener listener_;
  std::map<int, support::UdpPeer> udp_;  // by port
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // The loop thread's own.
  support::TcpConn conn_;
  std::string first_;         // the first bytes of the current connection, until it is told apart
  bool sniffed_ = false;
  std::vector<support::TcpConn> held_;  // HTTP requests left without answer
  size_t greetingBytes_ = 0;  // bytes received on the current connection, up to the greeting's 9
  std::deque<Pending> out_;
  size_t index_ = 0;

  mutable std::mutex mutex_;
  std::vector<Datagram> datagrams_;
  std::string controlIn_;
  int accepted_ = 0;
  int httpRequests_ = 0;
  int closed_ = 0;
};

}  // namespace standin
