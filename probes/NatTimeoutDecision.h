#pragma once
// What the NAT time-out test makes of what came back, as plain code: for each idle time a new
// and a busy mapping, and one busy mapping that only the server keeps talking to (refresh by
// incoming traffic). The runner feeds it what it saw; it says what is known, and when the test
// can end. No answer rests on one datagram: an idle mapping counts as gone only when none of
// the server's copies came, a gone-by is confirmed by the next longer idle time, and refresh is
// told by several of the server's datagrams.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How long the NAT kept one kind of mapping open when idle.
struct TTimeoutBracket {
  std::optional<int> HeldSecs;    // the longest idle time that held; nullopt: none held
  std::optional<int> GoneBySecs;  // the shortest longer one that did not; nullopt: all held
  bool Measured = false;          // at least one mapping of the kind was warmed up
  // The answers contradict each other: a longer idle time held after a shorter one was gone.
  // HeldSecs and GoneBySecs are then the first failure's bracket (what a phone can rely on), and
  // UnsteadyHeldSecs the longest that held all the same.
  bool Unsteady = false;
  std::optional<int> UnsteadyHeldSecs;
  bool operator==(const TTimeoutBracket&) const = default;
};

// What the test found; the figures the summary, the advice and the JSON take.
struct TNatTimeoutResult {
  std::vector<int> IdleSecsTested;
  TTimeoutBracket New, Busy;
  std::optional<bool> InboundRefresh;  // nullopt: could not be told
  bool RefreshMixed = false;           // not told because the server's datagrams came and went
  int RefreshSecs = 0;
  int Port = 0;                        // the server's UDP port the mappings talked to
};

// One idle mapping as the runner saw it.
struct TIdleMapping {
  int IdleSecs = 0;
  bool Busy = false;
  std::optional<int64_t> WarmedAtMs;  // its last datagram out, once its warm-up held
  bool WarmFailed = false;            // the warm-up did not hold: the mapping says nothing
  bool Came = false;                  // a copy of the server's datagram came after the idle time
  bool Void = false;                  // it came sooner than the idle time after the last datagram out
};

struct TTimeoutObservations {
  std::vector<TIdleMapping> Idle;
  int RefreshSecs = 0;
  std::optional<int64_t> RefreshWarmedAtMs;  // as for an idle mapping
  bool RefreshWarmFailed = false;
  int RefreshPaid = 0;                       // refresh datagrams the server sends (at least)
  std::vector<int64_t> RefreshAgesMs;        // the ages the refresh datagrams that came name
};

// A datagram due after an idle time counts as missing this long after it was due (its copies
// go out within a second).
inline constexpr int kTimeoutGraceMs = 3000;
// Refresh: "yes" on this many of the server's datagrams past the busy time-out that came; "no"
// once this many past it are missing and none came.
inline constexpr int kRefreshYesDatagrams = 2;
inline constexpr int kRefreshNoDatagrams = 3;

struct TTimeoutState {
  TNatTimeoutResult Result;  // as far as known now
  bool Done = false;         // every answer is known: the test can end
  int64_t EndsByMs = 0;      // the latest it can end, on the observations' clock
};

// Decides at nowMs. A kind is known once an idle time failed, every shorter one is settled and
// so is the next longer one (which confirms it, or shows the NAT unsteady), or once all are
// settled. Refresh by incoming traffic is told by the refresh mapping outliving the busy
// mappings' time-out, and only where the refresh gap is no longer than the longest busy idle
// time that held.
TTimeoutState DecideNatTimeout(const TTimeoutObservations& o, int64_t nowMs);

// The NAT pane's and the summary's lines: "NAT time-out of a new mapping: held 25 s idle, gone
// by 35 s", the same for a busy one, and "NAT refresh by incoming traffic: yes".
std::vector<std::string> NatTimeoutLines(const TNatTimeoutResult& r);
