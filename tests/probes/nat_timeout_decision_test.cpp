// What the NAT time-out test makes of what came back: a row per branch and each side of it.
#include <gtest/gtest.h>

#include "probes/NatTimeoutDecision.h"
#include "probes/NatTimeoutTest.h"

namespace {

// Idle times 10, 20, 30, 40 s; every mapping warmed at 0 ms. Rows give per kind what became of
// each idle time's datagram: '1' a copy came, '0' none came, '-' warm-up failed, 'v' came too
// soon (void), and the time of decision.
struct Row {
  const char* name;
  const char* newCame;
  const char* busyCame;
  int64_t nowMs;
  std::optional<int> newHeld, newGone, busyHeld, busyGone;
  bool done;
  bool newUnsteady = false;
};

TTimeoutObservations Observe(const char* newCame, const char* busyCame, int refreshSecs = 5) {
  TTimeoutObservations o;
  o.RefreshSecs = refreshSecs;
  o.RefreshPaid = 40 / refreshSecs + 3;
  const int idle[] = {10, 20, 30, 40};
  for (int i = 0; i < 4; ++i)
    for (bool busy : {false, true}) {
      TIdleMapping m;
      m.IdleSecs = idle[i];
      m.Busy = busy;
      const char c = (busy ? busyCame : newCame)[i];
      if (c == '-') {
        m.WarmFailed = true;
      } else {
        m.WarmedAtMs = 0;
        m.Came = c == '1';
        m.Void = c == 'v';
      }
      o.Idle.push_back(m);
    }
  o.RefreshWarmedAtMs = 0;
  return o;
}

}  // namespace

TEST(NatTimeoutDecision, BracketsConfirmedByTheNextIdleTime) {
  const Row rows[] = {
      // 10 s due at 10 s, missing only 3 s later.
      {"10 s not yet overdue", "0000", "0000", 13000, {}, {}, {}, {}, false},
      {"10 s overdue, 20 s not yet: the failure waits for its confirmation", "0000", "0000", 13001, {}, 10, {}, 10, false},
      {"10 and 20 s overdue for both: known", "0000", "0000", 23001, {}, 10, {}, 10, true},
      {"new gone by 20 and confirmed at 30, busy still open", "1000", "1100", 33001, 10, 20, 20, 30, false},
      {"new 10..20, busy 20..30 confirmed at 40", "1000", "1100", 43001, 10, 20, 20, 30, true},
      {"all held: known only when the longest is settled", "1111", "1111", 40000, 40, {}, 40, {}, true},
      {"the longest gone: nothing longer to confirm it", "1110", "1110", 43001, 30, 40, 30, 40, true},
      // Contradicting answers: the first failure's bracket, flagged.
      {"held 30 s after 20 s was gone: unsteady", "1011", "1111", 43001, 10, 20, 40, {}, true, true},
      {"the confirming mapping came: unsteady, known", "1010", "1111", 43001, 10, 20, 40, {}, true, true},
      // A mapping whose warm-up failed, or whose datagram came too soon, says nothing either way.
      {"failed warm-up next to the failure: the one after confirms", "10-0", "1111", 43001, 10, 20, 40, {}, true},
      {"failed warm-up at the boundary: the bracket widens", "1-00", "1111", 43001, 10, 30, 40, {}, true},
      {"a datagram that came too soon", "1v00", "1111", 43001, 10, 30, 40, {}, true},
  };
  for (const Row& r : rows) {
    TTimeoutObservations o = Observe(r.newCame, r.busyCame);
    // The refresh mapping outlived every busy time-out: it never holds a decision up here.
    o.RefreshAgesMs = {40000, 45000, 50000, 55000};
    const TTimeoutState s = DecideNatTimeout(o, r.nowMs);
    EXPECT_EQ(s.Result.New.HeldSecs, r.newHeld) << r.name;
    EXPECT_EQ(s.Result.New.GoneBySecs, r.newGone) << r.name;
    EXPECT_EQ(s.Result.Busy.HeldSecs, r.busyHeld) << r.name;
    EXPECT_EQ(s.Result.Busy.GoneBySecs, r.busyGone) << r.name;
    EXPECT_EQ(s.Result.New.Unsteady, r.newUnsteady) << r.name;
    EXPECT_EQ(s.Done, r.done) << r.name;
    if (!s.Done) {
      EXPECT_GT(s.EndsByMs, r.nowMs) << r.name;
    }
  }
  const TTimeoutState unsteady = DecideNatTimeout(Observe("1011", "1111"), 43001);
  EXPECT_EQ(unsteady.Result.New.UnsteadyHeldSecs, 40);
  EXPECT_EQ(NatTimeoutLines(unsteady.Result)[0],
            "NAT time-out of a new mapping: unsteady: held 10 s idle, gone by 20 s, yet held 40 s once");
}

TEST(NatTimeoutDecision, RefreshByIncomingTrafficRestsOnSeveralDatagrams) {
  // Busy held 10, gone by 20 (confirmed at 30); the refresh datagrams every 5 s, paid up to 55 s:
  // those due at 20, 25, 30, ... s decide.
  struct RefreshRow {
    const char* name;
    int refreshSecs;
    std::vector<int64_t> ages;
    int64_t nowMs;
    std::optional<bool> refresh;
    bool mixed;
    bool done;
  } rows[] = {
      {"two past the busy time-out came", 5, {5000, 10000, 15000, 20010, 25005}, 33001, true, false, true},
      {"one came, two missing, more due", 5, {5000, 10000, 15000, 20010}, 33001, {}, false, false},
      {"one lost, the next two came", 5, {5000, 10000, 15000, 25000, 30000}, 33001, true, false, true},
      {"two missing: not yet no", 10, {10000}, 33001, {}, false, false},
      {"three missing, none came", 5, {5000, 10000, 15000}, 33001, false, false, true},
      {"one came, then none: not told", 5, {5000, 10000, 15000, 20000}, 58001, {}, true, true},
      // A gap longer than the longest idle time that held cannot keep anything open.
      {"gap longer than the busy held time", 15, {}, 45000, {}, false, true},
      {"gap equal to the busy held time", 10, {10000, 20000, 30000}, 33001, true, false, true},
  };
  for (const RefreshRow& r : rows) {
    TTimeoutObservations o = Observe("1000", "1000", r.refreshSecs);
    o.RefreshPaid = 55 / r.refreshSecs;
    o.RefreshAgesMs = r.ages;
    const TTimeoutState s = DecideNatTimeout(o, r.nowMs);
    EXPECT_EQ(s.Result.InboundRefresh, r.refresh) << r.name;
    EXPECT_EQ(s.Result.RefreshMixed, r.mixed) << r.name;
    EXPECT_EQ(s.Done, r.done) << r.name;
  }
  // Not told where nothing expired, where the busy figures contradict, or where the refresh
  // mapping's warm-up failed.
  EXPECT_FALSE(DecideNatTimeout(Observe("1111", "1111"), 43001).Result.InboundRefresh);
  EXPECT_FALSE(DecideNatTimeout(Observe("1000", "1011"), 43001).Result.InboundRefresh);
  TTimeoutObservations failed = Observe("1000", "1000");
  failed.RefreshWarmedAtMs.reset();
  failed.RefreshWarmFailed = true;
  EXPECT_TRUE(DecideNatTimeout(failed, 33001).Done);
  EXPECT_FALSE(DecideNatTimeout(failed, 33001).Result.InboundRefresh);
}

TEST(NatTimeoutDecision, WarmUpsThatFailOrStillRunSettleNothing) {
  TTimeoutObservations o = Observe("----", "----");
  o.RefreshWarmedAtMs.reset();
  o.RefreshWarmFailed = true;
  EXPECT_TRUE(DecideNatTimeout(o, 1000).Done) << "inbound UDP blocked: known at once";
  EXPECT_FALSE(DecideNatTimeout(o, 1000).Result.New.Measured);
  for (TIdleMapping& m : o.Idle) m.WarmFailed = false;  // still warming up
  EXPECT_FALSE(DecideNatTimeout(o, 1000).Done);
  EXPECT_GE(DecideNatTimeout(o, 1000).EndsByMs, 1000 + 40000);
}

// The busy warm-up: answers both ways over more than 2 s, the last one answered while requests
// are left. Requests 1.5 s apart.
TEST(NatTimeoutDecision, BusyWarmUpHoldsOnlyOverMoreThanTwoSeconds) {
  const std::vector<int64_t> at = {0, 1500, 3000, 4500};
  struct WarmRow {
    const char* name;
    size_t sent;
    std::vector<bool> answered;
    bool last;
    bool held;
  } rows[] = {
      {"first and third answered, 3 s apart", 3, {true, false, true}, true, true},
      {"all three answered", 3, {true, true, true}, true, true},
      {"answered once (the first request lost)", 3, {false, false, true}, true, false},
      {"answered twice 1.5 s apart", 3, {false, true, true}, true, false},
      {"the fourth makes it 3 s", 4, {false, true, true, true}, true, true},
      {"the last unanswered while requests are left", 3, {true, true, false}, true, false},
      {"the last unanswered, none left: the first two are 1.5 s apart", 3, {true, true, false}, false, false},
      {"the last unanswered, none left: 3 s apart before it", 4, {true, true, true, false}, false, true},
  };
  for (const WarmRow& r : rows) {
    const std::vector<int64_t> sent(at.begin(), at.begin() + static_cast<long>(r.sent));
    EXPECT_EQ(BusyWarmUpHeld(sent, r.answered, r.last), r.held) << r.name;
  }
  EXPECT_FALSE(BusyWarmUpHeld({0, 2000}, {true, true}, true)) << "exactly 2 s is not more";
  EXPECT_TRUE(BusyWarmUpHeld({0, 2001}, {true, true}, true));
}

// What the refresh mapping's requests pay for: twice their bytes, less an answer per request.
TEST(NatTimeoutDecision, RefreshDatagramsPaidForByTheAnsweredRequests) {
  const nat_timeout::TPlan plan{{10, 190}, 10, 3480};  // 19 gaps to 190 s, 5 more: 24
  const std::string token(85, 'a');
  const TTimeoutRequestSizes z = TimeoutRequestSizes(plan, token);
  EXPECT_GE(z.Refresh, nat_timeout::kMinRefreshRequestBytes);
  EXPECT_LE(z.Refresh, nat_timeout::kMaxRequestBytes);
  EXPECT_EQ(RefreshPaidFor(plan, 2 * z.Refresh, 6, z.Reply), 24) << "two answered of six pay for all";
  EXPECT_LT(RefreshPaidFor(plan, z.Refresh, 6, z.Reply), 24) << "one does not";
  EXPECT_EQ(RefreshPaidFor(plan, 0, 6, z.Reply), 0);
  // With 7 answers of 100-byte replies out of 1,000 bytes: (2,000 - 700) / 100 = 13, rounded down.
  EXPECT_EQ(RefreshPaidFor(plan, 1000, 7, 100), 13);
  EXPECT_EQ(RefreshPaidFor(plan, 1049, 7, 100), 13);
  EXPECT_EQ(RefreshPaidFor({{10, 190}, 10, 0}, 0, 1, 100), 19) << "an older server asks nothing, and stops at 190 s";
  // A new mapping's one request pays for its answer and three copies of the largest reply.
  EXPECT_GE(nat_timeout::kPayFactor * z.Idle, (1 + nat_timeout::kIdleCopies) * z.Reply);
  EXPECT_EQ(TimeoutRequestSizes({{10, 190}, 10, 0}, token).Idle, 0u) << "an older server reads no pad";
}
