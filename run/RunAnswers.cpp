#include "run/RunAnswers.h"

#include <algorithm>
#include <cstdio>

#include "probes/RunHeadline.h"

namespace {

using TTopic = TRunAnswer::TTopic;
using TTone = TRunAnswer::TTone;

// Why a check has no answer, in parentheses: the reason the whole run gives, if any.
std::string RunShortfall(const TRunSummary& s) {
  switch (s.Server) {
    case TServerReach::Unreachable: return " (the echo server was not reached)";
    case TServerReach::NotTried: return s.End == TRunEnd::Stopped ? " (the run was stopped first)" : "";
    case TServerReach::NoTcp: return " (the echo server did not answer over TCP)";
    case TServerReach::NoUdp: return " (no UDP probe got through to the echo server)";
    case TServerReach::Busy: return " (the echo server was busy)";
    case TServerReach::Reached: break;
  }
  if (s.End == TRunEnd::Stopped) return " (the run was stopped first)";
  if (s.End == TRunEnd::TimeLimit) return " (the run's time ran out first)";
  return "";
}

TRunAnswer AlgAnswer(const TRunSummary& s) {
  if (s.OwnAddress)
    return {TTopic::Alg, TTone::Unknown, "SIP ALG: no router tested (the server saw this computer's own address)"};
  std::string active;
  auto note = [&](const std::vector<TAlgFinding>& findings, const char* kind) {
    for (const TAlgFinding& f : findings) {
      if (f.Verdict != TAlgFinding::TVerdict::Active) continue;
      const std::string deeds = AlgDeeds(f);
      active += (active.empty() ? "" : ", ") + std::string(kind) + std::to_string(f.Port) +
                (deeds.empty() ? "" : " (" + deeds + ")");
    }
  };
  note(s.Alg, "port ");
  note(s.AlgTcp, "TCP port ");
  if (!active.empty()) return {TTopic::Alg, TTone::Problem, "SIP ALG: active on " + active};
  const bool checked = std::any_of(s.Alg.begin(), s.Alg.end(), [](const TAlgFinding& f) {
    return f.Verdict != TAlgFinding::TVerdict::NotChecked;
  });
  if (s.Server == TServerReach::Reached && checked) return {TTopic::Alg, TTone::Good, "SIP ALG: none seen"};
  return {TTopic::Alg, TTone::Unknown, "SIP ALG: not checked" + RunShortfall(s)};
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
      return {TTopic::NatKeepAlive, TTone::Problem,
              "NAT keep-alive: not measured, UDP from the server does not come back through the router"};
    std::string why = RunShortfall(s);
    if (why.empty() && !s.Nat.empty() && std::all_of(s.Nat.begin(), s.Nat.end(), [](const TNatBracket& b) {
          return b.State == TNatBracket::TState::NotRunAlg;
        }))
      why = " (the SIP ALG is in the way on both ports)";
    return {TTopic::NatKeepAlive, TTone::Unknown, "NAT keep-alive: not measured" + why};
  }
  const auto gone = ShortestGone(s);
  if (gone && IsShortNatTimeout(gone->second))
    return {TTopic::NatKeepAlive, TTone::Warning,
            "NAT keep-alive: below " + std::to_string(std::max(1, gone->first)) +
                " s (the router forgets an idle UDP mapping after " + *figure + ")"};
  const bool lower = figure->rfind("at least", 0) == 0;  // nothing expired
  return {TTopic::NatKeepAlive, TTone::Good,
          "NAT keep-alive: no short time-out seen (idle UDP mappings " + std::string(lower ? "held " : "went after ") +
              *figure + ")"};
}

std::string Mos(double mos) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", mos);
  return text;
}

TRunAnswer CallAnswer(const TRunSummary& s) {
  const std::string head = "Call quality: ";
  if (!s.Call) {
    const std::string why = RunShortfall(s);
    return {TTopic::CallQuality, TTone::Unknown,
            head + "not tested" + (why.empty() ? " (the run ended before the test call)" : why)};
  }
  const TCallResult& c = *s.Call;
  switch (c.NotTested) {
    case TCallNotTested::ServerBusy:
      return {TTopic::CallQuality, TTone::Unknown, head + "not tested (the server had no room for a test call)"};
    case TCallNotTested::NoCallOffered:
      return {TTopic::CallQuality, TTone::Unknown, head + "not tested (the server offers no test call)"};
    case TCallNotTested::Stopped:
      return {TTopic::CallQuality, TTone::Unknown, head + "not known (the test call was stopped)"};
    case TCallNotTested::CutShort:
      return {TTopic::CallQuality, TTone::Unknown, head + "not known (the test call was cut short)"};
    case TCallNotTested::None: break;
  }
  if (!c.ReportFault.empty())
    return {TTopic::CallQuality, TTone::Unknown, head + "not known (the server's report of the call does not add up)"};
  switch (c.Audio) {
    case TCallAudio::None: return {TTopic::CallQuality, TTone::Problem, head + "no audio got through either way"};
    case TCallAudio::OneWayOut:
      return {TTopic::CallQuality, TTone::Problem, head + "one-way audio: the server heard this computer, none came back"};
    case TCallAudio::BothWays: break;
  }
  const std::optional<double> up = c.Up ? c.Up->Mos : std::nullopt, down = c.Down ? c.Down->Mos : std::nullopt;
  if (!up || !down) return {TTopic::CallQuality, TTone::Unknown, head + "not known (audio both ways, no figures)"};
  const bool clear = std::min(*up, *down) >= kMosAdvice;
  return {TTopic::CallQuality, clear ? TTone::Good : TTone::Warning,
          head + "MOS " + Mos(*up) + " sending, " + Mos(*down) + " receiving" +
              (clear ? " (of 5: clear)" : " (of 5: callers will notice)")};
}

TRunAnswer WhatToDo(const TRunSummary& s, const std::vector<TRunAnswer>& others) {
  const std::vector<std::string> advice = AdviceLines(s);
  if (advice.empty()) return {TTopic::WhatToDo, TTone::Good, "What to do: nothing"};
  TTone tone = TTone::Warning;
  for (const TRunAnswer& a : others)
    if (a.Tone == TTone::Problem) tone = TTone::Problem;
  if (s.Server != TServerReach::Reached) tone = TTone::Problem;
  std::string text = "What to do: " + advice.front();
  if (advice.size() > 1) text += " (more in the log below)";
  return {TTopic::WhatToDo, tone, text};
}

}  // namespace

std::string AlgDeeds(const TAlgFinding& finding) {
  std::vector<std::string> rewrites, drops;
  for (const std::string& probe : finding.Probes) {
    const std::string name = probe.substr(0, probe.find_first_of(" :"));
    if (probe.find("header(s) changed") != std::string::npos) rewrites.push_back(name);
    if (probe.find(" dropped") != std::string::npos || probe.find(" swallowed") != std::string::npos)
      drops.push_back(name);
  }
  auto list = [](const char* verb, const std::vector<std::string>& names) {
    std::string out = names.empty() ? "" : std::string(verb) + " ";
    for (size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : " and ") + names[i];
    return out;
  };
  const std::string r = list("rewrites", rewrites), d = list("drops", drops);
  return r + (!r.empty() && !d.empty() ? ", " : "") + d;
}

std::vector<TRunAnswer> RunAnswers(const TRunSummary& summary) {
  std::vector<TRunAnswer> out = {AlgAnswer(summary), NatAnswer(summary), CallAnswer(summary)};
  out.push_back(WhatToDo(summary, out));
  return out;
}
