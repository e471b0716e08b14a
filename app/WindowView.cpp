// The window as a front of its run: what the run reports goes to the window's controls (pane
// lines, the link status and what a step waits for in the status bar, the buttons, the
// countdown), the answers to the result card, errors and messages to boxes, the call to its
// chart, and at the end the summary and the advice to the log pane and the result to the status
// bar.
#include <QClipboard>
#include <QGuiApplication>

#include "app/CallChart.h"
#include "app/Unit_1_client.h"
#include "app/WindowReport.h"
#include "app/Windowing.h"
#include "probes/RunHeadline.h"

TMemo* TForm1::Pane(TPane pane) const {
  switch (pane) {
    case TPane::Sip: return MemoSIP;
    case TPane::Nat: return MemoNat;
    case TPane::Rtp: return MemoRTP;
    case TPane::Log: break;
  }
  return Memo2;
}

void TForm1::PaneLine(TPane pane, const std::string& line) { Pane(pane)->Add(line); }

void TForm1::LinkStatus(const std::string& text) { StatusBar1->SetPanelText(0, text); }

void TForm1::Waiting(const std::string& what) {
  StatusBar1->SetPanelText(1, what);
  emit WaitChanged(ToDisplay(what));
}

void TForm1::ReportWait(const std::string& text) { StatusBar1->SetPanelText(1, text); }

void TForm1::ControlChanged(TRunControl control, bool on) {
  switch (control) {
    case TRunControl::Start: BtnTest->setEnabled(on); break;
    case TRunControl::Stop: StopBtn->setEnabled(on); break;
    case TRunControl::Router: {
      // A router's page to open only where a router was found: http://0.0.0.0 opens nothing.
      const bool found = RouterFound(RouterIP);
      BtnRouter->setEnabled(on && found);
      BtnRouter->setToolTip(on && !found ? QStringLiteral("No router found: this computer has no default route")
                                         : QString());
      break;
    }
    case TRunControl::Countdown:
      Label1->setVisible(on);
      LblCount->setVisible(on);
      LblLeft->setVisible(on);
      break;
  }
}

void TForm1::CountdownCaption(const std::string& caption) { LblCount->setText(ToDisplay(caption)); }

void TForm1::Answer(const TRunAnswer& answer) { ResultCard->Show(answer); }

void TForm1::BeginRunView() {
  ResultCard->Clear();
  for (TMemo* pane : {MemoSIP, MemoNat, MemoRTP, Memo2}) pane->DimLines(pane == Memo2 ? 0 : 1);
}

void TForm1::CallFinished(const TCallResult& call) { ShowCallChart(*this, call); }

void TForm1::ErrorRaised(const std::string& text) {
  CurrentWindowing().ShowError(ApplicationTitle(), ErrorBoxText(text, Run->Report()));
}

void TForm1::Message(const std::string& text) { ShowMessage(text); }

// A close asked for during a step follows it.
void TForm1::StepsOver() {
  if (!closeHeld_) return;
  closeHeld_ = false;
  close();
}

void TForm1::RunReported(const TRunReport& report) {
  BtnCopyReport->setEnabled(true);
  const std::string headline = RunHeadline(report.Summary);
  StatusBar1->SetPanelText(1, headline);
  StatusBar1->Panel(1)->setToolTip(ToDisplay(headline));  // where the panel is too narrow for it
  for (const std::string& line : WindowLogEndLines(report)) Memo2->Add(line);
  // The card shows the first advice; its tool tip all of it.
  std::string advice;
  for (const std::string& line : AdviceLines(report.Summary)) advice += (advice.empty() ? "" : "\n") + line;
  if (!advice.empty()) ResultCard->Row(TRunAnswer::TTopic::WhatToDo)->setToolTip(ToDisplay(advice));
}

void TForm1::CopyReportClick(QObject* /*Sender*/) {
  if (QClipboard* clipboard = QGuiApplication::clipboard())
    clipboard->setText(ToDisplay(RunReportText(Run->Report())));
}
