#pragma once
// What the console front says while a run waits, so that no long silence leaves a person
// wondering: one line when a wait longer than kAnnounceSecs starts, a line after every
// kQuietSecs without output, and on a terminal a countdown that updates in place instead.
// Plain code driven by the front's events and a clock; it only decides the texts. What a step
// of the run waits for (the window's wait text) comes first; then the NAT session reports.
#include <cstdint>
#include <optional>
#include <string>

class TCliWaits {
 public:
  static constexpr int kAnnounceSecs = 10;
  static constexpr int kQuietSecs = 20;

  // terminal: the output is a terminal, so an in-place countdown may be shown.
  explicit TCliWaits(bool terminal) : terminal_(terminal) {}

  // A line went out at nowMs (any line: a pane's, or one of these).
  void Printed(int64_t nowMs) { lastPrintedMs_ = nowMs; }
  // The NAT session test INVITEs went out; without a report the front gives up after giveUpSecs.
  void NatInvitesSent(int giveUpSecs, int64_t nowMs);
  // A NAT session report came; the wait for the first one, if it ran, is over.
  void NatReportCame(int64_t nowMs);
  // A report announced the next one from `port` after `secs` s: the line that announces the
  // wait when it is longer than kAnnounceSecs.
  std::optional<std::string> NextReportAnnounced(int port, int secs, int64_t nowMs);
  // What the step under way waits for ("Downloading MAC list... 420 KB"); "" once it is over.
  void StepWaiting(const std::string& what) { step_ = what; }
  // The NAT time-out test runs and has its answer by endsByMs at the latest; nullopt once it is
  // over. While it outlasts the NAT session reports, the waits say it.
  void TimeoutTest(std::optional<int64_t> endsByMs) { timeoutEndsMs_ = endsByMs; }
  // The run is over: nothing more to say.
  void Ended() { wait_ = TWait::Over; }

  // Once a second. Line: a line to print now. InPlace: on a terminal, the countdown's text to
  // show in place of the last one (never a line of its own).
  struct TTick {
    std::optional<std::string> Line;
    std::optional<std::string> InPlace;
  };
  TTick Tick(int64_t nowMs);

  // Reads the NAT pane's announcement "Checking port P after Ns ...".
  static bool ParseAnnouncement(const std::string& line, int& port, int& secs);

 private:
  enum class TWait { None, FirstReport, NextReport, Over };
  std::string Text(int64_t nowMs) const;

  bool terminal_;
  TWait wait_ = TWait::None;
  int64_t lastPrintedMs_ = 0;
  int64_t sinceMs_ = 0;  // FirstReport: when the INVITEs went out
  int64_t dueMs_ = 0;    // FirstReport: when the front gives up; NextReport: when it is due
  int port_ = 0;
  std::string step_;
  bool reportCame_ = false;  // a NAT session report came
  std::optional<int64_t> timeoutEndsMs_;
};
