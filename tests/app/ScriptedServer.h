#pragma once
// A stand-in for the echo server whose answers a test scripts: a TCP listener on port 80 of its
// own loopback address that answers the greeting as told, and UDP sockets (5060, 5058, ...) on
// the same address whose datagrams it echoes, changed, late or not at all, on the control
// connection. It runs on its own thread from Start until the object goes.
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace standin {

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
std::string ReplaceLine(const std::string& text, const std::string& prefix, const std::string& line);

class ScriptedServer {
 public:
  using Script = std::function<Echo(const Datagram& d, size_t index)>;

  explicit ScriptedServer(const std::string& address, const std::vector<int>& udpPorts = {5060, 5058});
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Every socket is bound.
  bool Ok() const;
  const std::string& Address() const { return listener_.Ip(); }

  // Set before Start. The token the greeting answer carries; the bytes of that answer (by
  // default the token and the greeting terminator, scrambled; empty: no answer at all).
  std::string token = "Tk5b2e91c7";
  std::function<std::string()> greetingReply;
  // What to echo for each datagram, index counting from 0 over all ports. By default every
  // datagram comes back unchanged at once.
  Script script;

  // Serves from now on; once started, a further call does nothing.
  void Start();

  std::vector<Datagram> Datagrams() const;
  // Bytes the tester wrote on its control connections, all of them.
  std::string ControlBytes() const;
  int Accepted() const;
  // Control connections the tester has closed.
  int Closed() const;

  // A datagram from the stand-in's UDP socket on `port` (a NAT session report, say).
  bool SendFrom(int port, const std::string& toIp, int toPort, const std::string& text) const;

 private:
  void Loop();
  void Received(const std::string& bytes);
  void Handle(int port, const support::Datagram& in);

  struct Pending {
    support::Clock::time_point due;
    std::string bytes;
  };

  support::TcpListener listener_;
  std::map<int, support::UdpPeer> udp_;  // by port
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // The loop thread's own.
  support::TcpConn conn_;
  size_t greetingBytes_ = 0;  // bytes received on the current connection, up to the greeting's 9
  std::deque<Pending> out_;
  size_t index_ = 0;

  mutable std::mutex mutex_;
  std::vector<Datagram> datagrams_;
  std::string controlIn_;
  int accepted_ = 0;
  int closed_ = 0;
};

}  // namespace standin
