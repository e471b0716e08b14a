#pragma once
// Settings of the echo server and their command-line form.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/SessionPolicy.h"
#include "server/TimeoutMappings.h"

// One UDP port that takes SIP probes, and the idle gaps (ms) of its NAT session reports. An empty
// schedule: no NAT session test on that port. An Adaptive schedule (the defaults) is fitted to
// the session: a first report soon after the test INVITEs, then these gaps when another port of
// the session is tested too, else the finer single-port gaps. Other schedules stay as given.
struct TSipPortPlan {
  uint16_t Port = 0;
  std::vector<int> ScheduleMs;
  bool Adaptive = false;
};

struct TEchoServerConfig {
  std::string Address = "0.0.0.0";  // IPv4 address for every socket
  uint16_t ControlPort = 80;        // TCP: control channel and HTTP
  // The two ports interleave so that together they bracket a NAT time-out within a factor of
  // 1.5 (10, 15, 20, 30, 40, 60, 80 s), and end before the NAT time-out test does.
  std::vector<TSipPortPlan> SipPorts = {{5060, {10000, 20000, 40000, 80000}, true},
                                        {5058, {15000, 30000, 60000}, true}};
  int FirstReportMs = 2000;  // first report of a default schedule, after the test INVITEs
  // A port tested alone: gaps at most 1.5 apart, within the NAT time-out test's time.
  std::vector<int> SinglePortScheduleMs = {10000, 15000, 22000, 33000, 50000};
  // The NAT time-out test, on mappings of the tester's own: the idle times (s) it tests, each
  // at most 1.5 times the one before, between the timers NATs commonly use (30, 60, 120, 180 s)
  // so that none falls on a boundary; and the gap of the refresh datagrams. Empty: no test.
  std::vector<int> TimeoutIdleSecs = {10, 15, 20, 25, 35, 50, 70, 100, 140, 190};
  int TimeoutRefreshSecs = 10;
  // Its UDP port, which no SIP ALG watches (a router's SIP helper keeps every mapping to 5060
  // open for an hour); 0: any free port. Announced in the token.
  uint16_t TimeoutPort = 3480;
  // Its datagrams to one address, of all sessions together: a cap on what forged sources could
  // aim at the neighbours behind a carrier's NAT (a session's test sends about 150).
  double TimeoutDatagramsPerAddressPerSecond = 8;
  double TimeoutDatagramBurstPerAddress = 500;
  uint16_t RtpPort = 5004;   // RTP bursts and test calls; 0: any free port
  int RtpPackets = 50;       // packets per burst
  int RtpIntervalMs = 20;    // gap between them
  int RtpPacketsPerSecond = 20000;  // of all RTP together: each call takes 50 off it, bursts the rest
  // The test call: the longest, in seconds (0: no calls; at most call_wire::kMaxSeconds), and
  // how many run at once (no more than the RTP rate carries at 50 packets a second each).
  int CallMaxSeconds = 30;
  size_t MaxCalls = 300;
  // A network's share of them and an address's (0: a sixteenth of the calls, at least 2, and a
  // quarter of a network's, at least 1).
  size_t MaxCallsPerNetwork = 0;
  size_t MaxCallsPerAddress = 0;
  // STUN answers on this port and the next one; 0: no STUN. OtherAddress: the host's second
  // address, from which a change of address is answered ("": only the port can change).
  uint16_t StunPort = 3478;
  std::string OtherAddress;
  size_t MaxConnections = 50000;         // places: connections to the control port in all
  size_t MaxConnectionsPerAddress = 0;   // from one peer address; 0: no cap
  int NetworkPrefixBits = 24;            // a network, for sharing the connections when full
  size_t ProtectedPerNetwork = 16;       // places of one network never taken to make room
  size_t MaxBusyAnswers = 256;           // refused connections told so at a time
  int BusyGreetingTimeoutMs = 5000;      // a refused connection's wait for its opening
  double DatagramsPerSecond = 20;        // per source address, sustained (datagrams without a token)
  double DatagramBurst = 100;            // per source address, at once
  size_t MaxDatagramSources = 65536;     // source addresses counted; the idlest make room
  double SessionDatagramsPerSecond = 2;  // per control session, sustained (datagrams with its token)
  double SessionDatagramBurst = 40;      // per control session, at once
  int AddressHoldMs = 1000;              // a datagram matched by address waits this long
  int GreetingTimeoutMs = 10000;  // from accept to the first request or the greeting
  int FirstProbeTimeoutMs = 10000;  // from the token to the session's first datagram
  int ChecksTimeoutMs = 45000;      // from the token to the end of the checks and a NAT test's start
  int AfterChecksMs = 5000;         // from the last check to a NAT test's start
  int LargeSipMs = 30000;           // the large SIP checks between them: the tester's longest wait for them
  int SessionMarginMs = 10000;      // past the tester's countdown after the last report
  int IdleTimeoutMs = 0;            // no longer used: taken from old command lines and ignored
  int HttpIdleTimeoutMs = 30000;  // HTTP connection between requests, and per response
  int HttpLifetimeMs = 190000;    // an HTTP connection in all: the tester gives up after 180 s
  int LogSummaryMs = 60000;        // the period of the summed lines about non-testers
  size_t LogLinesPerPeriod = 120;  // testers' own end lines in that period; the rest are summed
  // Unsent bytes on one connection before it is cut off: an echo of the largest datagram, and
  // 16 KiB more.
  size_t MaxPendingOutput = (64 + 16) * 1024;
  size_t MaxHeldBytes = 64 << 20;        // of all connections: unsent bytes, unfinished messages
  size_t MaxInputAfterGreeting = 1024;   // bytes a control peer may send after its greeting
  size_t MaxHttpHead = 8192;             // bytes of one HTTP request head
  std::string IeeeDataDir = "/usr/share/ieee-data";  // empty: no vendor list

  // How long a control session may take for each part of its test.
  TLifeSettings SessionLife() const;
  // The longest a control session lives: the checks, then the longest NAT test or time-out test,
  // the tester's countdown after it and the margin, and a call begun at the last moment.
  long long LongestSessionMs() const;
  // ".p3480.t10-15-....r10" to announce the NAT time-out test on its port (as bound) in each
  // token; "" for none.
  std::string TimeoutPlanSuffix(uint16_t boundPort) const;
  // The calls that may run at once: --max-calls, within what the RTP rate carries.
  size_t CallsAtOnce() const;
  size_t CallsPerNetwork() const;
  size_t CallsPerAddress() const;
};

// The idle gaps of a port's NAT session reports once it is known whether another port of the
// session is tested too.
std::vector<int> NatSchedule(const TEchoServerConfig& config, const TSipPortPlan& plan,
                             bool otherPortTested);

// A port's NAT report plan as far as it is known: the gaps, and whether they are final. A
// default schedule is decided at its first report, when the session's other port has either
// started its test or will not (portsTested: the session's ports under test by then; nullopt at
// the port's start, when only the first gap is known).
struct TNatReportPlan {
  std::vector<int> GapsMs;
  bool Decided = true;
};
TNatReportPlan NatReportPlan(const TEchoServerConfig& config, const TSipPortPlan& plan,
                             std::optional<size_t> portsTested);

// A dotted IPv4 address as the server's sockets take it: four decimal parts 0..255, without
// leading zeros.
bool IsIpv4Text(const std::string& text);

enum class TOptionsOutcome { Run, Help, Version, Error };

// Reads the command line into config. Help: message holds the usage; Version: the version is
// asked for; Error: message says what is wrong.
TOptionsOutcome ParseServerOptions(int argc, const char* const* argv, TEchoServerConfig& config,
                                   std::string& message);

std::string ServerUsage();
