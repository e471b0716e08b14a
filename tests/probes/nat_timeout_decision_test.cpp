// What the NAT time-out test makes of what came back: a row per branch and each side of it.
#include <gtest/gtest.h>

#include "probes/NatTimeoutDecision.h"

namespace {

// Idle times 10, 20, 30 s; every mapping warmed at 0 ms unless a row says otherwise. Rows give
// which idle datagrams came per kind ("110": 10 and 20 came, 30 not) and the time of decision.
struct Row {
  const char* name;
  const char* newCame;
  const char* busyCame;
  int64_t nowMs;
  std::optional<int> newHeld, newGone, busyHeld, busyGone;
  bool done;
};

TTimeoutObservations Observe(const char* newCame, const char* busyCame, int refreshSecs = 5) {
  TTimeoutObservations o;
  o.RefreshSecs = refreshSecs;
  const int idle[] = {10, 20, 30};
  for (int i = 0; i < 3; ++i)
    for (bool busy : {false, true}) {
      TIdleMapping m;
      m.IdleSecs = idle[i];
      m.Busy = busy;
      m.WarmedAtMs = 0;
      m.Came = (busy ? busyCame : newCame)[i] == '1';
      o.Idle.push_back(m);
    }
  o.RefreshWarmedAtMs = 0;
  return o;
}

}  // namespace

TEST(NatTimeoutDecision, BracketsAndEarlyEndFromWhatCame) {
  const Row rows[] = {
      // 10 s due at 10 s, missing only 3 s later.
      {"10 s not yet overdue", "000", "000", 13000, {}, {}, {}, {}, false},
      {"10 s overdue for both: all known at once", "000", "000", 13001, {}, 10, {}, 10, true},
      {"new gone by 20, busy still open", "100", "110", 23001, 10, 20, 20, {}, false},
      {"new 10..20, busy 20..30", "100", "110", 33001, 10, 20, 20, 30, true},
      {"all held: known only when the longest is settled", "111", "111", 30000, 30, {}, 30, {}, true},
      {"a longer one came: a shorter miss was a loss", "011", "111", 33001, 30, {}, 30, {}, true},
  };
  for (const Row& r : rows) {
    TTimeoutObservations o = Observe(r.newCame, r.busyCame);
    // The refresh mapping outlived every busy time-out: it never holds a decision up here.
    o.RefreshAgesMs = {40000};
    const TTimeoutState s = DecideNatTimeout(o, r.nowMs);
    EXPECT_EQ(s.Result.New.HeldSecs, r.newHeld) << r.name;
    EXPECT_EQ(s.Result.New.GoneBySecs, r.newGone) << r.name;
    EXPECT_EQ(s.Result.Busy.HeldSecs, r.busyHeld) << r.name;
    EXPECT_EQ(s.Result.Busy.GoneBySecs, r.busyGone) << r.name;
    EXPECT_EQ(s.Done, r.done) << r.name;
    if (!s.Done) {
      EXPECT_GT(s.EndsByMs, r.nowMs) << r.name;
    }
  }
}

TEST(NatTimeoutDecision, RefreshByIncomingTrafficIsToldOnlyWhereItCanBe) {
  struct RefreshRow {
    const char* name;
    const char* busyCame;
    int refreshSecs;
    std::vector<int64_t> ages;
    int64_t nowMs;
    std::optional<bool> refresh;
    bool done;
  } rows[] = {
      // Busy held 10, gone by 20: the refresh datagram due at 20 s decides.
      {"outlived the busy time-out", "100", 5, {5000, 10000, 15000, 20010}, 23001, true, true},
      {"not yet due", "100", 5, {5000, 10000, 15000}, 23000, {}, false},
      {"died like an idle mapping", "100", 5, {5000, 10000, 15000}, 23001, false, true},
      // A gap longer than the longest idle time that held cannot keep anything open.
      {"gap longer than the busy held time", "100", 15, {}, 40000, {}, true},
      {"gap equal to the busy held time", "100", 10, {10000, 20000}, 23001, true, true},
      {"nothing expired", "111", 5, {5000}, 33001, {}, true},
      {"even the shortest failed", "000", 5, {}, 23001, {}, true},
  };
  for (const RefreshRow& r : rows) {
    TTimeoutObservations o = Observe("100", r.busyCame, r.refreshSecs);
    o.RefreshAgesMs = r.ages;
    const TTimeoutState s = DecideNatTimeout(o, r.nowMs);
    EXPECT_EQ(s.Result.InboundRefresh, r.refresh) << r.name;
    EXPECT_EQ(s.Done, r.done) << r.name;
  }
  TTimeoutObservations failed = Observe("100", "100");
  failed.RefreshWarmedAtMs.reset();
  failed.RefreshWarmFailed = true;
  EXPECT_TRUE(DecideNatTimeout(failed, 23001).Done);
  EXPECT_FALSE(DecideNatTimeout(failed, 23001).Result.InboundRefresh);
}

TEST(NatTimeoutDecision, WarmUpsThatFailOrStillRunSettleNothing) {
  TTimeoutObservations o = Observe("000", "000");
  for (TIdleMapping& m : o.Idle) m.WarmedAtMs.reset(), m.WarmFailed = true;
  o.RefreshWarmedAtMs.reset();
  o.RefreshWarmFailed = true;
  EXPECT_TRUE(DecideNatTimeout(o, 1000).Done) << "inbound UDP blocked: known at once";
  EXPECT_FALSE(DecideNatTimeout(o, 1000).Result.New.Measured);
  for (TIdleMapping& m : o.Idle) m.WarmFailed = false;  // still warming up
  EXPECT_FALSE(DecideNatTimeout(o, 1000).Done);
  EXPECT_GE(DecideNatTimeout(o, 1000).EndsByMs, 1000 + 30000);
}
