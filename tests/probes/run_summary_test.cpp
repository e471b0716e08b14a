// The summary of a run and the advice drawn from it, from run results made up for each row.
#include <gtest/gtest.h>

#include <functional>

#include "probes/RunSummary.h"

namespace {

using O = TSequenceReport::TOutcome;
using Lines = std::vector<std::string>;

constexpr int64_t kT0 = 1'000'000;  // the clock when the last report of a port came

TSequenceReport::TCheck Clean() { return {true, 0, false}; }
TSequenceReport::TCheck Changed(int n) { return {true, -n, false}; }
TSequenceReport::TCheck Dropped() { return {true, 0, true}; }

// A run that got through the sequence with the given checks, the NAT test started for every
// port without an ALG, and a router with a known maker.
TRunResult Completed(TSequenceReport::TCheck r60, TSequenceReport::TCheck i60, TSequenceReport::TCheck r58,
                     TSequenceReport::TCheck i58) {
  TRunResult r;
  r.Sequence.Outcome = O::Completed;
  r.Sequence.Register5060 = r60;
  r.Sequence.Invite5060 = i60;
  r.Sequence.Register5058 = r58;
  r.Sequence.Invite5058 = i58;
  r.Sequence.Nat5060 = !r60.Alg() && !i60.Alg();
  r.Sequence.Nat5058 = !r58.Alg() && !i58.Alg();
  r.RouterIP = "192.168.1.1";
  r.RouterMac = "001A2B3C4D5E";
  r.Vendor = "Example Networks Inc.";
  r.End = TRunEnd::CountdownRanOut;
  return r;
}
TRunResult NoAlg() { return Completed(Clean(), Clean(), Clean(), Clean()); }

// The checks over TCP, in the same order.
TRunResult OverTcp(TRunResult r, TSequenceReport::TCheck r60, TSequenceReport::TCheck i60, TSequenceReport::TCheck r58,
                   TSequenceReport::TCheck i58) {
  r.Sequence.TcpRegister5060 = r60;
  r.Sequence.TcpInvite5060 = i60;
  r.Sequence.TcpRegister5058 = r58;
  r.Sequence.TcpInvite5058 = i58;
  return r;
}
TSequenceReport::TCheck Unreachable() { return {true, 0, false, false, true, "the connection was refused", true}; }

// Reports that reached a socket (by its nominal port): the ages that held, and the next one
// announced after the last.
void Reports(TRunResult& r, int port, std::vector<int> held, std::optional<int> next) {
  r.Nat[port] = {std::move(held), next, kT0};
}

// A bracket of the time-out test.
TTimeoutBracket B(std::optional<int> held, std::optional<int> gone, bool measured = true) {
  TTimeoutBracket b;
  b.HeldSecs = held;
  b.GoneBySecs = gone;
  b.Measured = measured;
  return b;
}

// The time-out test's figures.
TNatTimeoutResult Timeout(TTimeoutBracket fresh, TTimeoutBracket busy, std::optional<bool> refresh) {
  TNatTimeoutResult t;
  t.IdleSecsTested = {10, 25, 35};
  t.New = fresh;
  t.Busy = busy;
  t.InboundRefresh = refresh;
  return t;
}
TRunResult Timeout(TRunResult r, TTimeoutBracket fresh, TTimeoutBracket busy, std::optional<bool> refresh) {
  r.NatTimeout = Timeout(fresh, busy, refresh);
  return r;
}

// Ends the run `ms` after the last report.
TRunResult EndedAfter(TRunResult r, int64_t ms) {
  r.EndedAtMs = kT0 + ms;
  return r;
}

TEST(RunSummary, lines_per_finding) {
  struct Row {
    const char* name;
    std::function<TRunResult()> make;
    TSummaryContext context;
    Lines lines;  // the summary's lines from the given index on
    size_t from;
  };
  const TSummaryContext ctx{5060, 5004, 0};
  const std::string routerLine = "Router: 192.168.1.1, MAC 00:1A:2B:3C:4D:5E, Example Networks Inc.";
  const Row rows[] = {
      {"a clean run, both brackets closed by the countdown",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40}, 80);
         Reports(r, 5058, {2, 30}, 60);
         r.RtpPackets = 50;
         return EndedAfter(r, 82'500);
       },
       ctx,
       {"Echo server: reached over TCP and UDP", "SIP ALG on port 5060: none seen (REGISTER and INVITE came back unchanged)",
        "SIP ALG on port 5058: none seen (REGISTER and INVITE came back unchanged)",
        "NAT time-out on port 5060: held 40 s idle, gone by 80 s", "NAT time-out on port 5058: held 30 s idle, gone by 60 s",
        "RTP (audio) port 5004: 50 datagrams from the server arrived", routerLine},
       0},
      // The shared countdown may end the run before another port's announced report is due.
      {"one port's next report not due when the run ended",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {1}, 2);
         Reports(r, 5058, {3}, 5);
         return EndedAfter(r, 3'500);
       },
       ctx,
       {"NAT time-out on port 5060: held 1 s idle, gone by 2 s",
        "NAT time-out on port 5058: held at least 3 s (the run ended before the 5 s report was due)"},
       3},
      {"the end of the schedule: nothing announced after the last report",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40, 80, 160}, std::nullopt);
         return EndedAfter(r, 500'000);
       },
       ctx, {"NAT time-out on port 5060: held at least 160 s"}, 3},
      {"a shorter idle time missing after a longer one held: lost, not timed out",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {30, 60}, 30);
         return EndedAfter(r, 33'000);
       },
       ctx, {"NAT time-out on port 5060: held at least 60 s (the 30 s report did not come)"}, 3},
      // The time-out test found that only what goes out keeps a mapping open: the reports count
      // from the INVITEs, 32.4 s before the last of them.
      {"outbound-only refresh: a port's bracket from its last datagram out",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 10, 20}, 40);
         r.Sequence.NatSentAtMs5060 = kT0 - 32'400;
         r.NatTimeout = Timeout(B(35, 50), B(35, 50), false);
         return EndedAfter(r, 42'000);
       },
       ctx,
       {"NAT time-out on port 5060: held 32 s idle, gone by 73 s, counted from this computer's last datagram out, as "
        "this NAT counts"},
       3},
      {"refresh not told: only that the port held",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20}, 40);
         r.Sequence.NatSentAtMs5060 = kT0 - 22'000;
         r.NatTimeout = Timeout(B(35, 50), B(35, 50), std::nullopt);
         return EndedAfter(r, 42'000);
       },
       ctx,
       {"NAT time-out on port 5060: held at least 20 s; when it went is not told (whether incoming traffic keeps a "
        "mapping open was not told)"},
       3},
      {"a port's report missing sooner than the test's new mappings went: lost on the way",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2}, 3);
         r.NatTimeout = Timeout(B(50, 70), B(140, 190), true);
         return EndedAfter(r, 42'000);
       },
       ctx, {"NAT time-out on port 5060: held at least 2 s (the 3 s report did not come)"}, 3},
      {"... and one missing as late as they held still is",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 50}, 51);
         r.NatTimeout = Timeout(B(50, 70), B(140, 190), true);
         return EndedAfter(r, 60'000);
       },
       ctx, {"NAT time-out on port 5060: held 50 s idle, gone by 51 s"}, 3},
      {"a SIP port's mapping outlived the test's busy ones",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40, 80, 160}, std::nullopt);
         r.NatTimeout = Timeout(B(25, 35), B(100, 140), true);
         return EndedAfter(r, 500'000);
       },
       ctx,
       {"On port 5060 the router keeps mappings open longer (held at least 160 s): its SIP ALG refreshes them; with the "
        "ALG off a phone meets the figures above"},
       8},
      {"stopped by the user before the report was due; a still open run ends now",
       [] {
         TRunResult r = NoAlg();
         r.End = TRunEnd::Open;
         Reports(r, 5060, {2}, 60);
         return r;
       },
       TSummaryContext{5060, 5004, kT0 + 61'400}, {"NAT time-out on port 5060: held at least 2 s (the run ended before the 60 s report was due)"}, 3},
      {"the server saw the probes come from the address tested from: no NAT on the way",
       [] {
         TRunResult r = NoAlg();
         r.Sequence.Public5058 = TPublicMapping{"192.168.1.20", 5058, true};
         return r;
       },
       TSummaryContext{5060, 5004, 0, "192.168.1.20"},
       {"Echo server: reached over TCP and UDP",
        "The echo server saw this computer's own address: nothing translated the traffic, so these checks say "
        "nothing about a router.",
        "SIP ALG on port 5060: none seen (REGISTER and INVITE came back unchanged)"},
       0},
      {"the 5060 socket's reports, sent from the server's own SIP port",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {20}, 40);  // the result keeps them by the socket they reached
         return EndedAfter(r, 41'500);
       },
       TSummaryContext{5070, 5006, 0}, {"NAT time-out on port 5060: held 20 s idle, gone by 40 s"}, 3},
      {"an ALG on 5060 and a dropped INVITE; the NAT test only on 5058, which sent nothing back",
       [] {
         TRunResult r = Completed(Changed(2), Dropped(), Clean(), Clean());
         r.Vendor.reset();
         return EndedAfter(r, 0);
       },
       ctx,
       {"Echo server: reached over TCP and UDP",
        "SIP ALG on port 5060: active (REGISTER: 2 header(s) changed, INVITE dropped)",
        "SIP ALG on port 5058: none seen (REGISTER and INVITE came back unchanged)",
        "NAT time-out on port 5060: not measured (the port showed an ALG)",
        "NAT time-out on port 5058: not measured, no NAT report came back",
        "RTP (audio) port 5004: no datagram from the server arrived",
        "Router: 192.168.1.1, MAC 00:1A:2B:3C:4D:5E, maker not in the list"},
       0},
      {"an ALG on both ports: no NAT test, no RTP",
       [] {
         TRunResult r = Completed(Clean(), Changed(4), Changed(1), Clean());
         r.End = TRunEnd::NoNatTest;
         return r;
       },
       ctx,
       {"SIP ALG on port 5060: active (REGISTER unchanged, INVITE: 4 header(s) changed)",
        "SIP ALG on port 5058: active (REGISTER: 1 header(s) changed, INVITE unchanged)",
        "NAT time-out on port 5060: not measured (the port showed an ALG)",
        "NAT time-out on port 5058: not measured (the port showed an ALG)", "RTP (audio) port 5004: not tested",
        routerLine},
       1},
      {"over TCP: an ALG on 5060 (a swallowed INVITE), 5058 not reachable",
       [] { return OverTcp(NoAlg(), Changed(2), Dropped(), Unreachable(), Unreachable()); },
       ctx,
       {"SIP ALG on TCP port 5060: active (REGISTER over TCP: 2 header(s) changed, INVITE over TCP swallowed)",
        "SIP ALG on TCP port 5058: not checked",
        "SIP over TCP to port 5058: not reachable (the connection was refused): a phone set to SIP over TCP cannot use "
        "this server port"},
       3},
      {"over TCP: nothing changed; one INVITE not sent leaves that port's verdict open",
       [] { return OverTcp(NoAlg(), Clean(), Clean(), Clean(), Unreachable()); },
       ctx,
       {"SIP ALG on TCP port 5060: none seen (REGISTER and INVITE came back unchanged)",
        "SIP ALG on TCP port 5058: none seen so far (REGISTER over TCP unchanged, INVITE over TCP not judged (the "
        "connection was refused))"},
       3},
      {"no echo: no NAT lines, the unreached checks named",
       [] {
         TRunResult r;
         r.Sequence.Outcome = O::NoEcho;
         r.Sequence.Register5060 = Clean();
         r.RouterIP = "192.168.1.1";
         r.RouterMac = "000000000000";
         r.End = TRunEnd::ServerNotReached;
         return r;
       },
       ctx,
       {"Echo server: reached over TCP, but no UDP probe got through",
        "SIP ALG on port 5060: none seen so far (REGISTER unchanged, INVITE not checked)",
        "SIP ALG on port 5058: not checked", "RTP (audio) port 5004: not tested", "Router: 192.168.1.1, MAC unknown"},
       0},
      {"no greeting answer, no router",
       [] {
         TRunResult r;
         r.Sequence.Outcome = O::NoGreeting;
         r.RouterIP = "0.0.0.0";
         r.RouterMac = "000000000000";
         return r;
       },
       ctx,
       {"Echo server: connected, but no answer came over TCP", "SIP ALG on port 5060: not checked",
        "SIP ALG on port 5058: not checked", "RTP (audio) port 5004: not tested", "Router: none found (no default route)"},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Lines all = SummaryLines(SummariseRun(row.make(), row.context));
    ASSERT_GE(all.size(), row.from);
    Lines tail(all.begin() + static_cast<long>(row.from), all.end());
    tail.resize(std::min(tail.size(), row.lines.size()));
    EXPECT_EQ(tail, row.lines);
  }
}

TEST(RunSummary, advice_per_result) {
  struct Row {
    const char* name;
    std::function<TRunResult()> make;
    Lines advice;
    std::string localIp = "";
  };
  const std::string names =
      "The setting is usually called \"SIP ALG\"; it may also be called \"SIP helper\", \"SIP passthrough\" or "
      "\"SIP fixup\".";
  const std::string page =
      "Switch the router's SIP ALG off: open the router's page, http://192.168.1.1/, in a browser and sign in as its "
      "administrator.";
  const std::string again = "Run the test again after the change; some routers apply it only after a restart.";
  const std::string tls =
      "Where the ALG cannot be switched off, SIP over TLS avoids it: the router cannot read encrypted messages.";
  const Row rows[] = {
      {"no ALG, a NAT that kept every mapping", [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40, 80, 160}, std::nullopt);
         return EndedAfter(r, 400'000);
       },
       {}},
      {"an ALG on 5060 only, 5058 untouched and its NAT time-out bracketed",
       [] {
         TRunResult r = Completed(Changed(2), Changed(4), Clean(), Clean());
         Reports(r, 5058, {2, 30}, 60);
         return EndedAfter(r, 62'000);
       },
       {page, names,
        "Port 5058 passed untouched: the ALG handles port 5060 only, so a provider's other SIP port (such as 5058), or "
        "SIP over TLS, avoids it where the ALG cannot be switched off.",
        again,
        "The NAT forgets an idle UDP mapping after 30 to 60 s (port 5058): set the keep-alive (or re-registration) "
        "interval of the phone or softphone below 30 s, for example 20 s, or incoming calls may not reach it."}},
      {"an ALG that only drops, on both ports; no router found",
       [] {
         TRunResult r = Completed(Clean(), Dropped(), Clean(), Dropped());
         r.RouterIP = "0.0.0.0";
         return r;
       },
       {"Switch the router's SIP ALG off in the router's settings page.", names, tls, again}},
      {"5060 clean but 5058 changed, and the INVITE on 5060 never checked: no untouched port to point at",
       [] {
         TRunResult r = Completed(Clean(), TSequenceReport::TCheck{}, Changed(1), Clean());
         return r;
       },
       {page, names, tls, again}},
      {"an ALG over TCP only: SIP over UDP passed",
       [] { return OverTcp(NoAlg(), Changed(2), Changed(4), Clean(), Clean()); },
       {page, names, tls, "The ALG rewrites SIP over TCP only: SIP over UDP passed untouched.", again}},
      {"an ALG by UDP only: SIP over TCP passed",
       [] { return OverTcp(Completed(Changed(2), Changed(4), Changed(2), Changed(4)), Clean(), Clean(), Clean(), Clean()); },
       {page, names, tls,
        "SIP over TCP passed untouched: a phone set to SIP over TCP avoids the ALG where it cannot be switched off.",
        again}},
      {"no ALG; the shorter of two bracketed time-outs decides the keep-alive",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40}, 80);
         Reports(r, 5058, {2}, 30);
         return EndedAfter(r, 90'000);
       },
       {"The NAT forgets an idle UDP mapping after 2 to 30 s (port 5058): set the keep-alive (or re-registration) "
        "interval of the phone or softphone below 2 s, or incoming calls may not reach it."}},
      {"a time-out not yet due, or past what counts as short, asks for nothing",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {600}, 1200);
         Reports(r, 5058, {2}, 30);
         return EndedAfter(r, 31'000);  // 30 s + less than the slack
       },
       {}},
      {"... a long time-out that did run out",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {600}, 1200);
         return EndedAfter(r, 1'202'000);
       },
       {}},
      {"the time-out test: the new mapping's figure decides, not the ports' reports",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2, 20, 40}, 80);
         r.NatTimeout = Timeout(B(25, 35), B(100, 140), true);
         return EndedAfter(r, 90'000);
       },
       {"The NAT forgets a new UDP mapping after 25 to 35 s idle: set the keep-alive (or re-registration) interval of "
        "the phone or softphone below 25 s, for example 15 s; a phone's mapping is new after every registration, so a "
        "longer interval loses it and incoming calls may not reach the phone."}},
      {"... even the shortest idle time failed; incoming traffic refreshes nothing",
       [] { return Timeout(NoAlg(), B(std::nullopt, 10), B(std::nullopt, 10), false); },
       {"The NAT forgets a new UDP mapping within 10 s idle: set the keep-alive interval of the phone or softphone "
        "well below 10 s, or incoming calls may not reach it.",
        "Only what this computer sends keeps a mapping open: keep-alive requests that the provider sends from its side "
        "will not keep it open, so the phone must send its own."}},
      {"... a new mapping gone at the short limit asks for a keep-alive, one held there for nothing",
       [] { return Timeout(NoAlg(), B(600, kShortNatTimeoutSecs), B(900, std::nullopt), std::nullopt); },
       {"The NAT forgets a new UDP mapping after 600 to 900 s idle: set the keep-alive (or re-registration) interval "
        "of the phone or softphone below 600 s, for example 450 s; a phone's mapping is new after every registration, "
        "so a longer interval loses it and incoming calls may not reach the phone."}},
      {"... gone past the short limit", [] { return Timeout(NoAlg(), B(900, 1200), B(900, std::nullopt), true); }, {}},
      {"... a port whose own mapping went sooner gets no advice of its own: the headline's figure decides",
       [] {
         TRunResult r = Completed(Changed(2), Changed(4), Clean(), Clean());
         Reports(r, 5058, {2, 7}, 15);
         r.NatTimeout = Timeout(B(15, std::nullopt), B(30, std::nullopt), std::nullopt);
         return EndedAfter(r, 62'000);
       },
       {page, names,
        "Port 5058 passed untouched: the ALG handles port 5060 only, so a provider's other SIP port (such as 5058), or "
        "SIP over TLS, avoids it where the ALG cannot be switched off.",
        again}},
      {"... an unsteady new mapping: the first failure's figure, and why",
       [] {
         TTimeoutBracket fresh = B(20, 25);
         fresh.Unsteady = true;
         fresh.UnsteadyHeldSecs = 50;
         return Timeout(NoAlg(), fresh, B(100, 140), true);
       },
       {"The NAT forgets a new UDP mapping after 20 to 25 s idle: set the keep-alive (or re-registration) interval of "
        "the phone or softphone below 20 s, for example 15 s; a phone's mapping is new after every registration, so a "
        "longer interval loses it and incoming calls may not reach the phone.",
        "The NAT's time-out is unsteady: it lost a new mapping after 25 s idle, yet kept one for 50 s; the keep-alive "
        "above follows the shorter figure."}},
      {"... not measured at all: the ports' reports decide, the first of two that held as long",
       [] {
         TRunResult r = NoAlg();
         Reports(r, 5060, {2}, 40);
         Reports(r, 5058, {2}, 30);
         r.NatTimeout = Timeout(B(std::nullopt, std::nullopt, false), B(std::nullopt, std::nullopt, false), std::nullopt);
         return EndedAfter(r, 90'000);
       },
       {"The NAT forgets an idle UDP mapping after 2 to 40 s (port 5060): set the keep-alive (or re-registration) "
        "interval of the phone or softphone below 2 s, or incoming calls may not reach it."}},
      {"the server saw the address tested from",
       [] {
         TRunResult r = NoAlg();
         r.Sequence.Public5060 = TPublicMapping{"192.168.1.20", 5060, true};
         return r;
       },
       {"Run the test against an echo server on the internet, outside this network: the package "
        "sip-alg-echo-server runs one on a machine there."}, "192.168.1.20"},
      {"given up on NAT reports",
       [] {
         TRunResult r = NoAlg();
         r.End = TRunEnd::NoNatReport;
         return r;
       },
       {"Inbound UDP does not come back through the router: look at its firewall or \"UDP flood\" protection, or "
        "forward the ports (UDP 5060 and 5058) to this computer."}},
      {"the server refused the connection",
       [] {
         TRunResult r;
         r.End = TRunEnd::ServerNotReached;
         r.NotReachedReason = "the connection was refused";
         return r;
       },
       {"Check the server's name and that its echo server runs and takes TCP port 80; the package "
        "sip-alg-echo-server runs one (see its manual page, sip-alg-echo-server(8))."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(AdviceLines(SummariseRun(row.make(), {5060, 5004, 0, row.localIp})), row.advice);
  }
}

TEST(RunSummary, sip_port_longer_than_the_busy_mappings) {
  auto port = [](TNatBracket::TState state, int held) {
    TNatBracket b;
    b.Port = 5060;
    b.State = state;
    b.HeldSecs = held;
    return b;
  };
  const auto measured = TNatBracket::TState::Measured;
  TNatTimeoutResult unsteady = Timeout(B(25, 35), B(100, 140), true);
  unsteady.Busy.Unsteady = true;
  struct Row {
    const char* name;
    std::vector<TNatBracket> ports;
    std::optional<TNatTimeoutResult> test;
    std::optional<bool> longer;
  } rows[] = {
      {"no time-out test", {port(measured, 160)}, std::nullopt, std::nullopt},
      {"busy mappings that never went", {port(measured, 160)}, Timeout(B(25, 35), B(190, std::nullopt), true), std::nullopt},
      {"busy figures unsteady", {port(measured, 160)}, unsteady, std::nullopt},
      {"no port measured", {port(TNatBracket::TState::NoReport, 0)}, Timeout(B(25, 35), B(100, 140), true), std::nullopt},
      {"held as long as the busy gone-by", {port(measured, 140)}, Timeout(B(25, 35), B(100, 140), true), false},
      {"held a second longer", {port(measured, 141)}, Timeout(B(25, 35), B(100, 140), true), true},
  };
  for (const Row& r : rows) {
    const TNatBracket* which = nullptr;
    EXPECT_EQ(SipPortLonger(r.ports, r.test, &which), r.longer) << r.name;
    EXPECT_EQ(which != nullptr, r.longer == true) << r.name;
  }
}

TEST(RunSummary, limits_on_each_side) {
  using F = TNextReport;
  struct FateRow {
    int next, held;
    int64_t sinceLastMs;
    F fate;
  };
  const FateRow fates[] = {
      {20, 10, 20'000 + kReportSlackMs - 1, F::NotDue}, {20, 10, 20'000 + kReportSlackMs, F::GoneBy},
      {11, 10, 20'000, F::GoneBy},                       {10, 10, 20'000, F::Missed},
      {9, 10, 20'000, F::Missed},
  };
  for (const FateRow& r : fates)
    EXPECT_EQ(NextReportFate(r.next, r.held, r.sinceLastMs), r.fate) << r.next << " " << r.held << " " << r.sinceLastMs;
  EXPECT_TRUE(IsShortNatTimeout(kShortNatTimeoutSecs));
  EXPECT_FALSE(IsShortNatTimeout(kShortNatTimeoutSecs + 1));
  const std::pair<int, std::optional<int>> examples[] = {{9, std::nullopt}, {10, 5}, {19, 10}, {20, 15}, {600, 450}};
  for (const auto& [secs, example] : examples) EXPECT_EQ(KeepAliveExampleSecs(secs), example) << secs;
}

}  // namespace
