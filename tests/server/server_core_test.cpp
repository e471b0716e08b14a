// The server's transport-free pieces: echo frames, the vendor names' code page, and the rules of
// admission, session life, budgets and the address fallback.
#include <gtest/gtest.h>

#include "proto/XorUnit.h"
#include "server/ConnectionCore.h"
#include "server/MacList.h"
#include "server/SessionPolicy.h"

namespace {

TEST(ServerCore, echo_frames_say_what_was_cut) {
  struct Case {
    const char* name;
    std::string datagram;
    bool byToken;
    std::string line;
    size_t textSize;
  };
  const std::string largest(65507, 'x'), big(70001, 'x');
  const Case cases[] = {
      {"whole", "INVITE sip:a\r\n\r\n", true,
       "Received 16 bytes on UDP port 5060 from 1.2.3.4:5", 16},
      {"zero byte", std::string("ab\0cd", 5), false,
       "Received 5 bytes on UDP port 5060 from 1.2.3.4:5 (Call-ID not recognised, matched by "
       "address) (cut at a zero byte)",
       2},
      {"the largest datagram: whole", largest, true, "Received 65507 bytes on UDP port 5060 from 1.2.3.4:5", 65507},
      {"larger than any datagram", big, true,
       "Received 70001 bytes on UDP port 5060 from 1.2.3.4:5 (echo cut at 65507 bytes)", 65507},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string frame = Scramble(EchoFrame(c.datagram, 5060, "1.2.3.4:5", c.byToken));
    ASSERT_EQ(frame.back(), '\0');
    const size_t lineEnd = frame.find("\r\n");
    EXPECT_EQ(frame.substr(0, lineEnd), c.line);
    EXPECT_EQ(frame.size() - lineEnd - 3, c.textSize);
    EXPECT_EQ(frame.compare(lineEnd + 2, c.textSize, c.datagram, 0, c.textSize), 0);
  }
}

TEST(ServerCore, vendor_names_in_iso_8859_1) {
  struct Case {
    const char* utf8;
    std::string latin1;
  };
  const Case cases[] = {
      {"SECURITAS DIRECT ESPA\xC3\x91" "A, SAU", "SECURITAS DIRECT ESPA\xD1" "A, SAU"},
      {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "L\xF3" "dz"},     // letters ISO-8859-1 lacks: closest
      {"Mu\xCC\x88nchen", "M\xFCnchen"},                    // a combining accent joins its letter
      {"\xE5\xB8\x82 Co", "? Co"},                          // no Latin form at all
      {"A\xEF\xBC\x8C" "B", "A,B"},                         // a full-width comma
      {"A\xE2\x80\x8B" "B", "AB"},                          // a zero-width space
      {"ESPA\xD1" "A", "ESPA\xD1" "A"},                     // ISO-8859-1 already
      {"a\x85" "b", "a?b"},                                 // no character in either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToLatin1(c.utf8), c.latin1);
  }
}

TEST(ServerCore, datagram_counters_make_room_by_dropping_the_idlest) {
  const auto t0 = TServerClock::now();
  TDatagramLimiter limiter(2, 1, 2);  // two addresses, bursts of 2
  EXPECT_TRUE(limiter.Allow(1, t0));
  EXPECT_TRUE(limiter.Allow(1, t0));
  EXPECT_FALSE(limiter.Allow(1, t0));  // spent
  EXPECT_TRUE(limiter.Allow(2, t0));
  EXPECT_TRUE(limiter.Allow(3, t0));  // the table is full: address 1, the idlest, goes
  EXPECT_EQ(limiter.Size(), 2u);
  EXPECT_FALSE(limiter.Allow(3, t0) && limiter.Allow(3, t0));
  limiter.ForgetFull(t0 + std::chrono::seconds(5));
  EXPECT_EQ(limiter.Size(), 0u);
}

using std::chrono::milliseconds;

uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 |
         static_cast<uint32_t>(c) << 8 | static_cast<uint32_t>(d);
}

TEST(ServerCore, a_full_server_takes_the_oldest_unprotected_place_of_the_fullest_network) {
  const auto t0 = TServerClock::now();
  struct Open {
    uint32_t address;
    bool protect;
    int sinceMs;  // admitted
  };
  struct Case {
    const char* name;
    size_t capacity, perAddress;
    std::vector<Open> open;  // ids 1, 2, ... in this order; two protected places per network
    uint32_t newcomer;
    bool admit;
    std::optional<TAdmission::TId> evict;
  };
  const uint32_t a1 = Ip(10, 0, 1, 1), a2 = Ip(10, 0, 1, 2), b1 = Ip(10, 0, 2, 1), c1 = Ip(10, 0, 3, 1);
  const Case cases[] = {
      {"room: in", 3, 0, {{a1, true, 0}, {a1, false, 0}}, a1, true, std::nullopt},
      {"a cap per address, when set", 3, 2, {{a1, false, 0}, {a2, false, 0}, {a2, false, 0}}, a2, false, std::nullopt},
      {"full: of the fullest network, the place held longest goes, however far it is", 3, 0,
       {{a1, false, 5}, {a2, false, 1}, {b1, false, 0}}, c1, true, 2},
      {"full: a protected place never goes", 3, 0, {{a1, false, 5}, {a2, true, 1}, {b1, false, 0}}, c1, true, 1},
      {"full: past the fullest network, when all of its places are protected", 3, 0,
       {{a1, true, 0}, {a2, true, 0}, {b1, false, 9}}, c1, true, 3},
      {"full: a network's protection beyond its share is not granted", 4, 0,
       {{a1, true, 0}, {a2, true, 1}, {a1, true, 2}, {b1, false, 0}}, c1, true, 3},
      {"full: of two networks as full, the one whose takeable place is the oldest", 4, 0,
       {{a1, false, 4}, {a2, false, 5}, {b1, false, 3}, {b1, false, 6}}, c1, true, 3},
      {"full: one more than the newcomer's own network is enough", 3, 0,
       {{a1, false, 0}, {a2, false, 0}, {b1, false, 0}}, b1, true, 1},
      {"full, and the newcomer's network holds the most: busy", 3, 0, {{a1, false, 0}, {a2, false, 0}, {b1, false, 0}},
       a1, false, std::nullopt},
      {"full, and every place is protected: busy", 2, 0, {{a1, true, 0}, {b1, true, 0}}, c1, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAdmission admission(c.capacity, c.perAddress, 24, 2);
    TAdmission::TId id = 0;
    for (const Open& o : c.open) {
      admission.Add(++id, o.address, t0 + milliseconds(o.sinceMs));
      admission.Protect(id, o.protect);
    }
    const TAdmission::TVerdict v = admission.Decide(c.newcomer);
    EXPECT_EQ(v.Admit, c.admit);
    EXPECT_EQ(v.Evict, c.evict);
  }
  // The register follows removals and protection given up.
  TAdmission admission(2, 0, 24, 1);
  admission.Add(1, a1, t0);
  admission.Add(2, a1, t0 + milliseconds(1));
  EXPECT_TRUE(admission.Protect(1, true));
  EXPECT_FALSE(admission.Protect(2, true));
  EXPECT_EQ(admission.Decide(b1).Evict, std::optional<TAdmission::TId>(2));
  admission.Remove(2);
  admission.Add(3, a2, t0 + milliseconds(2));
  EXPECT_EQ(admission.Decide(b1).Evict, std::optional<TAdmission::TId>(3));
  admission.Protect(1, false);
  EXPECT_EQ(admission.Decide(b1).Evict, std::optional<TAdmission::TId>(1));
  admission.Remove(1);
  EXPECT_TRUE(admission.Decide(a1).Admit && !admission.Decide(a1).Evict);
  EXPECT_EQ(admission.FromNetwork(a2), 1u);
}

TEST(ServerCore, calls_are_shared_per_network_and_address_and_never_cut) {
  // 5 calls in all, 3 per network, 2 per address.
  TCallShare share(5, 3, 2, TAdmission::PrefixMask(24));
  const uint32_t a1 = Ip(10, 0, 1, 1), a2 = Ip(10, 0, 1, 2), b1 = Ip(10, 0, 2, 1), c1 = Ip(10, 0, 3, 1);
  struct Step {
    const char* name;
    bool take;  // false: a call of address ends
    uint32_t address;
    bool granted;
  } steps[] = {
      {"first of an address", true, a1, true},
      {"second of the address", true, a1, true},
      {"third: past the address's share", true, a1, false},
      {"its network's third, from another address", true, a2, true},
      {"past the network's share", true, a2, false},
      {"another network", true, b1, true},
      {"a third network", true, c1, true},
      {"full", true, b1, false},
      {"a call of the first address ends", false, a1, true},
      {"its room goes to a network below its share", true, b1, true},
      {"full again", true, a1, false},
      {"an address with no call ends none", false, Ip(10, 0, 4, 1), true},
      {"still full", true, Ip(10, 0, 4, 1), false},
  };
  for (const Step& s : steps) {
    if (s.take)
      EXPECT_EQ(share.Take(s.address), s.granted) << s.name;
    else
      share.Give(s.address);
    EXPECT_LE(share.Size(), 5u) << s.name;
  }
  EXPECT_EQ(share.FromNetwork(a1), 2u);
  EXPECT_EQ(share.FromAddress(b1), 2u);
  EXPECT_EQ(share.Size(), 5u);
}

TEST(ServerCore, sip_over_tcp_is_let_in_under_the_places_of_its_address) {
  const auto t0 = TServerClock::now();
  const uint32_t a = Ip(10, 0, 1, 1), b = Ip(10, 0, 1, 2);
  TAdmission admission(1, 0, 24, 16);
  admission.Add(1, a, t0);
  EXPECT_FALSE(admission.AddSipTcp(b)) << "an address without a place";
  for (size_t i = 0; i < TAdmission::kSipTcpPerPlace; ++i) EXPECT_TRUE(admission.AddSipTcp(a)) << i;
  EXPECT_FALSE(admission.AddSipTcp(a)) << "past the connections of one place";
  EXPECT_EQ(admission.Size(), 1u) << "none holds a place";
  admission.RemoveSipTcp(a);
  EXPECT_TRUE(admission.AddSipTcp(a));
  admission.Remove(1);
  admission.RemoveSipTcp(a);
  EXPECT_FALSE(admission.AddSipTcp(a)) << "its place is gone";
}

TEST(ServerCore, a_session_lives_as_long_as_its_test) {
  const auto t0 = TServerClock::now();
  enum Kind { Probe, TcpProbe, NatProbe, NatStart, Report, LastReport, TimeoutDue, TimeoutDone };
  struct Event {
    int atMs;
    Kind kind;
    uint16_t port = 5060;
    bool invite = false;
    int ms = 0;  // NatStart: first gap; Report: the next gap announced
  };
  struct Case {
    const char* name;
    std::vector<Event> events;
    int deadlineMs;
    int protectedUntilMs;
    int natMayStartUntilMs;  // MayStartNatRun holds before this, not from it
  };
  const Case cases[] = {
      {"greeted, nothing since: the first probe is due", {}, 10000, 10000, 45000},
      {"probing: until the time for the checks is up, however much it sends",
       {{500, Probe}, {9000, Probe, 5058}, {20000, Probe}, {29000, Probe}}, 45000, 45000, 45000},
      {"the checks by UDP seen: those over TCP may follow until the time for the checks is up",
       {{100, Probe}, {200, Probe, 5058}, {300, Probe, 5060, true}, {400, Probe, 5058, true}, {900, TcpProbe}},
       45000, 45000, 45000},
      {"every check seen, by UDP and over TCP: ends shortly after unless a NAT test starts",
       {{100, Probe}, {200, Probe, 5058}, {300, Probe, 5060, true}, {400, Probe, 5058, true}, {500, TcpProbe},
        {600, TcpProbe, 5058}, {700, TcpProbe, 5060, true}, {6300, TcpProbe, 5058, true}},
       11300, 11300, 11300},
      {"a NAT test: the first report and the tester's countdown after it, plus the margin",
       {{100, Probe}, {2000, NatStart, 5060, false, 2000}}, 2000 + 2000 + 3000 + 10000, 17000, 45000},
      {"each report announces the next gap",
       {{100, NatStart, 5060, false, 2000}, {2100, Report, 5060, false, 20000}, {2700, NatStart, 5058, false, 2000},
        {4700, Report, 5058, false, 30000}},
       4700 + 30000 + 3000 + 10000, 45000, 45000},
      {"the datagrams of a NAT test renew nothing",
       {{100, NatStart, 5060, false, 2000}, {2100, Report, 5060, false, 20000}, {15000, NatProbe}, {21000, NatProbe}},
       2100 + 20000 + 3000 + 10000, 35100, 45000},
      {"the last report: the countdown of the one before runs out",
       {{100, NatStart, 5060, false, 2000}, {2100, Report, 5060, false, 20000}, {22100, LastReport}},
       2100 + 20000 + 3000 + 10000, 35100, 45000},
      {"the time-out test's last datagram due, the tester's wait for it and the margin",
       {{100, Probe}, {200, TimeoutDue, 5060, false, 190200}}, 190200 + 3000 + 10000, 45000, 45000},
      {"the time-out test outlasts the NAT test",
       {{200, TimeoutDue, 5060, false, 100000}, {2100, NatStart, 5060, false, 2000}}, 100000 + 3000 + 10000,
        45000, 45000},
      {"the time-out test over early: the checks' time decides again",
       {{200, TimeoutDue, 5060, false, 60000}, {20000, TimeoutDone}, {20100, Probe}}, 45000, 45000, 45000},
      {"checks by UDP through, then a NAT test: protected to its end",
       {{100, Probe}, {200, Probe, 5058}, {300, Probe, 5060, true}, {400, Probe, 5058, true},
        {500, NatStart, 5060, false, 2000}, {2500, Report, 5060, false, 40000}},
       2500 + 40000 + 3000 + 10000, 2500 + 40000 + 3000 + 10000, 45000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLifeSettings settings;
    TSessionLife life(settings, t0);
    for (const Event& e : c.events) {
      const auto at = t0 + milliseconds(e.atMs);
      switch (e.kind) {
        case Probe: life.OnDatagram(std::pair{e.invite, e.port}, at); break;
        case TcpProbe: life.OnTcpMessage(std::pair{e.invite, e.port}, at); break;
        case NatProbe: life.OnDatagram(std::nullopt, at); break;
        case NatStart: life.OnNatRunStarted(e.port, e.ms, at); break;
        case Report: life.OnReport(e.port, e.ms, at); break;
        case LastReport: life.OnReport(e.port, std::nullopt, at); break;
        case TimeoutDue: life.OnTimeoutDue(t0 + milliseconds(e.ms)); break;
        case TimeoutDone: life.OnTimeoutDone(at); break;
      }
    }
    EXPECT_EQ(life.Deadline(), t0 + milliseconds(c.deadlineMs));
    EXPECT_EQ(life.ProtectedUntil(), t0 + milliseconds(c.protectedUntilMs));
    EXPECT_TRUE(life.MayStartNatRun(t0 + milliseconds(c.natMayStartUntilMs - 1)));
    EXPECT_FALSE(life.MayStartNatRun(t0 + milliseconds(c.natMayStartUntilMs)));
  }
}

TEST(ServerCore, the_large_sip_checks_lengthen_a_sessions_life_not_its_protection) {
  const auto t0 = TServerClock::now();
  TLifeSettings settings;
  settings.LargeSipMs = 30000;
  struct Row {
    const char* name;
    int lastCheckMs;  // when the eighth check came; 0: none came
    int deadlineMs, protectedUntilMs, natMayStartUntilMs;
  };
  const Row rows[] = {
      {"checks still coming: the checks' time and the large messages' after it", 0, 75000, 45000, 75000},
      {"all eight early: 5 s after the last, and the large messages' 30 s", 7000, 42000, 12000, 42000},
      {"all eight late: never past the checks' time with the large messages'", 44000, 75000, 45000, 75000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TSessionLife life(settings, t0);
    life.OnDatagram(std::pair{false, uint16_t{5060}}, t0 + milliseconds(100));
    if (r.lastCheckMs)
      for (bool invite : {false, true})
        for (uint16_t port : {uint16_t{5060}, uint16_t{5058}}) {
          life.OnDatagram(std::pair{invite, port}, t0 + milliseconds(r.lastCheckMs));
          life.OnTcpMessage(std::pair{invite, port}, t0 + milliseconds(r.lastCheckMs));
        }
    EXPECT_EQ(life.Deadline(), t0 + milliseconds(r.deadlineMs));
    EXPECT_EQ(life.ProtectedUntil(), t0 + milliseconds(r.protectedUntilMs));
    EXPECT_TRUE(life.MayStartNatRun(t0 + milliseconds(r.natMayStartUntilMs - 1)));
    EXPECT_FALSE(life.MayStartNatRun(t0 + milliseconds(r.natMayStartUntilMs)));
  }
}

TEST(ServerCore, a_sessions_budget_counts_a_ports_nat_invites_as_one) {
  const auto t0 = TServerClock::now();
  struct Case {
    const char* name;
    std::vector<std::pair<bool, uint16_t>> datagrams;  // NAT test INVITE?, port
    int taken;  // of them, with a burst of 3 and no refill
  };
  const Case cases[] = {
      {"three of anything", {{false, 5060}, {false, 5060}, {false, 5058}, {false, 5060}}, 3},
      {"six NAT INVITEs to each port, after two probes",
       {{false, 5060}, {false, 5058}, {true, 5060}, {true, 5060}, {true, 5060}, {true, 5060}, {true, 5060},
        {true, 5060}, {true, 5058}},
       8},
      {"the seventh NAT INVITE to a port counts",
       {{true, 5060}, {true, 5060}, {true, 5060}, {true, 5060}, {true, 5060}, {true, 5060}, {true, 5060},
        {true, 5060}, {true, 5060}},
       8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSessionBudget budget(0.001, 3, t0);
    int taken = 0;
    for (const auto& [nat, port] : c.datagrams) taken += budget.Take(nat, port, t0);
    EXPECT_EQ(taken, c.taken);
  }
}

TEST(ServerCore, rtp_bursts_share_one_pace) {
  struct Case {
    const char* name;
    size_t perTick;
    std::vector<int> bursts;              // packets of each, added in this order
    std::vector<std::string> ticks;       // the bursts served on each tick
  };
  const Case cases[] = {
      {"room for all: one packet each per tick", 4, {2, 1, 3}, {"abc", "ac", "c"}},
      {"past the cap the others wait their turn", 2, {2, 1, 3}, {"ab", "ca", "c", "c"}},
      {"a cap of one", 1, {2, 2}, {"a", "b", "a", "b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct Burst {
      char name;
      int left;
    };
    TBurstPacer<Burst> pacer(c.perTick);
    for (size_t i = 0; i < c.bursts.size(); ++i) pacer.Add({static_cast<char>('a' + i), c.bursts[i]});
    std::vector<std::string> ticks;
    for (int t = 0; t < 20 && !pacer.Empty(); ++t) {
      std::string served;
      pacer.Tick([&](Burst& b) {
        served += b.name;
        return --b.left > 0;
      });
      ticks.push_back(served);
    }
    EXPECT_EQ(ticks, c.ticks);
  }
}

TEST(ServerCore, the_address_fallback_holds_back_and_closes_with_the_token) {
  const auto t0 = TServerClock::now();
  struct Case {
    const char* name;
    std::vector<int> offersMs;  // datagrams by address
    int tokenAtMs;              // a datagram with the token; -1: none
    int atMs;                   // when the due ones are taken
    std::vector<int> released;  // the offers (by index) released by then
    bool open;
  };
  const Case cases[] = {
      {"held for the hold time, then released in order", {0, 100, 600}, -1, 1100, {0, 1}, true},
      {"the token closes it and drops what it held", {0, 100}, 400, 2000, {}, false},
      {"a stranger's datagram after the token is refused", {500, 600}, 100, 2000, {}, false},
      {"at most three wait", {0, 1, 2, 3}, -1, 1100, {0, 1, 2}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAddressFallback<int> fallback(1000, 3);
    std::vector<std::pair<int, int>> events;  // time, offer index (-1: the token)
    for (size_t i = 0; i < c.offersMs.size(); ++i) events.emplace_back(c.offersMs[i], static_cast<int>(i));
    if (c.tokenAtMs >= 0) events.emplace_back(c.tokenAtMs, -1);
    std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.first < b.first; });
    for (const auto& [at, index] : events) {
      if (index < 0)
        fallback.OnToken();
      else
        fallback.Offer(index, t0 + milliseconds(at));
    }
    EXPECT_EQ(fallback.TakeDue(t0 + milliseconds(c.atMs)), c.released);
    EXPECT_EQ(fallback.Open(), c.open);
  }
}

TEST(ServerCore, ends_of_non_testers_are_summed_per_period) {
  struct Case {
    const char* name;
    std::vector<std::pair<TTallied, uint32_t>> ends;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"nothing: no line", {}, {}},
      {"one", {{TTallied::NoProbe, Ip(10, 0, 1, 1)}}, {"1 session from 1 network ended without a probe in the last minute"}},
      {"networks told apart by their /24, up to the cap",
       {{TTallied::HttpError, Ip(10, 0, 1, 1)}, {TTallied::HttpError, Ip(10, 0, 1, 2)}, {TTallied::HttpError, Ip(10, 0, 2, 1)},
        {TTallied::HttpError, Ip(10, 0, 3, 1)}, {TTallied::MadeRoom, Ip(10, 0, 3, 1)}},
       {"4 HTTP connections from 2+ networks ended without a good answer in the last minute",
        "1 connection from 1 network closed to make room in the last minute"}},
      {"testers' lines past the log's share",
       {{TTallied::Unlogged, Ip(10, 0, 1, 1)}, {TTallied::Unlogged, Ip(10, 0, 1, 9)}},
       {"2 testers' lines from 1 network not logged one by one in the last minute"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogTally tally(TAdmission::PrefixMask(24), 2);
    for (const auto& [kind, address] : c.ends) tally.Count(kind, address);
    EXPECT_EQ(tally.Flush("minute"), c.lines);
    EXPECT_TRUE(tally.Flush("minute").empty()) << "a new period";
  }
  EXPECT_EQ(Thousands(1234567), "1,234,567");
  EXPECT_EQ(Thousands(987), "987");
}

}  // namespace
