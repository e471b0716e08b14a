#include "probes/NatTimeoutDecision.h"

#include <algorithm>
#include <set>

namespace {

// A warm-up takes several seconds: the latest a mapping still warming up can be settled.
constexpr int64_t kWarmUpMs = 10000;

struct TKindState {
  TTimeoutBracket Bracket;
  bool Known = false;
  int64_t EndsByMs = 0;
};

TKindState DecideKind(const std::vector<TIdleMapping>& all, bool busy, int64_t now) {
  std::vector<const TIdleMapping*> ms;
  for (const TIdleMapping& m : all)
    if (m.Busy == busy) ms.push_back(&m);
  std::sort(ms.begin(), ms.end(), [](auto* a, auto* b) { return a->IdleSecs < b->IdleSecs; });

  auto due = [](const TIdleMapping& m) { return *m.WarmedAtMs + int64_t{m.IdleSecs} * 1000; };
  auto missed = [&](const TIdleMapping& m) {
    return m.WarmedAtMs && !m.Came && !m.Void && now > due(m) + kTimeoutGraceMs;
  };
  auto settled = [&](const TIdleMapping& m) { return m.WarmFailed || m.Void || m.Came || missed(m); };
  auto says = [](const TIdleMapping& m) { return !m.WarmFailed && !m.Void; };

  TKindState k;
  TTimeoutBracket& b = k.Bracket;
  std::optional<int> held, firstGone;
  for (const TIdleMapping* m : ms) {
    if (m->WarmedAtMs) b.Measured = true;
    if (m->Came) held = m->IdleSecs;
    if (missed(*m) && !firstGone) firstGone = m->IdleSecs;
  }
  if (firstGone && held && *firstGone < *held) {
    // A longer idle time held after a shorter one was gone: the first failure's bracket.
    b.Unsteady = true;
    b.UnsteadyHeldSecs = held;
    b.GoneBySecs = firstGone;
    for (const TIdleMapping* m : ms)
      if (m->Came && m->IdleSecs < *firstGone) b.HeldSecs = m->IdleSecs;
  } else {
    b.HeldSecs = held;
    b.GoneBySecs = firstGone;
  }
  // Settled up to the first mapping past the first failure that can still say something: it
  // confirms the failure, or shows the NAT unsteady.
  int limit = INT32_MAX;
  if (firstGone)
    for (const TIdleMapping* m : ms)
      if (m->IdleSecs > *firstGone && says(*m)) {
        limit = m->IdleSecs;
        break;
      }
  k.Known = true;
  for (const TIdleMapping* m : ms) {
    if (m->IdleSecs > limit || settled(*m)) continue;
    k.Known = false;
    const int64_t by = m->WarmedAtMs ? due(*m) : now + kWarmUpMs + int64_t{m->IdleSecs} * 1000;
    k.EndsByMs = std::max(k.EndsByMs, by + kTimeoutGraceMs);
  }
  return k;
}

struct TRefreshState {
  std::optional<bool> Answer;
  bool Mixed = false;
  bool Known = true;
  int64_t EndsByMs = 0;
};

TRefreshState DecideRefresh(const TTimeoutObservations& o, const TKindState& busy, int longestSecs, int64_t now) {
  TRefreshState s;
  const int64_t gapMs = int64_t{std::max(1, o.RefreshSecs)} * 1000;
  if (o.RefreshWarmFailed || o.RefreshSecs <= 0 || o.RefreshPaid <= 0) return s;  // nothing to tell it by
  if (!o.RefreshWarmedAtMs) {
    s.Known = false;
    s.EndsByMs = now + kWarmUpMs + int64_t{o.RefreshPaid} * gapMs + kTimeoutGraceMs;
    return s;
  }
  const int64_t warmed = *o.RefreshWarmedAtMs;
  if (!busy.Known) {
    s.Known = false;
    s.EndsByMs = warmed + std::min<int64_t>(o.RefreshPaid * gapMs, int64_t{longestSecs} * 1000 + 3 * gapMs) +
                 kTimeoutGraceMs;
    return s;
  }
  const TTimeoutBracket& b = busy.Bracket;
  if (b.Unsteady || !b.GoneBySecs || !b.HeldSecs || o.RefreshSecs > *b.HeldSecs) return s;
  // The server's datagrams due at an age of at least the busy time-out's upper end: which came.
  const int64_t goneMs = int64_t{*b.GoneBySecs} * 1000;
  const int first = static_cast<int>((goneMs + gapMs - 1) / gapMs);
  std::set<int> came;
  for (int64_t age : o.RefreshAgesMs) {
    const int k = static_cast<int>((age + gapMs / 2) / gapMs);
    if (k >= first && k <= o.RefreshPaid) came.insert(k);
  }
  int missed = 0, pending = 0;
  int64_t nextDue = 0;
  for (int k = first; k <= o.RefreshPaid; ++k) {
    if (came.count(k)) continue;
    const int64_t due = warmed + k * gapMs;
    if (now > due + kTimeoutGraceMs) {
      ++missed;
    } else {
      if (pending++ == 0) nextDue = due;
    }
  }
  const int dues = std::max(0, o.RefreshPaid - first + 1);
  if (static_cast<int>(came.size()) >= kRefreshYesDatagrams) {
    s.Answer = true;
  } else if (came.empty() && dues >= 2 && missed >= std::min(kRefreshNoDatagrams, dues)) {
    s.Answer = false;
  } else if (pending > 0) {
    s.Known = false;
    s.EndsByMs = nextDue + kTimeoutGraceMs;
  } else {
    s.Mixed = !came.empty();  // some came, too few to tell, and nothing more is due
  }
  return s;
}

}  // namespace

TTimeoutState DecideNatTimeout(const TTimeoutObservations& o, int64_t now) {
  TTimeoutState s;
  TNatTimeoutResult& r = s.Result;
  for (const TIdleMapping& m : o.Idle)
    if (std::find(r.IdleSecsTested.begin(), r.IdleSecsTested.end(), m.IdleSecs) == r.IdleSecsTested.end())
      r.IdleSecsTested.push_back(m.IdleSecs);
  std::sort(r.IdleSecsTested.begin(), r.IdleSecsTested.end());
  r.RefreshSecs = o.RefreshSecs;
  const TKindState fresh = DecideKind(o.Idle, false, now);
  const TKindState busy = DecideKind(o.Idle, true, now);
  r.New = fresh.Bracket;
  r.Busy = busy.Bracket;
  const TRefreshState refresh =
      DecideRefresh(o, busy, r.IdleSecsTested.empty() ? 0 : r.IdleSecsTested.back(), now);
  r.InboundRefresh = refresh.Answer;
  r.RefreshMixed = refresh.Mixed;
  s.Done = fresh.Known && busy.Known && refresh.Known;
  s.EndsByMs = s.Done ? now : std::max({fresh.EndsByMs, busy.EndsByMs, refresh.EndsByMs, now});
  return s;
}

namespace {

std::string BracketText(const TTimeoutBracket& b, const std::vector<int>& tested) {
  if (!b.Measured) return "not measured (no answer from the server came back through the router)";
  const std::string gone = b.GoneBySecs ? std::to_string(*b.GoneBySecs) : "";
  if (b.Unsteady) {
    const std::string held = b.HeldSecs ? "held " + std::to_string(*b.HeldSecs) + " s idle, " : "";
    return "unsteady: " + held + "gone by " + gone + " s, yet held " + std::to_string(*b.UnsteadyHeldSecs) +
           " s once";
  }
  if (b.HeldSecs && b.GoneBySecs) return "held " + std::to_string(*b.HeldSecs) + " s idle, gone by " + gone + " s";
  if (b.GoneBySecs) return "gone by " + gone + " s, the shortest idle time tested";
  if (b.HeldSecs) return "held at least " + std::to_string(*b.HeldSecs) + " s";
  return "not measured (the run ended before the first idle time of " +
         std::to_string(tested.empty() ? 0 : tested.front()) + " s)";
}

}  // namespace

std::vector<std::string> NatTimeoutLines(const TNatTimeoutResult& r) {
  std::vector<std::string> lines = {
      "NAT time-out of a new mapping: " + BracketText(r.New, r.IdleSecsTested),
      "NAT time-out of a busy mapping: " + BracketText(r.Busy, r.IdleSecsTested)};
  std::string refresh = "NAT refresh by incoming traffic: ";
  const TTimeoutBracket& b = r.Busy;
  if (r.InboundRefresh)
    refresh += *r.InboundRefresh ? "yes" : "no: only what this computer sends keeps a mapping open";
  else if (r.RefreshMixed)
    refresh += "not told (of the server's datagrams past the busy time-out, one came and the others did not)";
  else if (b.Unsteady)
    refresh += "not told (the busy mappings' time-out is unsteady)";
  else if (b.Measured && !b.GoneBySecs && b.HeldSecs)
    refresh += "not told (no mapping expired within " + std::to_string(*b.HeldSecs) + " s)";
  else if (b.Measured && b.GoneBySecs && r.RefreshSecs > b.HeldSecs.value_or(0))
    refresh += "not told (the mappings expired before the " + std::to_string(r.RefreshSecs) +
               " s between the server's datagrams)";
  else
    refresh += "not told";
  lines.push_back(refresh);
  return lines;
}
