#include "tests/support/EchoServerGuard.h"

namespace support {

TEchoServerConfig EchoServerGuard::TestConfig(const std::string& address) {
  TEchoServerConfig c;
  c.Address = address;
  c.SipPorts = {{5060, {300, 600}}, {5058, {200}}};
  c.RtpPackets = 5;
  c.RtpIntervalMs = 10;
  c.IeeeDataDir = "";
  c.TimeoutIdleSecs.clear();  // no NAT time-out test unless a test asks for one
  c.CallMaxSeconds = 0;       // no test calls either
  c.LogSummaryMs = 200;       // summed log lines come soon
  return c;
}

EchoServerGuard::EchoServerGuard(const TEchoServerConfig& config, bool handleSignals)
    : server_(config,
              [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(line);
              }),
      thread_([this, handleSignals] {
        if (handleSignals) server_.HandleSignals();
        server_.Run();
      }) {}

EchoServerGuard::~EchoServerGuard() {
  server_.Stop();
  thread_.join();
}

std::vector<std::string> EchoServerGuard::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool EchoServerGuard::WaitForLine(const std::string& text, std::chrono::milliseconds deadline) {
  return WaitUntil(
      [&] {
        for (const auto& l : Lines())
          if (l.find(text) != std::string::npos) return true;
        return false;
      },
      deadline);
}

}  // namespace support
