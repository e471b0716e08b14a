#pragma once
// The rules that decide whom the echo server serves, for how long and how much, as plain code:
// admission when the server is full, the life of a control session, the budgets of datagrams
// and the address fallback. The socket code asks these and runs the timers they name.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

using TServerClock = std::chrono::steady_clock;
using TServerTime = TServerClock::time_point;

// ---- Budgets -----------------------------------------------------------------------------------

// Datagrams allowed at once and over time: a token bucket.
struct TTokenBucket {
  double Tokens = 0;
  TServerTime Last;

  // Refills at rate (per second) up to burst, then takes one token if there is one.
  bool Take(double rate, double burst, TServerTime now);
  // Filled up again: the same as a new bucket.
  bool Full(double rate, double burst, TServerTime now) const;
};

// A bucket per source address, for datagrams without a session's token, in a table of bounded
// size: a new address takes the place of the idlest one, so that no flood of addresses locks
// newcomers out.
class TDatagramLimiter {
 public:
  TDatagramLimiter(size_t capacity, double rate, double burst)
      : capacity_(capacity), rate_(rate), burst_(burst) {}
  bool Allow(uint32_t address, TServerTime now);
  // Forgets the buckets that have filled up again.
  void ForgetFull(TServerTime now);
  size_t Size() const { return index_.size(); }

 private:
  struct Entry {
    uint32_t Address;
    TTokenBucket Bucket;
  };
  size_t capacity_;
  double rate_, burst_;
  std::list<Entry> byUse_;  // most recently used first
  std::unordered_map<uint32_t, std::list<Entry>::iterator> index_;
};

// The NAT test INVITEs a tester sends to one port, which count as one datagram.
constexpr int kNatInvitesAsOne = 6;

// The budget of one control session, for the datagrams that carry its token (and only those:
// they cost no address anything). The repeats of a port's NAT test INVITE are free up to
// kNatInvitesAsOne in all; past them they count like any other datagram.
class TSessionBudget {
 public:
  TSessionBudget(double rate, double burst, TServerTime now)
      : rate_(rate), burst_(burst), bucket_{burst, now} {}
  bool Take(bool natInvite, uint16_t port, TServerTime now);

 private:
  double rate_, burst_;
  TTokenBucket bucket_;
  std::map<uint16_t, int> natInvites_;  // by server port
};

// The RTP bursts of all sessions share one pace, so that sessions that start many bursts at once
// cannot take the event loop from everybody else: each tick of the burst interval gives one
// packet to each burst, up to perTick of them; the others wait for the next tick, in turn, and
// their bursts stretch.
template <typename Burst>
class TBurstPacer {
 public:
  explicit TBurstPacer(size_t perTick) { SetPerTick(perTick); }
  // Bursts get what the calls running now leave of the RTP rate; at least one packet a tick.
  void SetPerTick(size_t perTick) { perTick_ = perTick == 0 ? 1 : perTick; }
  void Add(Burst burst) { queue_.push_back(std::move(burst)); }
  bool Empty() const { return queue_.empty(); }
  size_t Size() const { return queue_.size(); }
  // One tick: send(burst) for the next bursts in turn, each at most once; a burst for which it
  // returns false is over and leaves.
  template <typename Send>
  void Tick(Send send) {
    const size_t n = std::min(perTick_, queue_.size());
    for (size_t i = 0; i < n; ++i) {
      Burst burst = std::move(queue_.front());
      queue_.pop_front();
      if (send(burst)) queue_.push_back(std::move(burst));
    }
  }

 private:
  size_t perTick_;
  std::deque<Burst> queue_;
};

// ---- The test call ----------------------------------------------------------------------------

// A tester's call to the RTP port: the server sends a stream of the same shape back, one packet
// per 20 ms tick while it has received more than it sent, and ends kCallSilenceMs after the
// tester's latest packet, or kCallGraceMs past the longest call after its first.
constexpr int kCallSilenceMs = 1000;
constexpr int kCallGraceMs = 2000;

enum class TCallStep { Send, Skip, End };
// On a tick: skip when it has sent as many as it received (a phone that sends nothing for one
// packet's time), else send; or end.
TCallStep CallStep(int received, int sent, TServerTime now, TServerTime first, TServerTime latest,
                   int maxSeconds);

// Test calls at once, shared per network: at most `total` in all, `perNetwork` from one network
// (the address's first prefixBits bits) and `perAddress` from one address, so that one network
// never holds more than its share while others wait. A call past a cap is refused; a running call
// is never cut for another.
class TCallShare {
 public:
  TCallShare(size_t total, size_t perNetwork, size_t perAddress, uint32_t networkMask)
      : total_(total), perNetwork_(perNetwork), perAddress_(perAddress), mask_(networkMask) {}
  // A call from address begins; false: no room for it.
  bool Take(uint32_t address);
  // A call from address is over.
  void Give(uint32_t address);
  size_t Size() const { return size_; }
  size_t FromNetwork(uint32_t address) const;
  size_t FromAddress(uint32_t address) const;

 private:
  size_t total_, perNetwork_, perAddress_;
  uint32_t mask_;
  size_t size_ = 0;
  std::unordered_map<uint32_t, size_t> byNetwork_, byAddress_;
};

// ---- Admission ---------------------------------------------------------------------------------

// The places of the server: every admitted connection to the control port holds one; a
// connection to a SIP port holds none, it is let in under the places of its address. A newcomer
// gets in while there is room (and its address is below the per-address cap, when one is set).
// When the server is full, of the networks (the address's first prefixBits bits) that hold the
// most places and one that may be taken, the place held longest goes, if that network holds more
// than the newcomer's own; else the newcomer is refused. What a session sends does not decide
// which goes: only a protected place is never taken (a session through its checks, and through
// its NAT tests once its checks came through: TSessionLife::ProtectedUntil), and a network has at
// most protectedPerNetwork of them. So keeping a newcomer out takes every place protected at
// once: capacity / protectedPerNetwork networks, each place renewed by a new session.
class TAdmission {
 public:
  using TId = uint64_t;
  struct TVerdict {
    bool Admit = false;        // false: refused (the server is busy for it)
    std::optional<TId> Evict;  // the connection to close first
  };
  // Connections to SIP ports allowed per place of their address: the tester's one at a time,
  // and those it just closed whose close is still on its way (on a lossy link a lost FIN keeps
  // them open here a while longer).
  static constexpr size_t kSipTcpPerPlace = 4;

  TAdmission(size_t capacity, size_t perAddressCap, int prefixBits, size_t protectedPerNetwork)
      : capacity_(capacity),
        perAddress_(perAddressCap),
        mask_(PrefixMask(prefixBits)),
        protectedPerNet_(protectedPerNetwork) {}

  TVerdict Decide(uint32_t address) const;
  // A connection that was admitted; it is not protected.
  void Add(TId id, uint32_t address, TServerTime now);
  // Asks for protection, or gives it up; granted while the network holds fewer protected places
  // than its share. Whether the place is protected now.
  bool Protect(TId id, bool want);
  void Remove(TId id);
  // A connection to a SIP port from address: false when the places of its address have no room
  // for one more.
  bool AddSipTcp(uint32_t address);
  void RemoveSipTcp(uint32_t address);

  size_t Size() const { return members_.size(); }
  size_t FromAddress(uint32_t address) const;
  size_t FromNetwork(uint32_t address) const;
  uint32_t Network(uint32_t address) const { return address & mask_; }
  static uint32_t PrefixMask(int bits) {
    return bits <= 0 ? 0 : bits >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - bits)) - 1);
  }

 private:
  using TSince = std::pair<TServerTime, TId>;  // held since; the older first
  struct TNet {
    size_t Count = 0;
    size_t Protected = 0;
    std::set<TSince> Takeable;  // its places that are not protected
  };
  // Fullest network first; among equals, the one whose takeable place was taken longest ago.
  struct TNetKey {
    size_t Count;
    TSince Oldest;
    uint32_t Net;
    bool operator<(const TNetKey& o) const {
      if (Count != o.Count) return Count > o.Count;
      if (Oldest != o.Oldest) return Oldest < o.Oldest;
      return Net < o.Net;
    }
  };
  struct TMember {
    uint32_t Address;
    TServerTime Since;
    bool Protected = false;
  };
  void Unlist(uint32_t net);
  void List(uint32_t net);

  size_t capacity_, perAddress_;
  uint32_t mask_;
  size_t protectedPerNet_;
  std::unordered_map<TId, TMember> members_;
  std::unordered_map<uint32_t, TNet> nets_;
  std::set<TNetKey> order_;  // the networks with a takeable place
  std::unordered_map<uint32_t, size_t> perAddressCount_;
  std::unordered_map<uint32_t, size_t> sipTcp_;  // by address
};

// ---- Life of a control session ------------------------------------------------------------------

// How long a session may take for each part of the test. The tester sends its first probe at
// once after the token; its four checks by UDP take at most 24 s (three 2 s waits per probe),
// its four over TCP at most 16 s (a 2 s connect and a 2 s wait each), its NAT test INVITEs
// follow at once; after each NAT session report it counts down the announced gap + 2 s (whole
// seconds: up to one more).
struct TLifeSettings {
  int FirstProbeMs = 10000;  // from the token to the first datagram
  int ChecksMs = 45000;      // from the token to the end of the checks and the start of a NAT test
  int AfterChecksMs = 5000;  // from the last of the checks to the start of a NAT test
  // The checks with large SIP messages after them (a newer tester's): added to both times above.
  int LargeSipMs = 0;
  int CountdownMs = 3000;    // the tester's countdown beyond the announced gap
  int MarginMs = 10000;      // past the tester's countdown
  size_t CheckKinds = 4;     // REGISTER and INVITE to each SIP port, by UDP ...
  size_t TcpCheckKinds = 4;  // ... and over TCP
};

// The life of one control session, which follows the test and which datagrams alone never
// renew: its first probe must come soon after the token; once every check was seen, or once the
// time for the checks is up, a session without a NAT test ends; a session in its NAT test ends
// when every port's schedule and the tester's countdown after the last report have run out,
// plus a margin.
class TSessionLife {
 public:
  TSessionLife(const TLifeSettings& settings, TServerTime greeted)
      : s_(settings), greeted_(greeted), checksEnd_(greeted + Ms(settings.ChecksMs + settings.LargeSipMs)) {}

  // A datagram taken for the session; a check names its method and server port (a NAT test
  // INVITE is none).
  void OnDatagram(std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now);
  // The same for a SIP message over TCP: its checks are kinds of their own.
  void OnTcpMessage(std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now);
  // Whether a NAT test may start now: only before the checks' time is up.
  bool MayStartNatRun(TServerTime now) const { return now < checksEnd_; }
  // A port's NAT session reports began; the first is due after firstGapMs.
  void OnNatRunStarted(uint16_t port, int firstGapMs, TServerTime now);
  // A report went out; next: the gap it announced, none for the port's last.
  void OnReport(uint16_t port, std::optional<int> nextMs, TServerTime now);
  // The NAT time-out test's mappings: the session lives until the last datagram due on them
  // has gone out and the tester has waited for it. Mappings open only while the checks' time
  // lasts.
  bool MayOpenTimeoutMapping(TServerTime now) const { return now < checksEnd_; }
  void OnTimeoutDue(TServerTime due);
  void OnTimeoutDone(TServerTime now);  // nothing more is due on them
  // The test call, at any time while the session is open (one per session): the session lives
  // until its report went out (at the latest by `latestEnd`), and the margin after it.
  void OnCallStarted(TServerTime latestEnd) { callEnd_ = latestEnd; }
  void OnCallDone(TServerTime now) { callEnd_ = now; }

  TServerTime Deadline() const;
  // Until when the session may not be closed to make room: from its token to the end of the
  // checks' time (a NAT test starts within it, so there is no gap), and to its deadline while it
  // runs a NAT test, time-out test or call once its checks by UDP came through. Until they came through a NAT test
  // counts for nothing: a session cannot buy protection by advancing.
  TServerTime ProtectedUntil() const;
  // Whether any check came, by UDP or over TCP.
  bool Checked() const { return !checks_.empty() || !tcpChecks_.empty(); }
  // Why the session ends at its deadline, for the log.
  const char* Why() const;

 private:
  static std::chrono::milliseconds Ms(int ms) { return std::chrono::milliseconds(ms); }
  struct TPort {
    TServerTime CountdownEnd;  // when the tester's countdown runs out if nothing more comes
    bool Done = false;         // its last report went out
  };
  TLifeSettings s_;
  TServerTime greeted_;
  TServerTime checksEnd_;
  bool probed_ = false;
  void OnCheck(bool tcp, std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now);
  bool Finished() const;
  bool checksOver_ = false;     // every check kind was seen
  bool checksThrough_ = false;  // every check kind by UDP was seen
  std::set<std::pair<bool, uint16_t>> checks_, tcpChecks_;
  std::map<uint16_t, TPort> nat_;
  std::optional<TServerTime> timeoutEnd_;  // the tester's wait for the last datagram due
  bool timeoutOpen_ = false;               // datagrams of the time-out test are still due
  std::optional<TServerTime> callEnd_;     // when the call's report goes out, at the latest
};

// ---- Address fallback --------------------------------------------------------------------------

// A datagram without a session's token, from the session's own address, may still be the
// tester's (a router rewrote its Call-ID), or a stranger's who forged the address. It is taken
// only while no datagram with the token has come, and only after it was held back for holdMs
// without one coming: the tester's first probe follows its token at once, so a stranger's
// datagram that races it is dropped with the hold. At most maxHeld wait at a time.
template <typename Item>
class TAddressFallback {
 public:
  TAddressFallback(int holdMs, size_t maxHeld) : hold_(std::chrono::milliseconds(holdMs)), max_(maxHeld) {}

  bool Open() const { return open_; }
  // A datagram by address; false when it is dropped (the fallback is closed, or too many wait).
  bool Offer(Item item, TServerTime now) {
    if (!open_ || held_.size() >= max_) return false;
    held_.emplace_back(now + hold_, std::move(item));
    return true;
  }
  // A datagram with the token came: the fallback closes and what it held is dropped.
  void OnToken() {
    open_ = false;
    held_.clear();
    held_.shrink_to_fit();
  }
  // When the next held datagram is due.
  std::optional<TServerTime> NextDue() const {
    if (held_.empty()) return std::nullopt;
    return held_.front().first;
  }
  // The held datagrams due by now, in their order.
  std::vector<Item> TakeDue(TServerTime now) {
    std::vector<Item> due;
    size_t n = 0;
    for (; n < held_.size() && held_[n].first <= now; ++n) due.push_back(std::move(held_[n].second));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    return due;
  }
  size_t Held() const { return held_.size(); }

 private:
  std::chrono::milliseconds hold_;
  size_t max_;
  bool open_ = true;
  // A few at most, and none in most sessions: a vector costs nothing while empty.
  std::vector<std::pair<TServerTime, Item>> held_;
};

// ---- Rationed logs -----------------------------------------------------------------------------

// Ends that say nothing about a tester are summed per period instead of a line each: how many,
// and from how many networks (up to maxNetworks of them are told apart).
// No probe: none of the checks (a session whose only datagrams were a lone time-out request, a
// call packet or a busy answer's). Unlogged: a tester's own line past the log's share.
enum class TTallied { NoProbe, HttpError, MadeRoom, Unlogged };

class TLogTally {
 public:
  TLogTally(uint32_t networkMask, size_t maxNetworks) : mask_(networkMask), max_(maxNetworks) {}
  void Count(TTallied kind, uint32_t address);
  // The period's lines ("1,234 sessions from 987 networks ended without a probe in the last
  // minute"), none for a kind that did not occur; the next period starts.
  std::vector<std::string> Flush(const std::string& period);

 private:
  struct TKind {
    uint64_t Count = 0;
    std::unordered_set<uint32_t> Networks;
  };
  uint32_t mask_;
  size_t max_;
  TKind kinds_[4];
};

// 1234567 -> "1,234,567".
std::string Thousands(uint64_t n);
