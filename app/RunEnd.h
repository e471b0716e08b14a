#pragma once
// The window's end of a run: it gives up on NAT session reports that never come, and once a
// run is over it closes the panes' accounts (a report that never came, RTP that never came),
// writes the summary and the advice to the log pane and the result to the status bar. It also
// notes where each run begins, for the report of the last run alone.
#include <QObject>
#include <QTimer>
#include <ctime>
#include <string>

class TForm1;

// How long the window waits, after the NAT session test INVITEs, for the first NAT session
// report before it takes UDP from the server for blocked and ends the run.
inline constexpr int kNoNatReportSeconds = 60;

// Where the last run began.
struct TRunMarks {
  size_t Sip = 0, Nat = 0, Rtp = 0, Log = 0;  // lines the panes held before it
  std::time_t Started = 0;                     // wall-clock time of "Start test"
  std::string LocalIp;                         // the address it tested from
};

class TRunEnding : public QObject {
 public:
  explicit TRunEnding(TForm1& form);
  // "Start test" was pressed: a new run begins from the panes' current ends (the last one's
  // end is written first, if it is still due). Before the run's result is reset.
  void RunBegins();
  const TRunMarks& Marks() const { return marks_; }
  int NoNatReportSecs = kNoNatReportSeconds;  // shorter in tests

 private:
  std::string FirstReportWait() const;  // the status bar's text meanwhile
  void GiveUpOnNatReports();
  void Ended();  // once per run, after the handler that ended it has returned

  TForm1& form_;
  QTimer natReports_;  // the wait for the first NAT session report
  TRunMarks marks_;
  bool endDue_ = false;  // a run ended, and its end is not written yet
};
