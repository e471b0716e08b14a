#pragma once
// Settings of the echo server and their command-line form.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
  // 1.5 (20, 30, 40, 60, 80, 120, 160 s).
  std::vector<TSipPortPlan> SipPorts = {{5060, {20000, 40000, 80000, 160000}, true},
                                        {5058, {30000, 60000, 120000}, true}};
  int FirstReportMs = 2000;  // first report of a default schedule, after the test INVITEs
  // A port tested alone: gaps at most 1.5 apart, the whole run within 5 minutes.
  std::vector<int> SinglePortScheduleMs = {20000, 30000, 45000, 67000, 100000};
  uint16_t RtpPort = 5004;   // source port of the RTP bursts; 0: any free port
  int RtpPackets = 50;       // packets per burst
  int RtpIntervalMs = 20;    // gap between them
  size_t MaxConnections = 5000;          // open TCP connections in all
  size_t MaxConnectionsPerAddress = 32;  // from one peer address
  double DatagramsPerSecond = 20;        // per source address, sustained
  double DatagramBurst = 100;            // per source address, at once
  size_t MaxDatagramSources = 65536;     // source addresses counted; the idlest make room
  double SessionDatagramsPerSecond = 10; // per control session, sustained
  double SessionDatagramBurst = 100;     // per control session, at once
  int GreetingTimeoutMs = 10000;  // from accept to the first request or the greeting
  int IdleTimeoutMs = 0;          // control connection without datagrams; 0: longest schedule + 60 s
  int HttpIdleTimeoutMs = 30000;  // HTTP connection between requests, and per response
  size_t MaxPendingOutput = 64 * 1024;   // unsent bytes on one connection before it is cut off
  size_t MaxInputAfterGreeting = 1024;   // bytes a control peer may send after its greeting
  size_t MaxHttpHead = 8192;             // bytes of one HTTP request head
  std::string IeeeDataDir = "/usr/share/ieee-data";  // empty: no vendor list

  // The idle time-out in force.
  int EffectiveIdleTimeoutMs() const;
};

// The idle gaps of a port's NAT session reports once it is known whether another port of the
// session is tested too.
std::vector<int> NatSchedule(const TEchoServerConfig& config, const TSipPortPlan& plan,
                             bool otherPortTested);

// A dotted IPv4 address of four decimal parts 0..255, each at most three digits.
bool IsIpv4Text(const std::string& text);

enum class TOptionsOutcome { Run, Help, Version, Error };

// Reads the command line into config. Help: message holds the usage; Version: the version is
// asked for; Error: message says what is wrong.
TOptionsOutcome ParseServerOptions(int argc, const char* const* argv, TEchoServerConfig& config,
                                   std::string& message);

std::string ServerUsage();
