#include "app/RunReport.h"

#include <QClipboard>
#include <QGuiApplication>

#include "app/RunEnd.h"
#include "app/Unit_1_client.h"

TRunSummary SummariseLastRun(const TForm1& form) {
  return SummariseRun(form.Result, {form.ServerPort, form.RtpPort, RunClockMs(), form.RunEnding->Marks().LocalIp});
}

std::string RunReportText(const TForm1& form) {
  const TRunMarks& marks = form.RunEnding->Marks();
  char started[64] = "";
  if (const std::tm* local = std::localtime(&marks.Started))
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S %z", local);
  std::string out = "NAT - SIP ALG tester " NAT_VERSION "\n";
  out += std::string("Run started: ") + started + "\n";
  out += "Local address: " + (marks.LocalIp.empty() ? std::string("any") : marks.LocalIp) + "\n";
  out += "Echo server: " + form.ServerHost + (form.ServerHost.empty() ? "" : ":" + std::to_string(form.ServerPort)) +
         " (" + (form.ServerAddress.empty() ? std::string("not reached") : form.ServerAddress) + ")\n";
  auto section = [&out](const std::string& title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    out += "\n" + title + "\n";
    for (const std::string& l : lines) out += "  " + l + "\n";
  };
  const TRunSummary summary = SummariseLastRun(form);
  section("Summary:", SummaryLines(summary));
  section("Advice:", AdviceLines(summary));
  if (form.Result.Call) section("Test call per second (the window's chart):", CallTable(*form.Result.Call));
  // The panes' lines of this run only: an earlier run's stand above them.
  const std::tuple<const char*, const TMemo*, size_t> panes[] = {{"SIP ALG pane:", form.MemoSIP, marks.Sip},
                                                                 {"NAT pane:", form.MemoNat, marks.Nat},
                                                                 {"RTP pane:", form.MemoRTP, marks.Rtp},
                                                                 {"Log pane:", form.Memo2, marks.Log}};
  for (const auto& [title, memo, from] : panes) {
    const auto& all = memo->Lines();
    section(title, std::vector<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end()));
  }
  return out;
}

void TForm1::CopyReportClick(QObject* /*Sender*/) {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(ToDisplay(RunReportText(*this)));
}
