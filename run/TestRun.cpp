#include "run/TestRun.h"

#include <algorithm>

#include "net/IdException.h"
#include "net/ScopeExit.h"
#include "net/UiThread.h"
#include "probes/RunEndRule.h"
#include "run/EchoEndpoint.h"
#include "run/ErrorText.h"

const char* PaneHeading(TPane pane) {
  switch (pane) {
    case TPane::Sip: return "SIP ALG Test:";
    case TPane::Nat: return "NAT Sessions timeout:";
    case TPane::Rtp: return "RTP port open/closed:";
    case TPane::Log: break;
  }
  return "";
}

std::vector<std::string> SplitPaneLines(const std::string& text) {
  std::vector<std::string> pieces;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      pieces.push_back(current);
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current += c;
    }
  }
  pieces.push_back(current);
  return pieces;
}

TTestRun::TTestRun(std::unique_ptr<TRunIo> io) : io_(std::move(io)) {
  Timer1 = new TTimer(this, 1000);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  TimerTCP = new TTimer(this, 1000);
  TimerTCP->setObjectName(QStringLiteral("TimerTCP"));
  OnTimer1 = [this] { CountdownTick(); };
  OnTimerTCP = [this] { SequenceTick(); };
  connect(Timer1, &TTimer::Tick, this, [this] { Step([this] { OnTimer1(); }); });
  connect(TimerTCP, &TTimer::Tick, this, [this] { Step([this] { OnTimerTCP(); }); });
  natReports_.setSingleShot(true);
  connect(&natReports_, &QTimer::timeout, this, [this] { Guarded([this] { GiveUpOnNatReports(); }); });
  io_->Attach(this);
}

TTestRun::~TTestRun() {
  observers_.clear();
  io_->Attach(nullptr);
  io_.reset();  // ends the receive threads and the connection while the run still exists
}

void TTestRun::Subscribe(TRunObserver* observer) { observers_.push_back(observer); }

void TTestRun::Unsubscribe(TRunObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void TTestRun::Step(const std::function<void()>& handler) {
  ++steps_;
  {
    const TScopeExit left{[this] { --steps_; }};
    Guarded([&] {
      const TScopeExit waitsOver{[this] { ShowWait(std::string()); }};  // before an error's box
      handler();
    });
  }
  if (steps_ > 0) return;
  if (endHeld_) {
    endHeld_ = false;
    AnnounceEnd();
  }
  Tell([](TRunObserver& o) { o.StepsOver(); });
}

void TTestRun::Guarded(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const EIdStopRequested&) {
    // The user asked for the stop: nothing went wrong.
  } catch (...) {
    try {
      const std::string text = ErrorReportText(ExceptionMessage(std::current_exception()));
      Tell([&](TRunObserver& o) { o.ErrorRaised(text); });
    } catch (...) {
      // The report itself failed: nothing more can be shown.
    }
  }
}

void TTestRun::Line(TPane pane, const std::string& text) {
  for (const std::string& line : SplitPaneLines(text)) {
    lines_.emplace_back(pane, line);
    Tell([&](TRunObserver& o) { o.PaneLine(pane, line); });
    // The first report ends the wait for it; its countdown takes over.
    if (pane == TPane::Nat && line.rfind("NAT session on port ", 0) == 0 && !note_.empty() &&
        note_ == FirstReportWait()) {
      note_.clear();
      Tell([](TRunObserver& o) { o.ReportWait(std::string()); });
    }
  }
}

void TTestRun::Enable(TRunControl control, bool on) {
  Tell([&](TRunObserver& o) { o.ControlChanged(control, on); });
}

void TTestRun::ShowWait(const std::string& what) {
  if (what.empty() && !waitShown_) return;
  waitShown_ = !what.empty();
  if (note_ == what) return;
  note_ = what;
  Tell([&](TRunObserver& o) { o.Waiting(what); });
}

void TTestRun::HideCountdown() {
  Timer1->SetEnabled(false);
  Enable(TRunControl::Countdown, false);
}

// ---- The start ---------------------------------------------------------------------------------

bool TTestRun::BindFrom(TRunSocket socket, int first, int step, TPane pane, const char* success, int& attempts) {
  for (int p = first;; p += step) {
    const bool bound = io_->BindSocket(socket, p);
    if (bound) {
      if (socket == TRunSocket::Rtp5004) RtpPort = p;
      Line(pane, success + std::to_string(p));
    } else {
      Line(pane, "Cannot use port " + std::to_string(p));
    }
    // Every attempt counts, a successful one too; past the limit the program ends.
    if (++attempts > 100) {
      Tell([](TRunObserver& o) { o.Message("Cannot bind a socket after 100 attempts. Exiting..."); });
      Tell([](TRunObserver& o) { o.ProgramEnds(); });
      EndRun(TRunEnd::Error);
      return false;
    }
    if (bound) return true;
  }
}

void TTestRun::Start(const std::string& localIp, const std::string& argument) {
  io_->PrepareSockets(localIp);
  Enable(TRunControl::Start, false);
  Enable(TRunControl::Router, false);
  Stopped = false;
  // The last run's end is written first, if it is still due.
  if (closingDue_) CloseRun();
  natReports_.stop();
  started_ = std::time(nullptr);
  localIp_ = localIp;
  lines_.clear();
  report_.reset();
  Result = TRunResult();
  runOpen_ = true;
  io_->ResetNatTimeout();
  io_->Call().Reset();  // before its socket is closed
  callDueUs_.reset();
  callReport_.reset();
  callReportUnreadable_ = false;
  callWritten_ = false;
  NatCountdown.reset();
  natTimeoutWritten_ = false;
  ServerAddress.clear();
  // A countdown that a late report restarted after the last run ended belongs to that run:
  // left running, it would end the new one.
  HideCountdown();
  Tell([](TRunObserver& o) { o.CountdownCaption("0"); });

  int attempts = 0;  // shared by the three searches
  if (!BindFrom(TRunSocket::Sip5058, 5058, -2, TPane::Sip, "Using SIP port ", attempts)) return;
  if (!BindFrom(TRunSocket::Sip5060, 5060, 2, TPane::Sip, "Using SIP port ", attempts)) return;
  if (!BindFrom(TRunSocket::Rtp5004, 5004, 2, TPane::Rtp, "Using RTP port ", attempts)) return;

  // Whatever fails from here on (an unreadable vendor list, a connect that fails), the user
  // can start again: no sequence is due, and the error itself is reported by the step.
  try {
    StartConnection(argument);
  } catch (...) {
    StartPending = false;
    Enable(TRunControl::Start, true);
    EndRun(TUiThread::StopRequested() ? TRunEnd::Stopped : TRunEnd::Error);
    throw;
  }
}

void TTestRun::StartConnection(const std::string& argument) {
  // The router in front of this host.
  ShowWait("Looking up the router");
  const TGatewayInfo gateway = io_->FindRouter([this](const std::string& l) { Line(TPane::Sip, l); });
  RouterIP = gateway.RouterIP;
  Result.RouterIP = gateway.RouterIP;
  Result.RouterMac = gateway.MacText;
  Enable(TRunControl::Router, true);
  Result.Vendor = RunVendorStep(gateway.MacText, MacListUrlFor(argument));

  const TEchoEndpoint endpoint = ParseEchoEndpoint(argument, BuiltinEchoServer());
  ServerHost = endpoint.Host;
  ServerPort = endpoint.Port;
  io_->PrepareControl(ServerHost);
  Line(TPane::Sip, "Connecting to remote server... ");
  ShowWait("Waiting for " + ServerHost + " to accept the control connection");
  StartPending = true;
  try {
    // The run's one lookup of the server's name: the address it gives is the run's server.
    io_->ConnectControl(2000);
  } catch (const std::exception& e) {
    if (std::optional<std::string> reason = ServerNotReachedReason(e)) {
      Result.NotReachedReason = *reason;
      MarkRunEnd(TRunEnd::ServerNotReached);
    }
    throw;
  }
}

std::optional<std::string> TTestRun::RunVendorStep(const std::string& macText, const std::string& url) {
  // An unresolved address reads as all zeros; a maker found for that prefix would name a
  // router that is not there, so the list is refreshed but nothing is looked up.
  const bool resolved = macText.find_first_not_of('0') != std::string::npos;
  TIdTransferLimits limits;
  if (RunDeadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*RunDeadline -
                                                                            std::chrono::steady_clock::now());
    limits.TotalMs = static_cast<int>(std::clamp<int64_t>(left.count(), 1, limits.TotalMs));
  }
  return io_->FindVendor(url, resolved ? macText : std::string(),
                         [this](const std::string& l) { Line(TPane::Sip, l); }, limits,
                         [this](const std::string& w) { ShowWait(w); });
}

void TTestRun::Stop() {
  Stopped = true;
  NatCountdown.reset();
  io_->Disconnect();
  HideCountdown();
  Tell([](TRunObserver& o) { o.CountdownCaption("0"); });
  EndRun(TRunEnd::Stopped);
}

// ---- The control connection and the datagrams ---------------------------------------------------

void TTestRun::LinkStatus(const std::string& text) {
  const std::string shown = "Link status: " + text;
  Tell([&](TRunObserver& o) { o.LinkStatus(shown); });
}

void TTestRun::LinkConnected() {
  ServerAddress = io_->ControlPeer();
  TimerTCP->SetEnabled(true);
}

void TTestRun::LinkDisconnected() {
  Enable(TRunControl::Start, true);
  Enable(TRunControl::Stop, false);
}

// NAT session reports of the server, on either SIP socket.
void TTestRun::SipDatagram(int socketPort, const std::string& data, int fromPort) {
  if (Stopped) return;
  const std::optional<int> countdown = HandleNatReport(
      data, fromPort, NatAges, [this](const std::string& l) { Line(TPane::Nat, l); }, &Result, socketPort);
  if (!countdown) return;
  NatCountdown = *countdown;
  ShowCountdown();
  Timer1->SetEnabled(true);
  Enable(TRunControl::Stop, true);
}

// Datagrams on the RTP socket: counted when they come from the server the run talks to.
void TTestRun::RtpDatagram(const std::string& fromIp) {
  if (ServerAddress.empty() || fromIp != ServerAddress) return;
  ++RtpCount;
  ++Result.RtpPackets;
}

// ---- The test sequence --------------------------------------------------------------------------

// The test sequence talks to the network through the run's, and to the panes through the run.
class TTestRun::TSequenceLink : public TSequencerIo {
 public:
  explicit TSequenceLink(TTestRun& run) : r_(run), io_(*run.io_) {}
  void AddLine(TPane pane, const std::string& line) override { r_.Line(pane, line); }
  void ControlWrite(const std::string& bytes) override { io_.ControlWrite(bytes); }
  std::string ControlReadLine(const std::string& terminator, int timeoutMs) override {
    return io_.ControlReadLine(terminator, timeoutMs);
  }
  void Disconnect() override { io_.Disconnect(); }
  void LocalBinding(TSipSocket socket, std::string& ip, int& port) override { io_.LocalBinding(socket, ip, port); }
  void SendDatagram(TSipSocket socket, const std::string& host, int port, const std::string& text) override {
    io_.SendDatagram(socket, host, port, text);
  }
  std::optional<int> TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) override {
    return io_.TcpSipOpen(host, port, timeoutMs, failure);
  }
  void TcpSipWrite(const std::string& text) override { io_.TcpSipWrite(text); }
  bool TcpSipClosedByPeer() override { return io_.TcpSipClosedByPeer(); }
  std::optional<TIdTcpSendInfo> TcpSipSendInfo() override { return io_.TcpSipSendInfo(); }
  void TcpSipClose() override { io_.TcpSipClose(); }
  void Sleep(int ms) override { io_.Sleep(ms); }
  void Waiting(const std::string& what) override { r_.ShowWait(what); }
  void StartNatDiscovery(const std::string& localIp, const std::string& serverHost) override {
    io_.StartNatDiscovery(localIp, serverHost);
  }
  std::optional<TNatBehaviour> NatBehaviour() override { return io_.NatBehaviour(); }
  void StartNatLayers(const std::string& localIp, const std::string& serverHost) override {
    io_.StartNatLayers(localIp, serverHost);
  }
  std::optional<TNatLayersSeen> NatLayersSeen() override { return io_.NatLayersSeen(); }
  std::vector<std::string> LargeDownDatagrams(TSipSocket socket) override { return io_.LargeDownDatagrams(socket); }
  void StartNatTimeout(const std::string& localIp, const std::string& serverHost, int serverPort,
                       const std::string& token) override {
    io_.StartNatTimeout(localIp, serverHost, serverPort, token);
  }
  int64_t NowMs() override { return io_.NowMs(); }
  // From here on the user can always end the run, even when no report ever arrives.
  void NatTestStarted() override { r_.NatInvitesOut(); }

 private:
  TTestRun& r_;
  TRunIo& io_;
};

void TTestRun::SequenceTick() {
  if (!StartPending) return;
  StartPending = false;
  Enable(TRunControl::Start, false);
  TSequenceLink link(*this);
  // Every datagram of the run goes to the address the control connection reached: another
  // address of the same name would be another server, which holds no session of this run.
  TSequenceParams params{ServerAddress.empty() ? ServerHost : ServerAddress, ServerPort, RtpPort};
  params.LargeSip = true;
  io_->SequenceBegins();
  if (RunDeadline)
    params.DeadlineMs = link.NowMs() + std::chrono::duration_cast<std::chrono::milliseconds>(
                                           *RunDeadline - std::chrono::steady_clock::now())
                                           .count();
  try {
    const TScopeExit over{[this] { io_->SequenceEnded(); }};
    RunTestSequence(link, Probe, params, NatAges, RtpCount, RtpPrevCount, Result.Sequence);
  } catch (...) {
    // A sequence cut short by an error (a send that fails, an answer past the line limit)
    // would leave the connection open with both buttons disabled for good: end the run, so
    // the user can start again. The error itself is still reported.
    try {
      io_->Disconnect();
    } catch (...) {
      // The error that ended the sequence is the one to report.
    }
    EndRun(TUiThread::StopRequested() ? TRunEnd::Stopped : TRunEnd::Error);
    throw;
  }
  if (Result.Sequence.Outcome == TSequenceReport::TOutcome::Completed) {
    TellAnswer(TRunAnswer::TTopic::Alg);
    ArmCall();
  }
  const bool testsRunning = NatTimeoutRunning() || CallPending();
  if (const auto end = RunEndAfterSequence(Result.Sequence.Outcome, Result.Sequence.NatTestStarted(), testsRunning))
    EndRun(*end);
  if (runOpen_ && testsRunning) {
    // The whole run's countdown, until the time-out test has its answer; the user may stop it.
    ShowCountdown();
    Timer1->SetEnabled(true);
    Enable(TRunControl::Stop, true);
  }
}

void TTestRun::CountdownTick() {
  // The reports' countdown, if one runs; the run is over once it ran out (or the NAT session
  // test never started), the time-out test has its answer and the call is over.
  const bool testsRunning = NatTimeoutRunning() || CallPending();
  if (!NatTimeoutRunning()) FinishNatTimeout();  // its lines, once its answer is known
  const TNatTimeoutProgress p = io_->NatTimeoutProgress();
  Tell([&](TRunObserver& o) {
    o.TimeoutTestDue(p.Started && !p.Done ? std::optional<int64_t>(p.EndsByMs) : std::nullopt);
  });
  CallStep();
  if (NatCountdown) NatCountdown = ::CountdownTick(std::to_string(*NatCountdown));
  const TReportsTick step =
      ReportsTickStep(NatCountdown.has_value(), !Result.Nat.empty(), Result.Sequence.NatTestStarted(), testsRunning);
  if (step == TReportsTick::Countdown) {
    ShowCountdown();
  } else {
    // Waiting for a first report, as before any countdown, or the run is over.
    HideCountdown();
  }
  if (step == TReportsTick::CountdownRanOut || step == TReportsTick::NoNatTest) {
    io_->Disconnect();  // the run is over
    EndRun(step == TReportsTick::CountdownRanOut ? TRunEnd::CountdownRanOut : TRunEnd::NoNatTest);
  }
  RtpVerdictStep(RtpCount, RtpPrevCount, RtpPort, [this](const std::string& l) { Line(TPane::Rtp, l); });
}
