#pragma once
// The tester's one window: its controls, its network components, the state of a test run and
// the handlers that tie them together. Handlers stay thin and call plain code (probes/,
// router/, net/); each click and timer handler runs inside the one guard of the windowing
// layer, so an exception that leaves it is reported in a box and the program goes on.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/FormControls.h"
#include "net/IdComponent.h"
#include "probes/CallTest.h"
#include "probes/LargeSip.h"
#include "probes/NatProbe.h"
#include "probes/NatTimeoutTest.h"
#include "probes/RunResult.h"
#include "probes/Sequencer.h"
#include "probes/SipProbe.h"
#include "net/IdTCPClient.h"
#include "net/IdUDPServer.h"

class TRunEnding;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // Size of the window's client area as designed.
  static constexpr int kClientWidth = 780;
  static constexpr int kClientHeight = 534;

  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // ---- Network components -------------------------------------------------------------------
  // The test call from the RTP socket (RunCall.cpp). Made once, before the endpoints, so that it
  // outlives the RTP endpoint's receive thread, which hands it the call's packets.
  std::unique_ptr<TBackgroundCall> Call = std::make_unique<TBackgroundCall>();
  // The server's large answers, kept by the SIP endpoints' receive threads for the test
  // sequence; made before the endpoints for the same reason.
  std::unique_ptr<TLargeDownInbox> LargeDown = std::make_unique<TLargeDownInbox>();
  // Owned by the window and made with it, before FormCreate runs. As members they are destroyed
  // before the base class deletes the controls, so a datagram handed over while an endpoint
  // shuts down still finds the panes alive.
  // TCP client to the echo server: Port 0, no read limit, an over-long line raises; Host and
  // Port are set at each start.
  std::unique_ptr<TIdTCPClient> IdTCPClient1 = std::make_unique<TIdTCPClient>();
  // UDP endpoints: no bindings, default port 0, datagrams handed to the user-interface thread.
  std::unique_ptr<TIdUDPServer> IdUDP_client_5060 = std::make_unique<TIdUDPServer>();
  std::unique_ptr<TIdUDPServer> IdUDP_client_5058 = std::make_unique<TIdUDPServer>();
  std::unique_ptr<TIdUDPServer> IdRTP5004 = std::make_unique<TIdUDPServer>();

  // ---- Controls, in declaration order (owned by the window through Qt's parent chain) --------
  QPushButton* BtnTest;   // "Start test"
  QComboBox* ComboBox1;   // local IPv4 address to test from; the user may also type one
  TPanel* Panel1;         // everything below the top row, kept at the bottom
  TMemo* Memo2;           // log pane, fixed-pitch
  TTimer* Timer1;         // NAT countdown and RTP verdict, 1000 ms
  TPanel* Panel2;
  TMemo* MemoRTP;         // RTP port results
  QLabel* Label2;         // "Local IP:"
  TStatusBar* StatusBar1; // panel 0: link status
  TTimer* TimerTCP;       // runs the test sequence once connected, 1000 ms
  QPushButton* StopBtn;   // "Stop test"
  TPanel* Panel3;
  TMemo* MemoSIP;         // start-up report and ALG verdicts
  QPushButton* BtnRouter; // "Open router management"
  TPanel* Panel4;
  TMemo* MemoNat;         // NAT session results
  QLabel* Label1;         // "Countdown:"
  QLabel* LblCount;       // countdown value in seconds
  // "Copy report", right of "Stop test": the last run's summary, advice and panes to the
  // clipboard; usable once a run has ended.
  QPushButton* BtnCopyReport;
  // The end of each run beyond the handlers: summary, result, giving up on NAT reports.
  TRunEnding* RunEnding;

  // ---- State of a test run (nothing of it is saved between runs) -----------------------------
  TNatAges NatAges;             // last printed session ages, per server port
  int32_t& LastNatSecs5058 = NatAges.LastNatSecs5058;  // for server port 5058, in seconds
  int32_t& LastNatSecs5060 = NatAges.LastNatSecs5060;  // the same for server port 5060
  int32_t RtpCount = 0;         // datagrams from the server counted on IdRTP5004
  int32_t RtpPrevCount = 0;     // RtpCount as seen at the previous countdown tick
  std::string RouterIP;         // the router's address, dotted decimal
  std::string ServerHost;       // host part of the echo server endpoint
  bool StartPending = false;    // a test sequence is due once the connection is open
  int32_t ServerPort = 0;       // the echo server's SIP port (probes from IdUDP_client_5060)
  int32_t RtpPort = 0;          // local port IdRTP5004 is bound to
  TSipProbe Probe;              // the probes of the run and the lines they were sent with
  std::string& RegisterMsg = Probe.RegisterMsg;  // the REGISTER probe composed last
  std::string& InviteMsg = Probe.InviteMsg;      // the INVITE probe composed last
  // Header lines of the probe composed last.
  std::string& SentRequestLine = Probe.SentRequestLine;
  std::string& SentVia = Probe.SentVia;
  std::string& SentFrom = Probe.SentFrom;
  std::string& SentTo = Probe.SentTo;
  std::string& SentCallId = Probe.SentCallId;
  std::string& SentContact = Probe.SentContact;
  std::string& SentSdp = Probe.SentSdp;  // SDP body of the INVITE composed last
  std::string& SentSdpOrigin = Probe.SentSdpOrigin;          // its o= line
  std::string& SentSdpConnection = Probe.SentSdpConnection;  // its c= line
  std::string& SentSdpMedia = Probe.SentSdpMedia;            // its m= line
  bool Stopped = false;         // the user stopped the run; NAT session reports are ignored
  // Address the control connection of the run reached: RTP datagrams count only from it.
  std::string ServerAddress;
  // What the last run found, filled in by the handlers as it goes, and how it ended.
  TRunResult Result;
  // What its test sequence found (verdicts per port and probe, NAT test started).
  TSequenceReport& LastReport = Result.Sequence;
  // When set (a front with a time limit), no step of a start or of the test sequence waits past
  // it: the vendor list gives up, and the sequence stops.
  std::optional<std::chrono::steady_clock::time_point> RunDeadline;
  // The NAT time-out test of the run, on mappings of its own (RunTimeout.cpp); made anew at
  // each start.
  std::unique_ptr<TBackgroundNatTimeout> NatTimeout = std::make_unique<TBackgroundNatTimeout>();
  // The countdown the NAT session reports set, in seconds; nullopt while none runs. The label
  // shows the time left of the whole run: this, or the time-out test's, whichever is longer.
  std::optional<int> NatCountdown;
  // Length of the test call in seconds, within what the server takes; 0: no call.
  int CallSecondsAsked = 15;
  // When a run ends, what to do about its findings goes to the log pane (a front that says it
  // in its own way turns this off).
  bool AdviceInLog = true;

  // Where FormCreate takes the host's IPv4 addresses from; by default the socket layer's list.
  // Replaceable before FormCreate runs (tests, a front that picks its own).
  std::function<std::vector<std::string>()> LocalAddressSource;

  // ---- Handlers -------------------------------------------------------------------------------
  // Click and timer handlers; the controls reach them through the windowing layer's guard.
  virtual void BtnTestClick(QObject* Sender);
  virtual void Timer1Timer(QObject* Sender);
  virtual void BtnRouterClick(QObject* Sender);
  virtual void TimerTCPTimer(QObject* Sender);
  virtual void StopBtnClick(QObject* Sender);
  void CopyReportClick(QObject* Sender);  // RunReport.cpp

  // Fills the address list once the window is made; runs inside the guard itself, so it never
  // throws. With no address at all the window closes before it is ever shown.
  void FormCreate(QObject* Sender);
  void IdTCPClient1Status(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText);
  void IdTCPClient1Connected(TIdComponent* Sender);
  void IdTCPClient1Disconnected(TIdComponent* Sender);
  // Datagram handlers, run on the user-interface thread; an exception they raise is dropped by
  // the endpoint, never shown. Both SIP endpoints share the first.
  virtual void IdUDP_client_5060UDPRead(TIdUDPServer* Sender, TStream& AData,
                                        TIdSocketHandle& ABinding);
  virtual void IdRTP5004UDPRead(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding);

  // The probe methods, on the window's probe state; result lines go to the log pane.
  void BuildRegister(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                     const std::string& localPort);
  void BuildInvite(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                   const std::string& localPort, bool natTest, int rtpPort);
  int CheckRegisterEcho(const std::string& echo);
  int CheckInviteEcho(const std::string& echo);
  int CompareSipHeaders(const std::string& echo);
  int CompareSdp(const std::string& sdp);

  // Notes how the current run ends, unless that is noted already: the first cause counts.
  void MarkRunEnd(TRunEnd why);
  // The current run is over: notes why (MarkRunEnd) and announces it with RunEnded, once per
  // run, after the step under way (and a message box it shows) is over. Later calls change
  // nothing.
  void EndRun(TRunEnd why);

  // Shows in the status bar's second panel what the running step waits for ("" when
  // nothing: a wait shown is cleared, other text stays), and announces it with WaitChanged.
  void ShowWait(const std::string& what);
  // True while a click or tick handler runs.
  bool InStep() const { return steps_ > 0; }

  // Closes the window, which ends the program. Before the message loop runs (during
  // FormCreate) the window is then never shown.
  void Close();
  bool Closed() const { return closed_; }
  // Places the window in the middle of its screen.
  void CenterOnScreen();

 signals:
  // The run that "Start test" began is over; Result says how it ended.
  void RunEnded();
  // The NAT session test INVITEs of the run have been sent.
  void NatInvitesSent();
  // What the running step waits for has changed; "" once it waits no more.
  void WaitChanged(const QString& what);

 protected:
  // A close asked for while a step runs waits until the step is over.
  void closeEvent(QCloseEvent* event) override;

 private:
  class TSequencerLink;
  void CreateControls();
  // Runs one click or tick handler inside the guard, as one step: its wait is cleared at its
  // end, and a close held meanwhile follows it.
  void RunStep(const std::function<void()>& handler);
  // Binds one endpoint by trying ports from `first` in steps of `step`; false when the start
  // has to end (the attempt limit was passed).
  bool BindFrom(TIdUDPServer& endpoint, int first, int step, TMemo& pane, const char* success, int& attempts,
                bool isRtp);
  void Line(TPane pane, const std::string& line);
  // The NAT time-out test (RunTimeout.cpp): whether it still runs; the countdown label for
  // the whole run; its end, with its lines in the NAT pane, once per run.
  bool NatTimeoutRunning() const;
  void ShowCountdown();
  void FinishNatTimeout();
  bool natTimeoutWritten_ = false;
  // The test call (RunCall.cpp): due a little after the checks, once the server's unprompted
  // audio is over; whether it is still to come, runs or waits for the server's report; one step
  // per countdown tick; its end, with its lines in the RTP pane, once per run.
  void ArmCall();
  bool CallPending() const;
  int CallSecondsLeft() const;
  void CallStep();
  void FinishCall();
  std::optional<int64_t> callDueUs_;
  std::optional<call_wire::TReport> callReport_;
  bool callWritten_ = false;
  bool callBurstCame_ = false;
  // The start after the ports are bound: router, vendor list, endpoint, connect.
  void StartConnection();
  // Refreshes the MAC vendor list from `url` and names the router's maker in the SIP pane;
  // returns it.
  std::optional<std::string> RunVendorStep(const std::string& macText, const std::string& url);
  bool closed_ = false;
  int steps_ = 0;           // click and tick handlers running (nested inside message boxes)
  bool closeHeld_ = false;  // a close came while a step ran
  bool runOpen_ = false;  // a run began and has not ended yet
  bool endHeld_ = false;  // the run ended inside a step: announced once the step is over
  bool waitShown_ = false;  // the status bar's second panel shows a wait
};

// The one window of the program, while it exists.
extern TForm1* Form1;

// The host's IPv4 addresses as the socket layer lists them (keeping the layer alive while it
// asks). A failure raises the socket error.
std::vector<std::string> SocketLayerLocalAddresses();
