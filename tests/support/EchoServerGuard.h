#pragma once
// The echo server of this project, serving in the test's own process on a thread of its own
// from construction on; stopped and joined when the guard goes, so it ends with its test.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/EchoServer.h"
#include "tests/support/Loopback.h"

namespace support {

class EchoServerGuard {
 public:
  // Settings that suit tests: the given address, short NAT schedules (5060: 300 and 600 ms,
  // 5058: 200 ms), RTP bursts of 5 packets 10 ms apart, no vendor list, no NAT time-out test and
  // no test calls.
  static TEchoServerConfig TestConfig(const std::string& address);

  // Binds the server's sockets (raising what the server raises when it cannot) and runs it.
  // With handleSignals, SIGINT and SIGTERM end it (from its "serving on" log line on).
  explicit EchoServerGuard(const TEchoServerConfig& config, bool handleSignals = false);
  ~EchoServerGuard();
  EchoServerGuard(const EchoServerGuard&) = delete;
  EchoServerGuard& operator=(const EchoServerGuard&) = delete;

  TEchoServer& Server() { return server_; }
  // Its log lines so far.
  std::vector<std::string> Lines();
  // Waits until a log line holds `text`.
  bool WaitForLine(const std::string& text, std::chrono::milliseconds deadline = kDeadline);

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  TEchoServer server_;
  std::thread thread_;
};

}  // namespace support
