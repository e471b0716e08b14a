#pragma once
// The tester's side of the wire for the echo server tests: a server on its own thread, and
// TCP and UDP peers on loopback addresses whose every wait has a deadline.
#include <asio.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/XorUnit.h"
#include "server/EchoServer.h"

namespace loopback {

using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;

// A server whose settings suit tests: the given address, short schedules, no vendor list.
inline TEchoServerConfig TestConfig(const std::string& address) {
  TEchoServerConfig c;
  c.Address = address;
  c.SipPorts = {{5060, {300, 600}}, {5058, {200}}};
  c.RtpPackets = 5;
  c.RtpIntervalMs = 10;
  c.IeeeDataDir = "";
  return c;
}

// The server, running on its own thread for the life of the object; keeps its log lines.
class RunningServer {
 public:
  // With handleSignals, SIGINT and SIGTERM end it (from the "serving on" log line on).
  explicit RunningServer(const TEchoServerConfig& config, bool handleSignals = false)
      : server_(config, [this](const std::string& line) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(line);
        }),
        thread_([this, handleSignals] {
          if (handleSignals) server_.HandleSignals();
          server_.Run();
        }) {}
  ~RunningServer() {
    server_.Stop();
    thread_.join();
  }
  TEchoServer& Server() { return server_; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Waits until a log line holds text.
  bool WaitForLine(const std::string& text, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      for (const auto& l : Lines())
        if (l.find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  TEchoServer server_;
  std::thread thread_;
};

// Runs one asynchronous operation to completion or to its deadline (then cancels it).
class Peer {
 public:
  asio::io_context io;

  tcp::socket Connect(const std::string& server, uint16_t port, const std::string& from) {
    tcp::socket s(io);
    s.open(tcp::v4());
    s.bind(tcp::endpoint(asio::ip::make_address_v4(from), 0));
    s.connect(tcp::endpoint(asio::ip::make_address_v4(server), port));
    return s;
  }

  udp::socket Udp(const std::string& address, uint16_t port = 0) {
    udp::socket s(io);
    s.open(udp::v4());
    s.bind(udp::endpoint(asio::ip::make_address_v4(address), port));
    return s;
  }

  void Write(tcp::socket& s, const std::string& data) { asio::write(s, asio::buffer(data)); }

  void SendTo(udp::socket& s, const std::string& data, const std::string& address, uint16_t port) {
    s.send_to(asio::buffer(data), udp::endpoint(asio::ip::make_address_v4(address), port));
  }

  // Reads into buffer until it holds terminator; returns what came before it (removed from the
  // buffer with the terminator). Nothing when the deadline passes or the peer closes first.
  std::optional<std::string> ReadUntil(tcp::socket& s, std::string& buffer,
                                       const std::string& terminator,
                                       std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
      const size_t pos = buffer.find(terminator);
      if (pos != std::string::npos) {
        std::string before = buffer.substr(0, pos);
        buffer.erase(0, pos + terminator.size());
        return before;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left <= 0ms || !ReadSome(s, buffer, left)) return std::nullopt;
    }
  }

  // One read into buffer within the limit: nullopt on deadline, else the read's result.
  std::optional<asio::error_code> ReadOnce(tcp::socket& s, std::string& buffer, std::chrono::milliseconds limit) {
    char chunk[65536];
    bool done = false;
    asio::error_code result;
    size_t got = 0;
    s.async_read_some(asio::buffer(chunk), [&](const asio::error_code& ec, size_t n) {
      done = true;
      result = ec;
      got = n;
    });
    Finish(s, done, limit);
    buffer.append(chunk, got);
    if (!done) return std::nullopt;
    return result;
  }

  // One read; false on deadline, end of stream or error.
  bool ReadSome(tcp::socket& s, std::string& buffer, std::chrono::milliseconds limit) {
    const auto result = ReadOnce(s, buffer, limit);
    return result && !*result;
  }

  // True when the peer ends the connection (end of stream or reset) within the deadline; what
  // arrives before goes to *received.
  bool WaitClosed(tcp::socket& s, std::chrono::milliseconds limit = 3000ms,
                  std::string* received = nullptr) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string ignored;
    while (std::chrono::steady_clock::now() < end) {
      const auto result = ReadOnce(s, received ? *received : ignored,
                                   std::chrono::duration_cast<std::chrono::milliseconds>(
                                       end - std::chrono::steady_clock::now()));
      if (!result) return false;
      if (*result) return *result == asio::error::eof || *result == asio::error::connection_reset;
    }
    return false;
  }

  struct Datagram {
    std::string data;
    udp::endpoint from;
  };
  std::optional<Datagram> Receive(udp::socket& s, std::chrono::milliseconds limit = 3000ms) {
    char chunk[65536];
    bool done = false;
    asio::error_code result;
    size_t got = 0;
    udp::endpoint from;
    s.async_receive_from(asio::buffer(chunk), from, [&](const asio::error_code& ec, size_t n) {
      done = true;
      result = ec;
      got = n;
    });
    Finish(s, done, limit);
    if (!done || result) return std::nullopt;
    return Datagram{std::string(chunk, got), from};
  }

 private:
  template <typename Socket>
  void Finish(Socket& s, bool& done, std::chrono::milliseconds limit) {
    io.restart();
    if (limit > 0ms) io.run_for(limit);
    if (!done) {
      asio::error_code ignored;
      s.cancel(ignored);
      io.restart();
      io.run();  // lets the cancelled operation finish before its buffer goes away
      done = false;
    }
  }
};

// A greeted control session.
struct Session {
  tcp::socket socket;
  std::string token;
  std::string buffer;  // received bytes not yet used (scrambled)
};

inline std::optional<Session> Greet(Peer& peer, const std::string& server, uint16_t port,
                                    const std::string& from) {
  Session s{peer.Connect(server, port, from), {}, {}};
  peer.Write(s.socket, std::string("GET 5060\0", 9));
  const auto token = peer.ReadUntil(s.socket, s.buffer, Scramble(std::string("@5060\0", 6)));
  if (!token) return std::nullopt;
  s.token = Scramble(*token);
  return s;
}

// The next echo on a session, descrambled, without its closing zero byte.
inline std::optional<std::string> NextEcho(Peer& peer, Session& s,
                                           std::chrono::milliseconds limit = 3000ms) {
  const auto echo = peer.ReadUntil(s.socket, s.buffer, Scramble(std::string(1, '\0')), limit);
  if (!echo) return std::nullopt;
  return Scramble(*echo);
}

}  // namespace loopback
