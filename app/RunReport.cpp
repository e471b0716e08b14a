#include "app/RunReport.h"

#include <QClipboard>
#include <QGuiApplication>

#include "app/RunEnd.h"
#include "app/Unit_1_client.h"

TRunReport ReportOfLastRun(const TForm1& form) {
  const TRunMarks& marks = form.RunEnding->Marks();
  TRunReport r = MakeRunReport(form.Result, marks.LocalIp, form.ServerPort, form.RtpPort, RunClockMs());
  r.Started = marks.Started;
  r.ServerHost = form.ServerHost;
  r.ServerAddress = form.ServerAddress;
  // The panes' lines of this run only: an earlier run's stand above them.
  const std::tuple<TPane, const TMemo*, size_t> panes[] = {{TPane::Sip, form.MemoSIP, marks.Sip},
                                                           {TPane::Nat, form.MemoNat, marks.Nat},
                                                           {TPane::Rtp, form.MemoRTP, marks.Rtp},
                                                           {TPane::Log, form.Memo2, marks.Log}};
  for (const auto& [pane, memo, from] : panes) {
    const auto& all = memo->Lines();
    for (size_t i = std::min(from, all.size()); i < all.size(); ++i) r.Lines.emplace_back(pane, all[i]);
  }
  return r;
}

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
  section("Summary:", SummaryLines(report.Summary));
  section("Advice:", AdviceLines(report.Summary));
  if (report.Result.Call) section("Test call per second (the window's chart):", CallTable(*report.Result.Call));
  const std::pair<const char*, TPane> panes[] = {
      {"SIP ALG pane:", TPane::Sip}, {"NAT pane:", TPane::Nat}, {"RTP pane:", TPane::Rtp}, {"Log pane:", TPane::Log}};
  for (const auto& [title, pane] : panes) section(title, report.PaneLines(pane));
  return out;
}

void TForm1::CopyReportClick(QObject* /*Sender*/) {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(ToDisplay(RunReportText(ReportOfLastRun(*this))));
}
