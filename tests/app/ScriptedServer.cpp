#include "tests/app/ScriptedServer.h"

#include <poll.h>

#include <algorithm>

#include "app/XorUnit.h"

namespace standin {

using support::Clock;
using std::chrono::milliseconds;

std::string ReplaceLine(const std::string& text, const std::string& prefix, const std::string& line) {
  size_t at = text.rfind(prefix, 0) == 0 ? 0 : std::string::npos;
  if (at == std::string::npos) {
    const size_t inner = text.find("\r\n" + prefix);
    if (inner != std::string::npos) at = inner + 2;
  }
  if (at == std::string::npos) return text;
  const size_t end = text.find("\r\n", at);
  return text.substr(0, at) + line + (end == std::string::npos ? std::string() : text.substr(end));
}

ScriptedServer::ScriptedServer(const std::string& address, const std::vector<int>& udpPorts)
    : greetingReply([this] { return Scramble(token + "@5060" + '\0'); }), listener_(address, 80) {
  for (int p : udpPorts) udp_.emplace(p, support::UdpPeer(address, p));
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool ScriptedServer::Ok() const {
  return listener_.Ok() && std::all_of(udp_.begin(), udp_.end(), [](const auto& u) { return u.second.Ok(); });
}

void ScriptedServer::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

std::vector<Datagram> ScriptedServer::Datagrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return datagrams_;
}

std::string ScriptedServer::ControlBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controlIn_;
}

int ScriptedServer::Accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

int ScriptedServer::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool ScriptedServer::SendFrom(int port, const std::string& toIp, int toPort, const std::string& text) const {
  const auto it = udp_.find(port);
  return it != udp_.end() && it->second.SendTo(toIp, toPort, text);
}

void ScriptedServer::Loop() {
  while (!stop_) {
    // Wakes in short slices, and in time for the next echo due.
    milliseconds timeout(20);
    if (!out_.empty())
      timeout = std::clamp(std::chrono::duration_cast<milliseconds>(out_.front().due - Clock::now()), milliseconds(0),
                           timeout);
    std::vector<pollfd> fds = {{listener_.Handle(), POLLIN, 0}, {conn_.Handle(), POLLIN, 0}};
    for (const auto& [port, socket] : udp_) fds.push_back({socket.Handle(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));

    if (fds[0].revents & POLLIN) {
      support::Fd c = listener_.Accept(milliseconds(0));
      if (c.Valid()) {
        conn_ = support::TcpConn(std::move(c));  // a new run replaces the old one
        greetingBytes_ = 0;
        out_.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
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
void ScriptedServer::Received(const std::string& bytes) {
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

void ScriptedServer::Handle(int port, const support::Datagram& in) {
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

}  // namespace standin
