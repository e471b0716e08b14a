#include "app/RunReport.h"

#include <QClipboard>
#include <QGuiApplication>

#include "app/Unit_1_client.h"

TRunSummary SummariseLastRun(const TForm1& form) {
  return SummariseRun(form.Result, {form.ServerPort, form.RtpPort, RunClockMs()});
}

std::string RunReportText(const TForm1& form) {
  const TRunSummary summary = SummariseLastRun(form);
  std::string out = "NAT - SIP ALG tester " NAT_VERSION ", echo server " + form.ServerHost +
                    (form.ServerHost.empty() ? "" : ":" + std::to_string(form.ServerPort)) + "\n";
  auto section = [&out](const std::string& title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    out += "\n" + title + "\n";
    for (const std::string& l : lines) out += "  " + l + "\n";
  };
  section("Summary:", SummaryLines(summary));
  section("Advice:", AdviceLines(summary));
  const std::pair<const char*, const TMemo*> panes[] = {
      {"SIP ALG pane:", form.MemoSIP}, {"NAT pane:", form.MemoNat}, {"RTP pane:", form.MemoRTP}, {"Log pane:", form.Memo2}};
  for (const auto& [title, memo] : panes) section(title, memo->Lines());
  return out;
}

void TForm1::WriteRunAdvice() {
  BtnCopyReport->setEnabled(true);
  if (!AdviceInLog) return;
  for (const std::string& line : AdviceLines(SummariseLastRun(*this))) Memo2->Add(line);
}

void TForm1::CopyReportClick(QObject* /*Sender*/) {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(ToDisplay(RunReportText(*this)));
}
