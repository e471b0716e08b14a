#include "app/WindowView.h"

#include "app/CallChart.h"
#include "app/Unit_1_client.h"
#include "app/WindowReport.h"
#include "app/Windowing.h"
#include "probes/RunHeadline.h"

TMemo* TWindowView::Pane(TPane pane) const {
  switch (pane) {
    case TPane::Sip: return f_.MemoSIP;
    case TPane::Nat: return f_.MemoNat;
    case TPane::Rtp: return f_.MemoRTP;
    case TPane::Log: break;
  }
  return f_.Memo2;
}

void TWindowView::PaneLine(TPane pane, const std::string& line) { Pane(pane)->Add(line); }

void TWindowView::LinkStatus(const std::string& text) { f_.StatusBar1->SetPanelText(0, text); }

void TWindowView::Waiting(const std::string& what) {
  f_.StatusBar1->SetPanelText(1, what);
  emit f_.WaitChanged(ToDisplay(what));
}

void TWindowView::ReportWait(const std::string& text) { f_.StatusBar1->SetPanelText(1, text); }

void TWindowView::ControlChanged(TRunControl control, bool on) {
  switch (control) {
    case TRunControl::Start: f_.BtnTest->setEnabled(on); break;
    case TRunControl::Stop: f_.StopBtn->setEnabled(on); break;
    case TRunControl::Router: f_.BtnRouter->setEnabled(on); break;
    case TRunControl::Countdown:
      f_.Label1->setVisible(on);
      f_.LblCount->setVisible(on);
      break;
  }
}

void TWindowView::CountdownCaption(const std::string& caption) { f_.LblCount->setText(ToDisplay(caption)); }

void TWindowView::CallFinished(const TCallResult& call) { ShowCallChart(f_, call); }

void TWindowView::ErrorRaised(const std::string& text) { CurrentWindowing().ShowError(ApplicationTitle(), text); }

void TWindowView::Message(const std::string& text) { ShowMessage(text); }

void TWindowView::ProgramEnds() { f_.Close(); }

void TWindowView::StepsOver() { f_.CloseIfHeld(); }

void TWindowView::RunOver() { emit f_.RunEnded(); }

void TWindowView::RunEnded(const TRunReport& report) {
  f_.BtnCopyReport->setEnabled(true);
  const std::string headline = RunHeadline(report.Summary);
  f_.StatusBar1->SetPanelText(1, headline);
  f_.StatusBar1->Panel(1)->setToolTip(ToDisplay(headline));  // where the panel is too narrow for it
  for (const std::string& line : WindowLogEndLines(report)) f_.Memo2->Add(line);
}
