#pragma once
// The console itself: the lines of a run as they appear, and while it goes on what it waits
// for ("[WAIT] " lines, or a countdown in place on a terminal).
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/CliLines.h"
#include "app/CliWaits.h"
#include "run/RunObserver.h"

// Writes the lines of one console run to `out` and says what the run waits for meanwhile. The
// waits are looked at once a second by a thread of the console's own, since the run's thread
// may itself be held in a long step (a slow vendor list, say); every write to `out` and every
// look at the waits takes the one lock. What the run waits for it learns as the run's observer.
class TCliConsole : public TRunObserver {
 public:
  // What is written while the run goes on: every line and the waits; the waits alone (the
  // progress of a --json run, on a terminal); nothing.
  enum class TShown { All, WaitsOnly, Nothing };
  // terminal: `out` is a terminal (a countdown may then update in place).
  TCliConsole(std::ostream& out, bool terminal, TShown shown);
  ~TCliConsole() override;
  // One line of the run, as it appears.
  void Line(const TCliLine& line);
  // The run is over: no more waits; a countdown in place is wiped.
  void Finish();

  void Waiting(const std::string& what) override;
  void NatInvitesSent() override;
  void TimeoutTestDue(std::optional<int64_t> endsByMs) override;
  void RunOver() override;

 private:
  void Ticks();
  // With the lock held.
  void Write(const TCliLine& line);
  void WipeInPlace();

  std::ostream& out_;
  bool terminal_;
  bool quiet_;      // nothing is written
  bool waitsOnly_;  // the panes' lines are not written
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  TCliWaits waits_;
  bool inPlaceShown_ = false;
  std::thread ticker_;
};
