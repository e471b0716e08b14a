#pragma once
// What the NAT time-out test makes of what came back, as plain code: for each idle time a new
// and a busy mapping, and one busy mapping that only the server keeps talking to (refresh by
// incoming traffic). The runner feeds it what it saw; it says what is known, and when the test
// can end.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How long the NAT kept one kind of mapping open when idle.
struct TTimeoutBracket {
  std::optional<int> HeldSecs;    // the longest idle time that held; nullopt: none held
  std::optional<int> GoneBySecs;  // the shortest longer one that did not; nullopt: all held
  bool Measured = false;          // at least one mapping of the kind was warmed up
  bool operator==(const TTimeoutBracket&) const = default;
};

// What the test found; the figures the summary, the advice and the JSON take.
struct TNatTimeoutResult {
  std::vector<int> IdleSecsTested;
  TTimeoutBracket New, Busy;
  std::optional<bool> InboundRefresh;  // nullopt: could not be told
  int RefreshSecs = 0;
};

// One idle mapping as the runner saw it.
struct TIdleMapping {
  int IdleSecs = 0;
  bool Busy = false;
  std::optional<int64_t> WarmedAtMs;  // its last datagram out, once its warm-up was answered
  bool WarmFailed = false;            // the warm-up got no answer: the mapping says nothing
  bool Came = false;                  // the server's datagram after the idle time came
};

struct TTimeoutObservations {
  std::vector<TIdleMapping> Idle;
  int RefreshSecs = 0;
  std::optional<int64_t> RefreshWarmedAtMs;  // as for an idle mapping
  bool RefreshWarmFailed = false;
  std::vector<int64_t> RefreshAgesMs;        // the ages the refresh datagrams that came name
};

// A datagram due after an idle time counts as missing this long after it was due.
inline constexpr int kTimeoutGraceMs = 3000;

struct TTimeoutState {
  TNatTimeoutResult Result;  // as far as known now
  bool Done = false;         // every answer is known: the test can end
  int64_t EndsByMs = 0;      // the latest it can end, on the observations' clock
};

// Decides at nowMs. A kind is known once one of its idle times failed while every shorter one
// is settled (every longer one would fail too), or once all are settled. Refresh by incoming
// traffic is told by the refresh mapping outliving the busy mappings' time-out, and only where
// the refresh gap is no longer than the longest busy idle time that held.
TTimeoutState DecideNatTimeout(const TTimeoutObservations& o, int64_t nowMs);

// The NAT pane's and the summary's lines: "NAT time-out of a new mapping: held 25 s idle, gone
// by 35 s", the same for a busy one, and "NAT refresh by incoming traffic: yes".
std::vector<std::string> NatTimeoutLines(const TNatTimeoutResult& r);
