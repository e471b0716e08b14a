#pragma once
// One test run from "Start test" to its end, without a window: the start (ports, router, vendor
// list, control connection), the test sequence, the NAT session reports with their countdown,
// the RTP count, the NAT time-out test, the test call, the end rules and the report. It talks
// to the network through a TRunIo and reports what happens to its observers (RunObserver.h);
// the window and the console front are two such observers, and each drives it as a person
// would: Start, Stop, and the ticks of its two timers.
//
// Everything runs on one thread, the one that made the run (the user-interface thread); the
// network hands datagrams over to it (UiThread.h). Each click and tick is one step (Step):
// an error that leaves it is reported, not raised, and the end of a run that a step caused is
// announced once the step is over.
#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "probes/NatProbe.h"
#include "probes/RunResult.h"
#include "probes/SipProbe.h"
#include "run/RunIo.h"
#include "run/RunObserver.h"
#include "run/RunReport.h"
#include "run/RunTimer.h"

// How long a run waits, after the NAT session test INVITEs, for the first NAT session report
// before it takes UDP from the server for blocked and ends.
inline constexpr int kNoNatReportSeconds = 60;

class TTestRun : public QObject, public TRunInput {
 public:
  explicit TTestRun(std::unique_ptr<TRunIo> io);
  ~TTestRun() override;
  TTestRun(const TTestRun&) = delete;
  TTestRun& operator=(const TTestRun&) = delete;

  // Observers are told in the order they subscribed; each must outlive the run or leave first.
  void Subscribe(TRunObserver* observer);
  void Unsubscribe(TRunObserver* observer);

  TRunIo& Io() { return *io_; }

  // ---- Settings, before a start ----
  int CallSecondsAsked = 15;  // the test call's length in seconds, within what the server takes; 0: none
  // When set, no step of a start or of the test sequence waits past it: the vendor list gives up,
  // and the sequence stops.
  std::optional<std::chrono::steady_clock::time_point> RunDeadline;
  int NoNatReportSecs = kNoNatReportSeconds;  // the wait for the first NAT session report

  // ---- What a person does, each inside a Step ----
  // "Start test": from localIp, against the echo server `argument` names (host[:port]; "" for
  // the built-in one).
  void Start(const std::string& localIp, const std::string& argument);
  // "Stop test".
  void Stop();
  // Ticks of TimerTCP (the test sequence, once the connection is open) and of Timer1 (the
  // countdown, the RTP verdict, the NAT time-out test and the call).
  void SequenceTick();
  void CountdownTick();

  // Runs one click or tick handler as one step: an exception that leaves it is reported
  // (ErrorRaised; a stop asked for by a signal is no error), what it waited for is cleared at its
  // end, and a run it ended is announced after it. Steps may nest (inside a message box).
  void Step(const std::function<void()>& handler);
  bool InStep() const { return steps_ > 0; }
  // Runs a handler that is no step (the run's own queued work): an exception that leaves it is
  // reported the same way.
  void Guarded(const std::function<void()>& handler) noexcept;

  // Notes how the current run ends, unless that is noted already: the first cause counts.
  void MarkRunEnd(TRunEnd why);
  // The current run is over: notes why and announces it once, after the step under way.
  void EndRun(TRunEnd why);

  // The report of the last run: as made at its end, or, while it goes on, as far as it has got.
  TRunReport Report() const;

  // ---- What the network reports (TRunInput) ----
  void SipDatagram(int socketPort, const std::string& data, int fromPort) override;
  void RtpDatagram(const std::string& fromIp) override;
  void LinkStatus(const std::string& text) override;
  void LinkConnected() override;
  void LinkDisconnected() override;

  // ---- The two timers, 1000 ms, disabled at first ----
  // Each tick is a step that calls the handler below: by default the run's own; a front that
  // shows the timers as its own may put its handler there, which must hand over to the run's.
  TTimer* Timer1;    // the countdown
  TTimer* TimerTCP;  // the test sequence, once connected; never disabled again
  std::function<void()> OnTimer1;
  std::function<void()> OnTimerTCP;

  // ---- State of the run (nothing of it is saved between runs) ----
  TNatAges NatAges;           // last printed session ages, per server port
  int32_t RtpCount = 0;       // datagrams from the server counted on the RTP socket
  int32_t RtpPrevCount = 0;   // RtpCount as seen at the previous countdown tick
  std::string RouterIP;       // the router's address, dotted decimal
  std::string ServerHost;     // host part of the echo server endpoint
  bool StartPending = false;  // a test sequence is due once the connection is open
  int32_t ServerPort = 0;     // the echo server's SIP port (probes from the 5060 socket)
  int32_t RtpPort = 0;        // local port of the RTP socket
  TSipProbe Probe;            // the probes of the run and the lines they were sent with
  bool Stopped = false;       // the user stopped the run; NAT session reports are ignored
  // Address the control connection of the run reached: RTP datagrams count only from it.
  std::string ServerAddress;
  TRunResult Result;          // what the run found so far, and how it ended
  // The countdown the NAT session reports set, in seconds; nullopt while none runs.
  std::optional<int> NatCountdown;

 private:
  class TSequenceLink;
  template <class F>
  void Tell(F&& f) {
    for (TRunObserver* o : std::vector<TRunObserver*>(observers_)) f(*o);
  }
  void Line(TPane pane, const std::string& line);
  void TellAnswer(TRunAnswer::TTopic topic);
  void Enable(TRunControl control, bool on);
  void ShowWait(const std::string& what);
  void ShowCountdown();
  void HideCountdown();
  bool BindFrom(TRunSocket socket, int first, int step, TPane pane, const char* success, int& attempts);
  void StartConnection(const std::string& argument);
  std::optional<std::string> RunVendorStep(const std::string& macText, const std::string& url);
  // The end (RunEnd.cpp): announced after the step; the closing lines and the report after that.
  void AnnounceEnd();
  void CloseRun();
  void NatInvitesOut();
  void GiveUpOnNatReports();
  std::string FirstReportWait() const;
  // The NAT time-out test (RunTimeout.cpp).
  bool NatTimeoutRunning();
  void FinishNatTimeout();
  // The test call (RunCall.cpp): due a little after the checks, once the server's unprompted
  // audio is over; one step per countdown tick; its end, with its lines, once per run.
  void ArmCall();
  bool CallPending() const;
  int CallSecondsLeft();
  void CallStep();
  void FinishCall();

  std::unique_ptr<TRunIo> io_;
  std::vector<TRunObserver*> observers_;
  int steps_ = 0;
  bool runOpen_ = false;     // a run began and has not ended yet
  bool endHeld_ = false;     // the run ended inside a step: announced once the step is over
  bool closingDue_ = false;  // the run was announced over; its closing is not written yet
  bool waitShown_ = false;   // a step's wait is shown
  std::string note_;         // what the status line's second part shows of the run's texts
  QTimer natReports_;        // the wait for the first NAT session report
  bool natTimeoutWritten_ = false;
  std::optional<int64_t> callDueUs_;
  std::optional<call_wire::TReport> callReport_;
  bool callReportUnreadable_ = false;  // a report came that does not read
  bool callWritten_ = false;
  bool callBurstCame_ = false;
  std::time_t started_ = 0;  // of the last start
  std::string localIp_;      // the address it tested from
  std::vector<std::pair<TPane, std::string>> lines_;  // every pane line since the last start
  std::optional<TRunReport> report_;                  // made at the end of the last run
};
