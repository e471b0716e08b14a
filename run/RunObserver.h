#pragma once
// What a test run reports as it goes, to every front that subscribed (the window, the console):
// lines for the panes, the link status, what it waits for, what a person may do now, the
// answers of the result card, and its end with the report. A front takes what it shows and
// leaves the rest; a new kind of news is a new member here, with a default that ignores it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "probes/CallQuality.h"
#include "probes/Sequencer.h"
#include "run/RunReport.h"

// What a person can do or see during a run, besides the panes.
enum class TRunControl {
  Start,       // "Start test" is usable
  Stop,        // "Stop test" is usable
  Router,      // the router's page can be opened
  Countdown,   // the countdown is shown
};

// One answer of the result card: a question a person asks first, answered in one line.
struct TRunAnswer {
  enum class TTopic { Alg, NatKeepAlive, CallQuality, WhatToDo };
  // Good: nothing to do. Warning: something to set (a keep-alive, a call that sounds poor).
  // Problem: something to fix. Unknown: the run could not tell.
  enum class TTone { Good, Warning, Problem, Unknown };
  TTopic Topic = TTopic::Alg;
  TTone Tone = TTone::Unknown;
  std::string Text;
};

// The first line of each pane, before any run ("" for the log pane).
const char* PaneHeading(TPane pane);
// A text as the lines a pane holds of it: one per piece between line breaks (CR LF, LF or a
// lone CR).
std::vector<std::string> SplitPaneLines(const std::string& text);

class TRunObserver {
 public:
  virtual ~TRunObserver() = default;
  // A line for a pane (never holding a line break).
  virtual void PaneLine(TPane pane, const std::string& line) { (void)pane, (void)line; }
  // The state of the control connection, as the status bar shows it ("Link status: ...").
  virtual void LinkStatus(const std::string& text) { (void)text; }
  // What the step under way waits for; "" once it waits no more.
  virtual void Waiting(const std::string& what) { (void)what; }
  // The run waits for the first NAT session report (the text says how long at most); "" once
  // that wait is over.
  virtual void ReportWait(const std::string& text) { (void)text; }
  // A control becomes usable (shown) or not.
  virtual void ControlChanged(TRunControl control, bool on) { (void)control, (void)on; }
  // The countdown's caption, in seconds.
  virtual void CountdownCaption(const std::string& caption) { (void)caption; }
  // A countdown tick: the NAT time-out test has its answer by endsByMs (SteadyMs clock) at the
  // latest, or no longer runs.
  virtual void TimeoutTestDue(std::optional<int64_t> endsByMs) { (void)endsByMs; }
  // The NAT session test INVITEs went out.
  virtual void NatInvitesSent() {}
  // The test call is over.
  virtual void CallFinished(const TCallResult& call) { (void)call; }
  // An error ended a step (a person sees it in a box, with the error icon).
  virtual void ErrorRaised(const std::string& text) { (void)text; }
  // A message for a person (a box without icon); the run goes on once it returns.
  virtual void Message(const std::string& text) { (void)text; }
  // The run cannot go on and the program has to end (the bind limit).
  virtual void ProgramEnds() {}
  // A step (a click, a tick) is over and none runs now.
  virtual void StepsOver() {}
  // The run is over; its closing lines and its report follow once the step under way is done.
  virtual void RunOver() {}
  // One answer of the result card, as soon as the run knows it: the ALG's after the checks, the
  // NAT time-out test's and the call's when they are over; an answer may come again as the run
  // learns more (the last one counts), and all of them come at the end, before the report.
  virtual void Answer(const TRunAnswer& answer) { (void)answer; }
  // The run's closing lines are out; its report.
  virtual void RunReported(const TRunReport& report) { (void)report; }
};
