#include "probes/NatTimeoutDecision.h"

#include <algorithm>

namespace {

// A warm-up takes a few seconds: the latest a mapping still warming up can be settled.
constexpr int64_t kWarmUpMs = 5000;

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
  auto missed = [&](const TIdleMapping& m) { return m.WarmedAtMs && !m.Came && now > due(m) + kTimeoutGraceMs; };
  auto settled = [&](const TIdleMapping& m) { return m.WarmFailed || m.Came || missed(m); };

  TKindState k;
  for (const TIdleMapping* m : ms) {
    if (m->WarmedAtMs) k.Bracket.Measured = true;
    if (m->Came) k.Bracket.HeldSecs = std::max(k.Bracket.HeldSecs.value_or(0), m->IdleSecs);
  }
  // The shortest idle time that failed, beyond the longest that held: a shorter failure is a
  // datagram lost on the way.
  for (const TIdleMapping* m : ms)
    if (missed(*m) && m->IdleSecs > k.Bracket.HeldSecs.value_or(0)) {
      k.Bracket.GoneBySecs = m->IdleSecs;
      break;
    }
  const int limit = k.Bracket.GoneBySecs.value_or(INT32_MAX);
  k.Known = true;
  for (const TIdleMapping* m : ms) {
    if (m->IdleSecs >= limit || settled(*m)) continue;
    k.Known = false;
    const int64_t by = m->WarmedAtMs ? due(*m) : now + kWarmUpMs + int64_t{m->IdleSecs} * 1000;
    k.EndsByMs = std::max(k.EndsByMs, by + kTimeoutGraceMs);
  }
  return k;
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

  // Refresh: the first refresh datagram due at an age of at least the busy time-out's upper end.
  bool refreshKnown = true;
  int64_t refreshBy = 0;
  const int64_t gapMs = int64_t{std::max(1, o.RefreshSecs)} * 1000;
  auto firstDueFrom = [&](int64_t ageMs) { return *o.RefreshWarmedAtMs + (ageMs + gapMs - 1) / gapMs * gapMs; };
  if (o.RefreshWarmFailed || o.RefreshSecs <= 0) {
    // Nothing to tell it by.
  } else if (!o.RefreshWarmedAtMs) {
    refreshKnown = false;
    refreshBy = now + kWarmUpMs + (r.IdleSecsTested.empty() ? 0 : int64_t{r.IdleSecsTested.back()} * 1000) + gapMs;
  } else if (!busy.Known) {
    refreshKnown = false;
    const int64_t longest = r.IdleSecsTested.empty() ? 0 : int64_t{r.IdleSecsTested.back()} * 1000;
    refreshBy = firstDueFrom(longest);
  } else if (r.Busy.GoneBySecs && r.Busy.HeldSecs && o.RefreshSecs <= *r.Busy.HeldSecs) {
    const int64_t goneMs = int64_t{*r.Busy.GoneBySecs} * 1000;
    const bool outlived = std::any_of(o.RefreshAgesMs.begin(), o.RefreshAgesMs.end(),
                                      [&](int64_t age) { return age >= goneMs; });
    if (outlived) {
      r.InboundRefresh = true;
    } else if (now > firstDueFrom(goneMs) + kTimeoutGraceMs) {
      r.InboundRefresh = false;
    } else {
      refreshKnown = false;
      refreshBy = firstDueFrom(goneMs);
    }
  }
  if (!refreshKnown) refreshBy += kTimeoutGraceMs;

  s.Done = fresh.Known && busy.Known && refreshKnown;
  s.EndsByMs = s.Done ? now : std::max({fresh.EndsByMs, busy.EndsByMs, refreshBy, now});
  return s;
}

namespace {

std::string BracketText(const TTimeoutBracket& b, const std::vector<int>& tested) {
  if (!b.Measured) return "not measured (no answer from the server came back through the router)";
  if (b.HeldSecs && b.GoneBySecs)
    return "held " + std::to_string(*b.HeldSecs) + " s idle, gone by " + std::to_string(*b.GoneBySecs) + " s";
  if (b.GoneBySecs) return "gone by " + std::to_string(*b.GoneBySecs) + " s, the shortest idle time tested";
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
  if (r.InboundRefresh)
    refresh += *r.InboundRefresh ? "yes" : "no: only what this computer sends keeps a mapping open";
  else if (r.Busy.Measured && !r.Busy.GoneBySecs && r.Busy.HeldSecs)
    refresh += "not told (no mapping expired within " + std::to_string(*r.Busy.HeldSecs) + " s)";
  else if (r.Busy.Measured && r.Busy.GoneBySecs && r.RefreshSecs > r.Busy.HeldSecs.value_or(0))
    refresh += "not told (the mappings expired before the " + std::to_string(r.RefreshSecs) +
               " s between the server's datagrams)";
  else
    refresh += "not told";
  lines.push_back(refresh);
  return lines;
}
