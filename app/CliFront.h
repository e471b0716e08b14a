#pragma once
// The console front: it drives one run as a person at the window would (Start, and Stop when
// the time is up or a signal comes) and keeps every line the run reports, tagged by where the
// window would show it.
#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

#include "app/CliLines.h"
#include "app/CliOptions.h"
#include "run/TestRun.h"

class TCliDriver : public QObject, public TRunObserver {
 public:
  // echo: each line as it comes; finished: once, at the end (the run's, or the time limit's).
  TCliDriver(TTestRun& run, const TCliOptions& options, std::function<void(const TCliLine&)> echo,
             std::function<void()> finished);
  // Writes the panes' first lines and starts the run from localIp, once the event loop runs.
  void Start(const std::string& localIp);
  // An error for a person: one [ERROR] line (the server not reached, in a line that names it).
  void AddError(const std::string& text);
  // An ending signal (SIGINT, SIGTERM): the run ends as "Stop test" would, and the front winds up.
  void Interrupt();
  const TCliRecord& Record() const { return record_; }

  void PaneLine(TPane pane, const std::string& line) override;
  void LinkStatus(const std::string& text) override { Add("STATUS", text); }
  void ErrorRaised(const std::string& text) override { AddError(text); }
  void Message(const std::string& text) override { AddError(text); }
  void ProgramEnds() override { record_.WindowClosed = true; }
  void RunReported(const TRunReport&) override { Finish(); }

 private:
  void Add(const std::string& tag, const std::string& text);
  // Ends the run as "Stop test" would, noting why first.
  void EndRun(TRunEnd why);
  void Finish();

  TTestRun& run_;
  TCliOptions options_;
  std::function<void(const TCliLine&)> echo_;
  std::function<void()> finished_;
  TCliRecord record_;
  QTimer deadline_;     // --max-seconds
  bool done_ = false;
  bool notReachedSaid_ = false;  // the line that the server was not reached is out
};
