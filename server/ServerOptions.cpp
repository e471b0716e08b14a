#include "server/ServerOptions.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "proto/CallWire.h"
#include "proto/NatTimeoutWire.h"

#include <asio/ip/address_v4.hpp>

namespace {

bool ParseLong(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && out >= min && out <= max;
}

bool ParseDouble(const std::string& text, double min, double max, double& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && out >= min && out <= max;
}

}  // namespace

bool IsIpv4Text(const std::string& text) {
  // The very parser the sockets are opened with: an address taken here never fails there. That
  // one reads a C string, so a zero byte would hide the rest.
  if (text.find('\0') != std::string::npos) return false;
  asio::error_code ec;
  asio::ip::make_address_v4(text, ec);
  return !ec;
}

namespace {

// "PORT" or "PORT=ms,ms,...".
bool ParseSipPort(const std::string& text, TSipPortPlan& plan, bool& hasSchedule) {
  const size_t eq = text.find('=');
  long long port;
  if (!ParseLong(text.substr(0, eq), 1, 65535, port)) return false;
  plan.Port = static_cast<uint16_t>(port);
  plan.ScheduleMs.clear();
  hasSchedule = eq != std::string::npos;
  if (!hasSchedule) return true;
  const std::string list = text.substr(eq + 1);
  if (list.empty()) return true;  // "PORT=": echoes only
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    long long ms;
    if (!ParseLong(list.substr(pos, comma - pos), 1, 3600000, ms)) return false;
    plan.ScheduleMs.push_back(static_cast<int>(ms));
    pos = comma + 1;
  }
  return plan.ScheduleMs.size() <= 32;
}

}  // namespace

std::vector<int> NatSchedule(const TEchoServerConfig& config, const TSipPortPlan& plan,
                             bool otherPortTested) {
  if (!plan.Adaptive || plan.ScheduleMs.empty()) return plan.ScheduleMs;
  std::vector<int> gaps = {config.FirstReportMs};
  const auto& rest = otherPortTested ? plan.ScheduleMs : config.SinglePortScheduleMs;
  gaps.insert(gaps.end(), rest.begin(), rest.end());
  return gaps;
}

TNatReportPlan NatReportPlan(const TEchoServerConfig& config, const TSipPortPlan& plan,
                             std::optional<size_t> portsTested) {
  if (!plan.Adaptive || plan.ScheduleMs.empty()) return {plan.ScheduleMs, true};
  if (!portsTested) return {{config.FirstReportMs}, false};
  return {NatSchedule(config, plan, *portsTested > 1), true};
}

TLifeSettings TEchoServerConfig::SessionLife() const {
  TLifeSettings life;
  life.FirstProbeMs = FirstProbeTimeoutMs;
  life.ChecksMs = ChecksTimeoutMs;
  life.AfterChecksMs = AfterChecksMs;
  life.LargeSipMs = LargeSipMs;
  life.MarginMs = SessionMarginMs;
  life.CheckKinds = 2 * SipPorts.size();
  life.TcpCheckKinds = 2 * SipPorts.size();
  return life;
}

long long TEchoServerConfig::LongestSessionMs() const {
  long long longest = 0;
  for (const auto& p : SipPorts) {
    for (bool other : {false, true}) {
      long long total = 0;
      for (int ms : NatSchedule(*this, p, other)) total += ms;
      longest = std::max(longest, total);
    }
  }
  const TLifeSettings life = SessionLife();
  // Time-out mappings open until the checks' time is up, take requests for their warm-up, then
  // the refresh datagrams go on a few gaps past the longest idle time.
  long long timeout = 0;
  if (!TimeoutPlanSuffix(1).empty())
    timeout = kTimeoutWarmUpMs +
              1000LL * TimeoutRefreshSecs * nat_timeout::RefreshDatagrams({TimeoutIdleSecs, TimeoutRefreshSecs, 1});
  // A call may begin at the session's last moment; its report goes out at the latest past its longest.
  const long long call = CallMaxSeconds > 0 ? 1000LL * CallMaxSeconds + kCallGraceMs + life.MarginMs : 0;
  return static_cast<long long>(life.ChecksMs + life.LargeSipMs) + std::max(longest, timeout) + life.CountdownMs + life.MarginMs +
         call;
}

size_t TEchoServerConfig::CallsAtOnce() const {
  return std::min(MaxCalls, static_cast<size_t>(std::max(RtpPacketsPerSecond, 0)) / call_wire::kPacketsPerSecond);
}

size_t TEchoServerConfig::CallsPerNetwork() const {
  const size_t share = MaxCallsPerNetwork > 0 ? MaxCallsPerNetwork : std::max<size_t>(2, CallsAtOnce() / 16);
  return std::min(share, CallsAtOnce());
}

size_t TEchoServerConfig::CallsPerAddress() const {
  const size_t share = MaxCallsPerAddress > 0 ? MaxCallsPerAddress : std::max<size_t>(1, CallsPerNetwork() / 4);
  return std::min(share, CallsPerNetwork());
}

std::string TEchoServerConfig::TimeoutPlanSuffix(uint16_t boundPort) const {
  return nat_timeout::PlanSuffix({TimeoutIdleSecs, TimeoutRefreshSecs, boundPort});
}

std::string ServerUsage() {
  return "Usage: sip-alg-echo-server [options]\n"
         "The echo server of the NAT - SIP ALG tester.\n"
         "  --address IP              IPv4 address of every socket (default 0.0.0.0)\n"
         "  --control-port N          TCP port of the control channel and HTTP (default 80)\n"
         "  --sip-port N[=MS,MS,...]  a UDP port for SIP probes (and TCP, for SIP over TCP) and\n"
         "                            the idle gaps in ms of its NAT session reports; repeat for\n"
         "                            each port. Given once, it\n"
         "                            replaces the defaults. Without =..., the first port takes\n"
         "                            the default schedule of 5060, the second that of 5058:\n"
         "                            a first report 2000 ms after the test INVITEs, then\n"
         "                            10000,20000,40000,80000 (5060) and 15000,30000,60000\n"
         "                            (5058) when both ports are tested, else\n"
         "                            10000,15000,22000,33000,50000. A schedule given with\n"
         "                            =... is kept as it is.\n"
         "  --nat-timeout-idle S,S,...  idle times in seconds of the NAT time-out test on the\n"
         "                            tester's own mappings, rising, 2 to 3600, at most 16 (default\n"
         "                            10,15,20,25,35,50,70,100,140,190; none: no such test)\n"
         "  --nat-timeout-refresh S   gap in seconds of the datagrams that test refresh by\n"
         "                            incoming traffic (default 10)\n"
         "  --nat-timeout-port N      UDP port of the NAT time-out test, one that no SIP ALG\n"
         "                            watches; 0 for any (default 3480)\n"
         "  --rtp-port N              port of RTP bursts and test calls, 0 for any (default\n"
         "                            5004)\n"
         "  --rtp-packets N           packets per RTP burst (default 50)\n"
         "  --rtp-interval MS         gap between RTP packets (default 20)\n"
         "  --rtp-rate N              RTP packets per second of all bursts and calls together;\n"
         "                            each call takes 50 of them, bursts share the rest and\n"
         "                            stretch past it (default 20000)\n"
         "  --call-max-seconds N      the longest test call a tester may make to the RTP port,\n"
         "                            1 to 120 (default 30; 0: no calls)\n"
         "  --max-calls N             test calls at once; one more is told that the server is\n"
         "                            busy (default 300, and at most the RTP rate / 50)\n"
         "  --max-calls-per-network N  test calls at once from one /24 network (default a\n"
         "                            sixteenth of --max-calls, at least 2: 18 of 300); a\n"
         "                            running call is never cut for another\n"
         "  --max-calls-per-address N  test calls at once from one address (default a quarter\n"
         "                            of a network's, at least 1: 4)\n"
         "  --stun-port N             UDP port of the STUN answers, and N+1 their other\n"
         "                            port (default 3478; 0: no STUN)\n"
         "  --other-address IP        the host's second address, from which STUN answers\n"
         "                            a change of address (default none: only a change of\n"
         "                            port)\n"
         "  --max-connections N       connections to the control port in all (default\n"
         "                            50000; each may bring two to the SIP ports)\n"
         "  --max-per-address N       connections to the control port per peer address\n"
         "                            (default 0: no cap; when the server is full, the\n"
         "                            network with the most gives its oldest up to a\n"
         "                            newcomer from elsewhere)\n"
         "  --protected-per-network N sessions of one network that are never closed to make\n"
         "                            room while in their checks or NAT test (default 16)\n"
         "  --datagram-rate N         datagrams without a session's token per second per\n"
         "                            source address (default 20)\n"
         "  --datagram-burst N        the same at once (default 100)\n"
         "  --session-rate N          datagrams with its token per second per control\n"
         "                            session (default 2; a port's six NAT test INVITEs\n"
         "                            count as one)\n"
         "  --session-burst N         the same at once (default 40)\n"
         "  --greeting-timeout MS     wait for the first request (default 10000)\n"
         "  --probe-timeout MS        wait for a session's first probe after its token\n"
         "                            (default 10000)\n"
         "  --checks-timeout MS       time from the token for the checks and the start of\n"
         "                            the NAT test (default 45000)\n"
         "  --http-lifetime MS        the longest an HTTP connection stays open (default\n"
         "                            190000)\n"
         "  --idle-timeout MS         no longer used (sessions end with their test); taken\n"
         "                            and ignored\n"
         "  --ieee-data DIR           IEEE registry CSV files for /download/MAC.CSV\n"
         "                            (default /usr/share/ieee-data; empty: none)\n"
         "  --help                    this text\n"
         "  --version                 print the version and end\n";
}

TOptionsOutcome ParseServerOptions(int argc, const char* const* argv, TEchoServerConfig& config,
                                   std::string& message) {
  const TEchoServerConfig defaults;
  std::vector<TSipPortPlan> sipPorts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      message = ServerUsage();
      return TOptionsOutcome::Help;
    }
    if (arg == "--version") return TOptionsOutcome::Version;
    if (i + 1 >= argc) {
      message = arg.rfind("--", 0) == 0 ? "missing value for " + arg : "unknown option " + arg;
      return TOptionsOutcome::Error;
    }
    const std::string value = argv[++i];
    long long n = 0;
    double d = 0;
    bool ok = true;
    if (arg == "--address") {
      ok = IsIpv4Text(value);
      if (ok) config.Address = value;
    } else if (arg == "--control-port") {
      ok = ParseLong(value, 1, 65535, n);
      config.ControlPort = static_cast<uint16_t>(n);
    } else if (arg == "--sip-port") {
      TSipPortPlan plan;
      bool hasSchedule = false;
      ok = ParseSipPort(value, plan, hasSchedule);
      if (ok && !hasSchedule && sipPorts.size() < defaults.SipPorts.size())
        plan = {plan.Port, defaults.SipPorts[sipPorts.size()].ScheduleMs, true};
      sipPorts.push_back(plan);
    } else if (arg == "--nat-timeout-idle") {
      config.TimeoutIdleSecs.clear();
      for (size_t pos = 0; ok && value != "none" && pos <= value.size();) {
        size_t comma = value.find(',', pos);
        if (comma == std::string::npos) comma = value.size();
        ok = ParseLong(value.substr(pos, comma - pos), nat_timeout::kMinIdleSecs, nat_timeout::kMaxSecs, n);
        config.TimeoutIdleSecs.push_back(static_cast<int>(n));
        pos = comma + 1;
      }
      ok = ok && (config.TimeoutIdleSecs.empty() ||
                  nat_timeout::ValidPlan({config.TimeoutIdleSecs, config.TimeoutRefreshSecs}));
    } else if (arg == "--nat-timeout-refresh") {
      ok = ParseLong(value, 1, nat_timeout::kMaxSecs, n);
      config.TimeoutRefreshSecs = static_cast<int>(n);
    } else if (arg == "--nat-timeout-port") {
      ok = ParseLong(value, 0, 65535, n);
      config.TimeoutPort = static_cast<uint16_t>(n);
    } else if (arg == "--rtp-port") {
      ok = ParseLong(value, 0, 65535, n);
      config.RtpPort = static_cast<uint16_t>(n);
    } else if (arg == "--rtp-packets") {
      ok = ParseLong(value, 0, 1000, n);
      config.RtpPackets = static_cast<int>(n);
    } else if (arg == "--rtp-interval") {
      ok = ParseLong(value, 1, 1000, n);
      config.RtpIntervalMs = static_cast<int>(n);
    } else if (arg == "--rtp-rate") {
      ok = ParseLong(value, 1, 10000000, n);
      config.RtpPacketsPerSecond = static_cast<int>(n);
    } else if (arg == "--call-max-seconds") {
      ok = ParseLong(value, 0, call_wire::kMaxSeconds, n);
      config.CallMaxSeconds = static_cast<int>(n);
    } else if (arg == "--max-calls") {
      ok = ParseLong(value, 1, 1000000, n);
      config.MaxCalls = static_cast<size_t>(n);
    } else if (arg == "--max-calls-per-network") {
      ok = ParseLong(value, 1, 1000000, n);
      config.MaxCallsPerNetwork = static_cast<size_t>(n);
    } else if (arg == "--max-calls-per-address") {
      ok = ParseLong(value, 1, 1000000, n);
      config.MaxCallsPerAddress = static_cast<size_t>(n);
    } else if (arg == "--stun-port") {
      ok = ParseLong(value, 0, 65534, n);
      config.StunPort = static_cast<uint16_t>(n);
    } else if (arg == "--other-address") {
      ok = IsIpv4Text(value) && value != "0.0.0.0";
      if (ok) config.OtherAddress = value;
    } else if (arg == "--max-connections") {
      ok = ParseLong(value, 1, 1000000, n);
      config.MaxConnections = static_cast<size_t>(n);
    } else if (arg == "--protected-per-network") {
      ok = ParseLong(value, 0, 1000000, n);
      config.ProtectedPerNetwork = static_cast<size_t>(n);
    } else if (arg == "--max-per-address") {
      ok = ParseLong(value, 0, 1000000, n);
      config.MaxConnectionsPerAddress = static_cast<size_t>(n);
    } else if (arg == "--datagram-rate") {
      ok = ParseDouble(value, 0.001, 1e9, d);
      config.DatagramsPerSecond = d;
    } else if (arg == "--datagram-burst") {
      ok = ParseDouble(value, 1, 1e9, d);
      config.DatagramBurst = d;
    } else if (arg == "--session-rate") {
      ok = ParseDouble(value, 0.001, 1e9, d);
      config.SessionDatagramsPerSecond = d;
    } else if (arg == "--session-burst") {
      ok = ParseDouble(value, 1, 1e9, d);
      config.SessionDatagramBurst = d;
    } else if (arg == "--greeting-timeout") {
      ok = ParseLong(value, 1, 3600000, n);
      config.GreetingTimeoutMs = static_cast<int>(n);
    } else if (arg == "--probe-timeout") {
      ok = ParseLong(value, 1, 3600000, n);
      config.FirstProbeTimeoutMs = static_cast<int>(n);
    } else if (arg == "--checks-timeout") {
      ok = ParseLong(value, 1, 3600000, n);
      config.ChecksTimeoutMs = static_cast<int>(n);
    } else if (arg == "--http-lifetime") {
      ok = ParseLong(value, 1, 24LL * 3600 * 1000, n);
      config.HttpLifetimeMs = static_cast<int>(n);
    } else if (arg == "--idle-timeout") {
      ok = ParseLong(value, 1, 24LL * 3600 * 1000, n);
      config.IdleTimeoutMs = static_cast<int>(n);
    } else if (arg == "--ieee-data") {
      config.IeeeDataDir = value;
    } else {
      message = "unknown option " + arg;
      return TOptionsOutcome::Error;
    }
    if (!ok) {
      message = "bad value for " + arg + ": " + value;
      return TOptionsOutcome::Error;
    }
  }
  if (!sipPorts.empty()) config.SipPorts = sipPorts;
  std::set<uint16_t> udpPorts;
  for (const auto& p : config.SipPorts) {
    if (!udpPorts.insert(p.Port).second) {
      message = "UDP port " + std::to_string(p.Port) + " given twice";
      return TOptionsOutcome::Error;
    }
  }
  if (config.RtpPort != 0 && udpPorts.count(config.RtpPort)) {
    message = "the RTP port " + std::to_string(config.RtpPort) + " is also a SIP port";
    return TOptionsOutcome::Error;
  }
  if (config.RtpPort != 0) udpPorts.insert(config.RtpPort);
  for (int p = config.StunPort; config.StunPort != 0 && p <= config.StunPort + 1; ++p) {
    if (udpPorts.count(static_cast<uint16_t>(p))) {
      message = "the STUN ports " + std::to_string(config.StunPort) + " and " + std::to_string(config.StunPort + 1) +
                " clash with the SIP or RTP port " + std::to_string(p);
      return TOptionsOutcome::Error;
    }
  }
  if (!config.OtherAddress.empty() && config.OtherAddress == config.Address) {
    message = "the other address is the server's address";
    return TOptionsOutcome::Error;
  }
  return TOptionsOutcome::Run;
}
