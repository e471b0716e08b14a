#pragma once
// The window as a front of its run: what the run reports goes to the window's controls (pane
// lines, the link status and what a step waits for in the status bar, the buttons, the
// countdown), errors and messages to boxes, the call to its chart, and at the end the summary
// and the advice to the log pane and the result to the status bar.
#include "run/RunObserver.h"

class TForm1;
class TMemo;

class TWindowView : public TRunObserver {
 public:
  explicit TWindowView(TForm1& form) : f_(form) {}

  void PaneLine(TPane pane, const std::string& line) override;
  void LinkStatus(const std::string& text) override;
  void Waiting(const std::string& what) override;
  void ReportWait(const std::string& text) override;
  void ControlChanged(TRunControl control, bool on) override;
  void CountdownCaption(const std::string& caption) override;
  void CallFinished(const TCallResult& call) override;
  void ErrorRaised(const std::string& text) override;
  void Message(const std::string& text) override;
  void ProgramEnds() override;
  void StepsOver() override;
  void RunOver() override;
  void RunEnded(const TRunReport& report) override;

 private:
  TMemo* Pane(TPane pane) const;
  TForm1& f_;
};
