#include "app/WindowReport.h"

#include <ctime>

#include "run/PlainWords.h"

std::vector<std::string> WindowLogEndLines(const TRunReport& report) {
  std::vector<std::string> out;
  const TRunSummary& s = report.Summary;
  if (!s.NotReachedReason.empty()) out.push_back(ServerNotReachedLine(report.ServerHost, s.NotReachedReason));
  out.push_back(std::string(29, '-'));
  for (const std::string& line : ExplainedSummaryLines(s)) out.push_back(line);
  for (const std::string& line : AdviceLines(s)) out.push_back(line);
  return out;
}

std::string ErrorBoxText(const std::string& text, const TRunReport& report) {
  const TRunSummary& s = report.Summary;
  if (s.NotReachedReason.empty()) return text;
  std::string out = text + "\n\n" + ServerNotReachedLine(report.ServerHost, s.NotReachedReason);
  const std::vector<std::string> advice = AdviceLines(s);
  if (!advice.empty()) out += "\n" + advice.front();
  return out;
}

bool RouterFound(const std::string& routerIp) { return !routerIp.empty() && routerIp != "0.0.0.0"; }

std::string RunReportText(const TRunReport& report) {
  char started[64] = "";
  if (const std::tm* local = std::localtime(&report.Started))
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S %z", local);
  std::string out = "NAT - SIP ALG tester " NAT_VERSION "\n";
  out += std::string("Run started: ") + started + "\n";
  out += "Local address: " + (report.LocalIp.empty() ? std::string("any") : report.LocalIp) + "\n";
  out += "Echo server: " + report.ServerHost +
         (report.ServerHost.empty() ? "" : ":" + std::to_string(report.ServerPort)) + " (" +
         (report.ServerAddress.empty() ? std::string("not reached") : report.ServerAddress) + ")\n";
  auto section = [&out](const std::string& title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    out += "\n" + title + "\n";
    for (const std::string& l : lines) out += "  " + l + "\n";
  };
  section("Summary:", ExplainedSummaryLines(report.Summary));
  section("Advice:", AdviceLines(report.Summary));
  if (report.Result.Call) section("Test call per second (the window's chart):", CallTable(*report.Result.Call));
  std::vector<std::string> log = report.PaneLines(TPane::Log);
  if (report.Final)
    for (const std::string& line : WindowLogEndLines(report)) log.push_back(line);
  const std::pair<const char*, std::vector<std::string>> panes[] = {{"SIP ALG pane:", report.PaneLines(TPane::Sip)},
                                                                    {"NAT pane:", report.PaneLines(TPane::Nat)},
                                                                    {"RTP pane:", report.PaneLines(TPane::Rtp)},
                                                                    {"Log pane:", log}};
  for (const auto& [title, lines] : panes) section(title, lines);
  return out;
}
