#include "probes/RunHeadline.h"

#include <vector>

namespace {

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

// Why the checks could not run, or nothing when the server answered.
std::optional<std::string> NotRun(const TRunSummary& s) {
  switch (s.Server) {
    case TServerReach::Reached: return std::nullopt;
    case TServerReach::Unreachable: return "the echo server was not reached";
    case TServerReach::NoTcp: return "the echo server did not answer over TCP";
    case TServerReach::NoUdp: return "no UDP probe got through to the echo server";
    case TServerReach::Busy: return "the echo server is busy; try again in a few minutes";
    case TServerReach::NotTried: break;
  }
  return s.End == TRunEnd::Stopped ? "the run was stopped before its checks" : "the run did not complete";
}

}  // namespace

std::optional<std::string> NatTimeoutFigure(const TRunSummary& s) {
  // The new mapping's, where the time-out test measured it: what a phone's keep-alive must beat.
  if (s.NatTimeout && s.NatTimeout->New.Measured) {
    const TTimeoutBracket& n = s.NatTimeout->New;
    const std::string unsteady = n.Unsteady ? " (unsteady)" : "";
    if (n.HeldSecs && n.GoneBySecs)
      return std::to_string(*n.HeldSecs) + " to " + std::to_string(*n.GoneBySecs) + " s" + unsteady;
    if (n.GoneBySecs) return "below " + std::to_string(*n.GoneBySecs) + " s" + unsteady;
    if (n.HeldSecs) return "at least " + std::to_string(*n.HeldSecs) + " s";
  }
  const TNatBracket* shortest = nullptr;
  const TNatBracket* longest = nullptr;
  for (const TNatBracket& b : s.Nat) {
    if (b.State != TNatBracket::TState::Measured) continue;
    if (b.GoneBySecs && (!shortest || b.HeldSecs < shortest->HeldSecs)) shortest = &b;
    if (!longest || b.HeldSecs > longest->HeldSecs) longest = &b;
  }
  if (shortest) return std::to_string(shortest->HeldSecs) + " to " + std::to_string(*shortest->GoneBySecs) + " s";
  if (longest) return "at least " + std::to_string(longest->HeldSecs) + " s";
  return std::nullopt;
}

std::string RunHeadline(const TRunSummary& s) {
  std::vector<std::string> parts;
  if (const auto why = NotRun(s)) parts.push_back(*why);
  // Nothing translated the traffic: the findings below would describe no router.
  if (s.OwnAddress) return "Result: no router tested (the server saw this computer's own address); see the log below";
  std::vector<std::string> alg;
  for (const TAlgFinding& f : s.Alg)
    if (f.Verdict == TAlgFinding::TVerdict::Active) alg.push_back("port " + std::to_string(f.Port));
  for (const TAlgFinding& f : s.AlgTcp)
    if (f.Verdict == TAlgFinding::TVerdict::Active) alg.push_back("TCP port " + std::to_string(f.Port));
  if (!alg.empty())
    parts.push_back("SIP ALG on " + Joined(alg, ", "));
  else if (s.Server == TServerReach::Reached)
    parts.push_back("no SIP ALG seen");
  if (const auto figure = NatTimeoutFigure(s))
    parts.push_back("NAT time-out " + *figure);
  else if (s.End == TRunEnd::NoNatReport)
    parts.push_back("no NAT report came back");
  return "Result: " + Joined(parts, "; ") + "; see the log below";
}
