// The echo server's command line (one argument per input line), and its address parser
// against the C library's and the tester's.
#include <arpa/inet.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "net/IdStack.h"
#include "proto/CallWire.h"
#include "server/ServerOptions.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::Text(data, size);

  // The address of --address, on its own.
  const std::string firstLine = input.substr(0, input.find('\n'));
  in_addr c{};
  const bool strict = firstLine.find('\0') == std::string::npos && ::inet_pton(AF_INET, firstLine.c_str(), &c) == 1;
  FUZZ_CHECK(IsIpv4Text(firstLine) == strict, "the options take exactly the dotted quads: " + firstLine);
  if (strict) {
    FUZZ_CHECK(TIdStack::IsAddressText(firstLine), "the tester reads every address the server takes");
    FUZZ_CHECK(std::memcmp(TIdStack::TextToAddress(firstLine).b, &c.s_addr, 4) == 0, "as the same address");
  }

  std::vector<std::string> args = fuzz::Split(input, '\n', 40);
  std::vector<const char*> argv{"sip-alg-echo-server"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  TEchoServerConfig config;
  std::string message;
  const TOptionsOutcome outcome = ParseServerOptions(static_cast<int>(argv.size()), argv.data(), config, message);
  if (outcome == TOptionsOutcome::Help) FUZZ_CHECK(message == ServerUsage(), "help is the usage");
  if (outcome == TOptionsOutcome::Error) FUZZ_CHECK(!message.empty(), "an error says what is wrong");
  if (outcome != TOptionsOutcome::Run) return 0;

  FUZZ_CHECK(IsIpv4Text(config.Address), "the address can be bound");
  FUZZ_CHECK(config.ControlPort >= 1, "a control port");
  FUZZ_CHECK(!config.SipPorts.empty(), "at least one SIP port");
  std::set<uint16_t> ports;
  for (const TSipPortPlan& p : config.SipPorts) {
    FUZZ_CHECK(p.Port >= 1 && ports.insert(p.Port).second, "SIP ports differ from each other");
    FUZZ_CHECK(p.ScheduleMs.size() <= 32, "at most 32 reports per port");
    for (int ms : p.ScheduleMs) FUZZ_CHECK(ms >= 1 && ms <= 3600000, "a report gap from 1 ms to an hour");
  }
  FUZZ_CHECK(config.RtpPort == 0 || !ports.count(config.RtpPort), "the RTP port is no SIP port");
  const long long longest = config.LongestSessionMs();
  FUZZ_CHECK(longest >= 1 && longest <= 2LL * 24 * 3600 * 1000, "a session lives at most two days");
  FUZZ_CHECK(config.FirstProbeTimeoutMs >= 1 && config.ChecksTimeoutMs >= 1 && config.HttpLifetimeMs >= 1,
             "every part of a test has time");
  FUZZ_CHECK(config.MaxConnections >= 1, "connections are allowed");
  FUZZ_CHECK(config.DatagramsPerSecond > 0 && config.DatagramBurst >= 1, "datagrams are allowed");
  FUZZ_CHECK(config.CallMaxSeconds >= 0 && config.CallMaxSeconds <= call_wire::kMaxSeconds,
             "no call longer than a tester takes");
  FUZZ_CHECK(config.CallsAtOnce() * call_wire::kPacketsPerSecond <= static_cast<size_t>(config.RtpPacketsPerSecond),
             "the calls at once fit the RTP rate");
  return 0;
}
