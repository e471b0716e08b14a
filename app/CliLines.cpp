#include "app/CliLines.h"


std::string CliOutput(const TCliLine& line) {
  std::string out;
  const std::string& t = line.Text;
  size_t from = 0;
  while (true) {
    const size_t brk = t.find_first_of("\r\n", from);
    out += "[" + line.Tag + "] " + t.substr(from, brk == std::string::npos ? std::string::npos : brk - from) + "\n";
    if (brk == std::string::npos) break;
    from = brk + (t.compare(brk, 2, "\r\n") == 0 ? 2 : 1);
    if (from >= t.size()) break;
  }
  return out;
}

int CliExitStatus(const TRunResult& r, const TCliRecord& record) {
  if (r.Sequence.AnyAlg()) return kExitAlg;
  if (r.End == TRunEnd::ServerNotReached || r.End == TRunEnd::ServerBusy) return kExitUnreachable;
  if (r.Sequence.AnyLost()) return kExitLost;
  if (r.End == TRunEnd::NoNatReport) return kExitNoNatReport;
  if (record.ErrorShown || record.WindowClosed || r.End == TRunEnd::TimeLimit) return kExitFailure;
  if (r.Sequence.Outcome == TSequenceReport::TOutcome::Completed) return kExitClean;
  return kExitFailure;
}

std::string CliExitMeaning(int exitStatus, TRunEnd end) {
  switch (exitStatus) {
    case kExitClean: return "the checks ran and none saw an ALG";
    case kExitAlg: return "a check saw an ALG";
    case kExitUnreachable:
      return end == TRunEnd::ServerBusy ? "the echo server is busy" : "the echo server was not reached";
    case kExitNoNatReport: return "no NAT report came back: UDP from the server does not get through the router";
    case kExitLost:
      return "a probe was lost on the way, and so was the one sent to check the link (or, over TCP, every resend): "
             "no verdict for it";
    default: break;
  }
  if (end == TRunEnd::Stopped) return "the run was stopped before its checks were done";
  if (end == TRunEnd::TimeLimit) return "the time limit ran out before the run ended";
  return "the run did not complete (an error, or no port to bind)";
}

std::vector<std::string> CliResultTexts(const TRunReport& report, int exitStatus) {
  std::vector<std::string> lines = SummaryLines(report.Summary);
  lines.push_back("Exit status " + std::to_string(exitStatus) + ": " + CliExitMeaning(exitStatus, report.Summary.End));
  return lines;
}

std::vector<TCliLine> CliSummaryLines(const TRunReport& report, int exitStatus) {
  std::vector<TCliLine> out;
  for (const std::string& l : CliResultTexts(report, exitStatus)) out.push_back({"RESULT", l});
  for (const std::string& l : AdviceLines(report.Summary)) out.push_back({"ADVICE", l});
  return out;
}
