#pragma once
// The sum of one test run for a person: what each check found, in a few plain sentences, and
// what to do about an ALG or a short NAT time-out. Plain code made from the run's result; the
// console front prints it, the window writes the advice to its log pane, and both copy it into
// a report.
//
// The summary is a list of findings, one kind per member; a new kind of check adds a member,
// the lines that say it (SummaryLines) and, where there is something to do, advice.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "probes/RunResult.h"

// How the echo server answered.
enum class TServerReach {
  NotTried,     // the run ended before it talked to the server
  Unreachable,  // the connection to the server failed
  NoTcp,        // connected, but the greeting got no answer
  NoUdp,        // the greeting was answered, the first probe never
  Busy,         // the server answered the greeting that it is busy
  Reached,      // TCP and UDP both got through
};

// What the ALG checks found on one path to the server.
struct TAlgFinding {
  enum class TVerdict { NotChecked, NoneSoFar, None, Active };
  int Port = 0;                     // the nominal server port the verdicts name
  TVerdict Verdict = TVerdict::NotChecked;
  std::vector<std::string> Probes;  // per probe: "REGISTER unchanged", "INVITE dropped", ...
  // Over TCP: no check's connection to the port could be made (what failed), so a phone set to
  // SIP over TCP cannot use it; the summary and the advice say so.
  std::optional<std::string> NotReachable;
  bool Swallowed = false;  // over TCP: a message the far end acknowledged never reached the server
};

// How long the NAT kept one port's idle mapping open, as far as its reports show.
struct TNatBracket {
  enum class TState {
    NotRun,      // the NAT session test did not run for the port
    NotRunAlg,   // ... because the port showed an ALG
    NoReport,    // it ran, and no report came back
    Measured,    // at least one report came back
  };
  int Port = 0;
  TState State = TState::NotRun;
  int HeldSecs = 0;                   // the longest idle time that held
  std::optional<int> GoneBySecs;      // the next report, due at this idle time, never came
  std::optional<int> NotDueSecs;      // the next report was announced, but the run ended first
  std::optional<int> MissedSecs;      // an announced report that never came, although a longer
                                      // idle time held before: lost on the way, not timed out
  // The NAT keeps a mapping open only for what this computer sends (the time-out test found):
  // the figures count from the socket's last datagram out, not from the report before.
  bool FromLastOut = false;
  // Whether incoming traffic refreshes a mapping was not told: when it went is not told either
  // (GoneBySecs empty), only that it held.
  bool EndNotTold = false;
};

struct TRunSummary {
  TServerReach Server = TServerReach::NotTried;
  std::vector<TAlgFinding> Alg;  // 5060, then 5058
  // SIP over TCP, the same way: a message swallowed counts as an ALG, a port not reachable as
  // not checked. Empty when the checks over TCP did not run.
  std::vector<TAlgFinding> AlgTcp;
  TLargeSipReport Large;         // large SIP messages both ways, when they were tried
  std::vector<TNatBracket> Nat;  // 5060, then 5058
  // The NAT time-out test on mappings of the tester's own, when it ran: the figures the
  // advice takes.
  std::optional<TNatTimeoutResult> NatTimeout;
  // Whether a SIP port's mapping (Nat) held longer than the test's busy mappings went by: its
  // SIP ALG keeps it open. nullopt: not told. SipPortLonger names the port.
  std::optional<bool> SipPortLonger;
  const TNatBracket* SipPortLongerOn = nullptr;  // into Nat
  std::optional<TNatBehaviour> Behaviour;  // the NAT's class, when STUN found it
  std::optional<TNatLayers> Layers;        // how many NATs, when that was looked for
  bool RtpTested = false;        // RTP datagrams were asked for (a NAT session test ran)
  int RtpPort = 0;
  int RtpPackets = 0;
  std::optional<TCallResult> Call;  // the test call, when it ran
  std::string RouterIP;          // "" when the start never looked; "0.0.0.0" when none was found
  std::string RouterMac;         // 12 hex digits; all "0" when unknown
  std::optional<std::string> Vendor;
  TRunEnd End = TRunEnd::Open;
  // The server saw the probes come from this computer's own address: nothing translated them.
  bool OwnAddress = false;
  std::string NotReachedReason;  // what kept the control connection from being made

  bool AnyAlg() const;  // by UDP or over TCP
  const TAlgFinding* AlgOn(int port) const;
};

// What the summary needs besides the run's result.
struct TSummaryContext {
  int ServerPort = 5060;  // where the 5060 socket's probes and reports go
  int RtpPort = 0;        // the local RTP port
  int64_t NowMs = 0;      // RunClockMs() now: the end of a run that is still open
  std::string LocalIp = {};  // the address the run tested from; "" when unknown
};

// A report announced for an idle time of N s counts as missing once the run went on for N s and
// this much more after the report that announced it.
inline constexpr int kReportSlackMs = 1500;
// A NAT that drops an idle mapping within this time is short for SIP: registrations commonly
// refresh once an hour, so incoming calls would find the mapping gone.
inline constexpr int kShortNatTimeoutSecs = 900;

// What became of a port's next announced report (at nextSecs of idle time) by the run's end,
// sinceLastMs after the report that announced it, when heldSecs held at the longest.
enum class TNextReport {
  NotDue,  // the run ended first
  GoneBy,  // it never came: the mapping timed out between heldSecs and nextSecs
  Missed,  // it never came, although as long an idle time held: lost on the way
};
TNextReport NextReportFate(int nextSecs, int heldSecs, int64_t sinceLastMs);
// Whether a SIP port's mappings outlive the time-out test's: a port that held longer than the
// test's busy mappings went by (a SIP socket's mapping carried traffic both ways for more than
// 2 s, so the busy figure is the one to beat). nullopt where that cannot be told.
std::optional<bool> SipPortLonger(const std::vector<TNatBracket>& ports, const std::optional<TNatTimeoutResult>& t,
                                  const TNatBracket** which);
// A mapping gone by goneBySecs is short for SIP.
bool IsShortNatTimeout(int goneBySecs);
// A keep-alive interval comfortably below secs to name as an example: three quarters of it, in
// steps of 5 s, at least 5 s; none below 10 s.
std::optional<int> KeepAliveExampleSecs(int secs);

TRunSummary SummariseRun(const TRunResult& result, const TSummaryContext& context);

// The findings, one sentence each: the server, the ALG per port, the NAT time-out per port,
// RTP and the router.
std::vector<std::string> SummaryLines(const TRunSummary& summary);

// What to do about it: for an ALG, where to switch it off and what it is called, and which way
// around it the run showed; for a short NAT time-out, a keep-alive interval below the longest
// idle time that held; for a NAT that gives each destination a new public port, a media relay.
// Empty when there is nothing to do.
std::vector<std::string> AdviceLines(const TRunSummary& summary);

// "00:1A:2B:3C:4D:5E" for "001A2B3C4D5E"; other texts as they are.
std::string MacWithColons(const std::string& macText);
