#include "app/RunEnd.h"

#include "app/RunReport.h"
#include "app/Unit_1_client.h"
#include "app/Windowing.h"
#include "probes/RunHeadline.h"

TRunEnding::TRunEnding(TForm1& form) : QObject(&form), form_(form) {
  natReports_.setSingleShot(true);
  connect(&natReports_, &QTimer::timeout, this, [this] { RunGuarded([this] { GiveUpOnNatReports(); }); });
  // Queued: once the step that sent the INVITEs is over, with its own waits cleared.
  connect(&form_, &TForm1::NatInvitesSent, this, [this] {
    if (form_.Result.End != TRunEnd::Open || !form_.Result.Nat.empty()) return;
    natReports_.start(NoNatReportSecs * 1000);
    form_.StatusBar1->SetPanelText(1, FirstReportWait());
  }, Qt::QueuedConnection);
  // The first report ends that wait; its countdown takes over.
  connect(form_.MemoNat, &TMemo::LineAdded, this, [this](const QString& line) {
    if (line.startsWith(QStringLiteral("NAT session on port ")) && form_.StatusBar1->PanelText(1) == FirstReportWait())
      form_.StatusBar1->SetPanelText(1, "");
  });
  // Queued: the handler that ended the run writes its last lines first.
  connect(&form_, &TForm1::RunEnded, this, [this] { endDue_ = true; });
  connect(&form_, &TForm1::RunEnded, this, [this] { RunGuarded([this] { Ended(); }); }, Qt::QueuedConnection);
}

std::string TRunEnding::FirstReportWait() const {
  return "Waiting for the first NAT session report (the run ends without one after " +
         std::to_string(NoNatReportSecs) + " s)";
}

void TRunEnding::RunBegins() {
  if (endDue_) Ended();
  natReports_.stop();
  marks_ = {form_.MemoSIP->Lines().size(), form_.MemoNat->Lines().size(), form_.MemoRTP->Lines().size(),
            form_.Memo2->Lines().size(), std::time(nullptr), FromDisplay(form_.ComboBox1->currentText())};
}

void TRunEnding::GiveUpOnNatReports() {
  if (!form_.Result.Nat.empty() || form_.Result.End != TRunEnd::Open) return;
  form_.MemoNat->Add("No NAT session report within " + std::to_string(NoNatReportSecs) +
                     " s after the NAT session test INVITEs: UDP from the server does not come back through the "
                     "router");
  form_.MarkRunEnd(TRunEnd::NoNatReport);
  form_.StopBtnClick(form_.StopBtn);
}

void TRunEnding::Ended() {
  if (!endDue_) return;
  endDue_ = false;
  natReports_.stop();
  form_.BtnCopyReport->setEnabled(true);
  const TRunSummary s = SummariseLastRun(form_);
  // A report announced and never come: what became of the mapping.
  for (const TNatBracket& b : s.Nat) {
    const int port = b.Port == 5060 ? form_.ServerPort : b.Port;
    const std::string head = "No report after ";
    if (b.GoneBySecs)
      form_.MemoNat->Add(head + std::to_string(*b.GoneBySecs) + "s on port " + std::to_string(port) +
                         ": the mapping was gone");
    else if (b.MissedSecs)
      form_.MemoNat->Add(head + std::to_string(*b.MissedSecs) + "s on port " + std::to_string(port) +
                         ": lost on the way, as a longer idle time held");
  }
  if (s.RtpTested && s.RtpPackets == 0)
    form_.MemoRTP->Add("No RTP (audio) datagram from the server reached port " + std::to_string(s.RtpPort) +
                       ": the router lets no audio in that this computer has not sent out first, which can "
                       "leave calls with one-way audio; forward the port, or let the phone send audio first");
  // A control connection that was never made leaves the last attempt's text behind.
  if (!s.NotReachedReason.empty()) form_.StatusBar1->SetPanelText(0, "Link status: Not connected.");
  const std::string headline = RunHeadline(s);
  form_.StatusBar1->SetPanelText(1, headline);
  form_.StatusBar1->Panel(1)->setToolTip(ToDisplay(headline));  // where the panel is too narrow for it
  if (!form_.AdviceInLog) return;  // the front says it in its own way
  if (!s.NotReachedReason.empty()) form_.Memo2->Add(ServerNotReachedLine(form_.ServerHost, s.NotReachedReason));
  form_.Memo2->Add(std::string(29, '-'));
  for (const std::string& line : SummaryLines(s)) form_.Memo2->Add(line);
  for (const std::string& line : AdviceLines(s)) form_.Memo2->Add(line);
}
