// The end of a run: noted once, announced after the step that caused it, and then closed: the
// accounts of the panes (a report that never came, RTP that never came), the link status of a
// connection never made, the result card's answers and the report. The give-up on NAT session
// reports that never come ends a run too.
#include "run/RunAnswers.h"
#include "run/TestRun.h"

void TTestRun::MarkRunEnd(TRunEnd why) {
  if (Result.End != TRunEnd::Open) return;
  Result.End = why;
  Result.EndedAtMs = RunClockMs();
}

void TTestRun::EndRun(TRunEnd why) {
  MarkRunEnd(why);
  FinishNatTimeout();
  FinishCall();
  if (!runOpen_) return;
  runOpen_ = false;
  if (steps_ > 0)
    endHeld_ = true;
  else
    AnnounceEnd();
}

void TTestRun::AnnounceEnd() {
  closingDue_ = true;
  Tell([](TRunObserver& o) { o.RunOver(); });
  // Queued: the handler that ended the run writes its last lines first.
  QMetaObject::invokeMethod(this, [this] { Guarded([this] { CloseRun(); }); }, Qt::QueuedConnection);
}

TRunReport TTestRun::Report() const {
  if (report_) return *report_;
  TRunReport r = MakeRunReport(Result, localIp_, ServerPort, RtpPort, RunClockMs());
  r.Started = started_;
  r.ServerHost = ServerHost;
  r.ServerAddress = ServerAddress;
  r.Lines = lines_;
  return r;
}

void TTestRun::TellAnswer(TRunAnswer::TTopic topic) {
  const TRunAnswer answer = RunAnswers(Report().Summary).at(static_cast<size_t>(topic));
  Tell([&](TRunObserver& o) { o.Answer(answer); });
}

void TTestRun::CloseRun() {
  if (!closingDue_) return;
  closingDue_ = false;
  natReports_.stop();
  const TRunSummary s = Report().Summary;
  // A report announced and never come: what became of the mapping.
  for (const TNatBracket& b : s.Nat) {
    const int port = b.Port == 5060 ? ServerPort : b.Port;
    const std::string head = "No report after ";
    if (b.GoneBySecs)
      Line(TPane::Nat, head + std::to_string(*b.GoneBySecs) + "s on port " + std::to_string(port) +
                           ": the mapping was gone");
    else if (b.MissedSecs)
      Line(TPane::Nat, head + std::to_string(*b.MissedSecs) + "s on port " + std::to_string(port) +
                           ": lost on the way, as a longer idle time held");
  }
  if (s.RtpTested && s.RtpPackets == 0)
    Line(TPane::Rtp, "No RTP (audio) datagram from the server reached port " + std::to_string(s.RtpPort) +
                         ": the router lets no audio in that this computer has not sent out first, which can "
                         "leave calls with one-way audio; forward the port, or let the phone send audio first");
  // A control connection that was never made leaves the last attempt's text behind.
  if (!s.NotReachedReason.empty()) Tell([](TRunObserver& o) { o.LinkStatus("Link status: Not connected."); });
  note_.clear();  // the front shows the result from now on
  waitShown_ = false;
  report_ = Report();
  report_->Final = true;
  for (const TRunAnswer& a : RunAnswers(report_->Summary)) Tell([&](TRunObserver& o) { o.Answer(a); });
  Tell([this](TRunObserver& o) { o.RunReported(*report_); });
}

std::string TTestRun::FirstReportWait() const {
  return "Waiting for the first NAT session report (the run ends without one after " +
         std::to_string(NoNatReportSecs) + " s)";
}

void TTestRun::NatInvitesOut() {
  Enable(TRunControl::Stop, true);
  Tell([](TRunObserver& o) { o.NatInvitesSent(); });
  // Queued: once the step that sent the INVITEs is over, with its own waits cleared.
  QMetaObject::invokeMethod(
      this,
      [this] {
        Guarded([this] {
          if (Result.End != TRunEnd::Open || !Result.Nat.empty()) return;
          natReports_.start(NoNatReportSecs * 1000);
          note_ = FirstReportWait();
          Tell([this](TRunObserver& o) { o.ReportWait(note_); });
        });
      },
      Qt::QueuedConnection);
}

void TTestRun::GiveUpOnNatReports() {
  if (!Result.Nat.empty() || Result.End != TRunEnd::Open) return;
  Line(TPane::Nat, "No NAT session report within " + std::to_string(NoNatReportSecs) +
                       " s after the NAT session test INVITEs: UDP from the server does not come back through the "
                       "router");
  MarkRunEnd(TRunEnd::NoNatReport);
  Stop();
}
