#pragma once
// The echo server that the tester talks to. On one event loop it serves, on its TCP port, the
// control channel (greeting, token, scrambled echoes) and plain HTTP (the MAC vendor list);
// on its SIP UDP ports it echoes probes to the session they belong to and runs the NAT session
// test with its RTP burst; on its RTP port it answers a session's test call; on its STUN ports it tells testers how their NAT maps and filters. The parts: ConnectionCore (every decision about bytes), Sniffer,
// ControlSession and HttpSession (one kind of TCP connection each), UdpSide (datagrams and
// their limits).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/ServerOptions.h"

// Running totals, readable from any thread.
struct TEchoServerCounters {
  uint64_t Connections = 0;      // TCP connections accepted
  uint64_t Refused = 0;          // refused: the server was full (told busy, or closed at once)
  uint64_t Evicted = 0;          // closed to make room for a newcomer
  uint64_t Sessions = 0;         // greetings answered
  uint64_t Echoes = 0;           // echoes queued on a control connection
  uint64_t Dropped = 0;          // datagrams without a session, or over the rate
  uint64_t NatReports = 0;       // NAT session report datagrams sent
  uint64_t RtpPackets = 0;       // RTP packets sent
  uint64_t HttpRequests = 0;     // HTTP requests answered
  uint64_t OpenConnections = 0;  // TCP connections open now
  uint64_t StunAnswers = 0;      // STUN answers sent
  uint64_t Calls = 0;            // test calls taken
  uint64_t CallsBusy = 0;        // test calls refused: as many ran at once as may
  uint64_t CallPackets = 0;      // RTP packets sent in test calls
};

class TEchoServer {
 public:
  using TLogSink = std::function<void(const std::string& line)>;

  // Binds every socket and builds the vendor list; raises std::runtime_error with a clear text
  // when a socket cannot be bound. Log lines go to log (stderr with a time stamp by default).
  explicit TEchoServer(TEchoServerConfig config, TLogSink log = nullptr);
  ~TEchoServer();
  TEchoServer(const TEchoServer&) = delete;
  TEchoServer& operator=(const TEchoServer&) = delete;

  // Ends Run on SIGINT and SIGTERM. Call before Run, from the thread that will call it.
  void HandleSignals();
  // Serves until Stop (or a handled signal); then every connection is closed.
  void Run();
  // Asks Run to end; callable from any thread, also before Run.
  void Stop();

  // Ports actually bound (useful when a configured port was 0).
  uint16_t ControlPort() const;
  uint16_t RtpPort() const;
  std::vector<uint16_t> SipPorts() const;
  // The STUN port and the one after it (empty when off).
  std::vector<uint16_t> StunPorts() const;
  // The NAT time-out test's port (0: no such test).
  uint16_t TimeoutPort() const;
  // Lines and time of the vendor list served (0 lines: none).
  size_t MacListEntries() const;

  TEchoServerCounters Counters() const;

  // The default log: one line on stderr, prefixed with the UTC time.
  static void StderrLog(const std::string& line);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
