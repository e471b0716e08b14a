#include "run/RunAnswers.h"

#include <algorithm>
#include <cstdio>

#include "probes/RunHeadline.h"

namespace {

using TTopic = TRunAnswer::TTopic;
using TTone = TRunAnswer::TTone;

TRunAnswer AlgAnswer(const TRunSummary& s) {
  if (s.OwnAddress) return {TTopic::Alg, TTone::Unknown, "No router tested: the server saw this computer's own address"};
  std::string active;
  auto note = [&](const std::vector<TAlgFinding>& findings, const char* kind) {
    for (const TAlgFinding& f : findings)
      if (f.Verdict == TAlgFinding::TVerdict::Active)
        active += (active.empty() ? "" : ", ") + std::string(kind) + std::to_string(f.Port);
  };
  note(s.Alg, "port ");
  note(s.AlgTcp, "TCP port ");
  if (!active.empty()) return {TTopic::Alg, TTone::Problem, "SIP ALG active on " + active};
  const bool checked = std::any_of(s.Alg.begin(), s.Alg.end(), [](const TAlgFinding& f) {
    return f.Verdict != TAlgFinding::TVerdict::NotChecked;
  });
  if (s.Server == TServerReach::Reached && checked) return {TTopic::Alg, TTone::Good, "No SIP ALG seen"};
  return {TTopic::Alg, TTone::Unknown, "SIP ALG not checked"};
}

// The shortest idle time a mapping was seen gone by, with the longest that held before it.
std::optional<std::pair<int, int>> ShortestGone(const TRunSummary& s) {
  std::optional<std::pair<int, int>> out;  // held, gone by
  if (s.NatTimeout && s.NatTimeout->New.GoneBySecs)
    out = std::make_pair(s.NatTimeout->New.HeldSecs.value_or(0), *s.NatTimeout->New.GoneBySecs);
  for (const TNatBracket& b : s.Nat)
    if (b.State == TNatBracket::TState::Measured && b.GoneBySecs && (!out || *b.GoneBySecs < out->second))
      out = std::make_pair(b.HeldSecs, *b.GoneBySecs);
  return out;
}

TRunAnswer NatAnswer(const TRunSummary& s) {
  const std::optional<std::string> figure = NatTimeoutFigure(s);
  if (!figure) {
    if (s.End == TRunEnd::NoNatReport)
      return {TTopic::NatKeepAlive, TTone::Problem, "No NAT report came back: UDP from the server is blocked"};
    return {TTopic::NatKeepAlive, TTone::Unknown, "NAT time-out not measured"};
  }
  const auto gone = ShortestGone(s);
  if (gone && IsShortNatTimeout(gone->second))
    return {TTopic::NatKeepAlive, TTone::Problem,
            "NAT time-out " + *figure + ": a phone needs a keep-alive below " +
                std::to_string(std::max(1, gone->first)) + " s"};
  return {TTopic::NatKeepAlive, TTone::Good, "NAT time-out " + *figure};
}

std::string Mos(double mos) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", mos);
  return text;
}

TRunAnswer CallAnswer(const TRunSummary& s) {
  if (!s.Call) return {TTopic::CallQuality, TTone::Unknown, "No test call"};
  const TCallResult& c = *s.Call;
  switch (c.NotTested) {
    case TCallNotTested::ServerBusy:
      return {TTopic::CallQuality, TTone::Unknown, "No test call: the server had no room for it"};
    case TCallNotTested::NoCallOffered:
      return {TTopic::CallQuality, TTone::Unknown, "No test call: the server offers none"};
    case TCallNotTested::Stopped: return {TTopic::CallQuality, TTone::Unknown, "Test call stopped"};
    case TCallNotTested::CutShort: return {TTopic::CallQuality, TTone::Unknown, "Test call cut short"};
    case TCallNotTested::None: break;
  }
  if (!c.ReportFault.empty())
    return {TTopic::CallQuality, TTone::Unknown, "Test call: the server's report does not add up"};
  switch (c.Audio) {
    case TCallAudio::None: return {TTopic::CallQuality, TTone::Problem, "Test call: no audio got through"};
    case TCallAudio::OneWayOut:
      return {TTopic::CallQuality, TTone::Problem, "Test call: audio one way only, none came back"};
    case TCallAudio::BothWays: break;
  }
  const std::optional<double> up = c.Up ? c.Up->Mos : std::nullopt, down = c.Down ? c.Down->Mos : std::nullopt;
  if (!up || !down) return {TTopic::CallQuality, TTone::Unknown, "Call quality not known"};
  return {TTopic::CallQuality, std::min(*up, *down) >= kMosAdvice ? TTone::Good : TTone::Problem,
          "Call quality: MOS " + Mos(*up) + " sending, " + Mos(*down) + " receiving"};
}

TRunAnswer WhatToDo(const TRunSummary& s) {
  const std::vector<std::string> advice = AdviceLines(s);
  if (advice.empty()) return {TTopic::WhatToDo, TTone::Good, "Nothing to do"};
  return {TTopic::WhatToDo, TTone::Problem, advice.front()};
}

}  // namespace

std::vector<TRunAnswer> RunAnswers(const TRunSummary& summary) {
  return {AlgAnswer(summary), NatAnswer(summary), CallAnswer(summary), WhatToDo(summary)};
}
