#pragma once
// The tester's one window: its controls, the network components and the state of a test run as
// the run object (run/TestRun.h) holds them, and the handlers that hand each click, tick,
// datagram and link event over to the run. What the run reports, the window shows
// (WindowView.cpp). Each click and timer handler runs as one step of the run, so an exception
// that leaves it is reported in a box and the program goes on.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/FormControls.h"
#include "app/ResultCard.h"
#include "run/RunSockets.h"
#include "run/TestRun.h"

class TForm1 : public QWidget, private TRunObserver {
  Q_OBJECT

 public:
  // Size of the window's client area as designed: the panes' 534 pixels and the result card
  // above them.
  static constexpr int kCardHeight = 116;
  static constexpr int kClientWidth = 780;
  static constexpr int kClientHeight = 534 + kCardHeight;

  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The run the window drives and shows; it owns the network components and the run's state.
  std::unique_ptr<TTestRun> Run = std::make_unique<TTestRun>(std::make_unique<TRunSockets>());
  TRunSockets& Sockets() { return static_cast<TRunSockets&>(Run->Io()); }

  // ---- Network components (the run's; made with the window, before FormCreate runs) ----------
  TIdTCPClient* IdTCPClient1 = Sockets().IdTCPClient1.get();
  TIdUDPServer* IdUDP_client_5060 = Sockets().IdUDP_client_5060.get();
  TIdUDPServer* IdUDP_client_5058 = Sockets().IdUDP_client_5058.get();
  TIdUDPServer* IdRTP5004 = Sockets().IdRTP5004.get();

  // ---- Controls, in declaration order (owned by the window through Qt's parent chain) --------
  QPushButton* BtnTest;   // "Start test"
  QComboBox* ComboBox1;   // local IPv4 address to test from; the user may also type one
  TPanel* Panel1;         // everything below the top row, kept at the bottom
  TMemo* Memo2;           // log pane, fixed-pitch
  TTimer* Timer1 = Run->Timer1;  // NAT countdown and RTP verdict, 1000 ms
  TPanel* Panel2;
  TMemo* MemoRTP;         // RTP port results
  QLabel* Label2;         // "Local IP:"
  TStatusBar* StatusBar1; // panel 0: link status
  TTimer* TimerTCP = Run->TimerTCP;  // runs the test sequence once connected, 1000 ms
  QPushButton* StopBtn;   // "Stop test"
  TPanel* Panel3;
  TMemo* MemoSIP;         // start-up report and ALG verdicts
  QPushButton* BtnRouter; // "Open router management"
  TPanel* Panel4;
  TMemo* MemoNat;         // NAT session results
  QLabel* Label1;         // "Countdown:"
  QLabel* LblCount;       // countdown value in seconds
  // "Copy report", in the result card's corner: the last run's summary, advice and panes to the
  // clipboard; usable once a run has ended.
  QPushButton* BtnCopyReport;
  // "Echo server:" and its field (host[:port]), right of "Stop test".
  QLabel* LabelServer;
  QLineEdit* EchoServerEdit;
  // The result card between the top row and the panes.
  TResultCard* ResultCard;
  // "s left in this run", after the countdown.
  QLabel* LblLeft;
  // The call's chart, a window of its own once a call had figures.
  QPointer<QWidget> CallChartWindow;

  // Where the window keeps the last echo server used; by default the user's settings.
  // Replaceable before FormCreate runs (tests).
  std::function<std::unique_ptr<QSettings>()> SettingsSource;

  // ---- State of a test run: the run's, by the names the window has always had ----------------
  int32_t& LastNatSecs5058 = Run->NatAges.LastNatSecs5058;  // for server port 5058, in seconds
  int32_t& LastNatSecs5060 = Run->NatAges.LastNatSecs5060;  // the same for server port 5060
  int32_t& RtpCount = Run->RtpCount;
  int32_t& RtpPrevCount = Run->RtpPrevCount;
  std::string& RouterIP = Run->RouterIP;
  std::string& ServerHost = Run->ServerHost;
  bool& StartPending = Run->StartPending;
  int32_t& ServerPort = Run->ServerPort;
  int32_t& RtpPort = Run->RtpPort;
  TSipProbe& Probe = Run->Probe;
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
  bool& Stopped = Run->Stopped;
  std::string& ServerAddress = Run->ServerAddress;
  TRunResult& Result = Run->Result;
  TSequenceReport& LastReport = Result.Sequence;
  std::optional<int>& NatCountdown = Run->NatCountdown;

  // Where FormCreate takes the host's IPv4 addresses from; by default the socket layer's list.
  // Replaceable before FormCreate runs (tests, a front that picks its own).
  std::function<std::vector<std::string>()> LocalAddressSource;

  // ---- Handlers -------------------------------------------------------------------------------
  // Click and timer handlers; the controls and timers reach them as steps of the run.
  virtual void BtnTestClick(QObject* Sender);
  virtual void Timer1Timer(QObject* Sender);
  virtual void BtnRouterClick(QObject* Sender);
  virtual void TimerTCPTimer(QObject* Sender);
  virtual void StopBtnClick(QObject* Sender);
  void CopyReportClick(QObject* Sender);

  // Fills the address list once the window is made; reports an error itself, so it never
  // throws. With no address at all the window closes before it is ever shown.
  void FormCreate(QObject* Sender);
  void IdTCPClient1Status(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText);
  void IdTCPClient1Connected(TIdComponent* Sender);
  void IdTCPClient1Disconnected(TIdComponent* Sender);
  // Datagram handlers, run on the user-interface thread; an exception they raise is dropped by
  // the endpoint, never shown. Both SIP endpoints share the first.
  virtual void IdUDP_client_5060UDPRead(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding);
  virtual void IdRTP5004UDPRead(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding);

  // The probe methods, on the run's probe state; result lines go to the log pane.
  void BuildRegister(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                     const std::string& localPort);
  void BuildInvite(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                   const std::string& localPort, bool natTest, int rtpPort);
  int CheckRegisterEcho(const std::string& echo);
  int CheckInviteEcho(const std::string& echo);
  int CompareSipHeaders(const std::string& echo);
  int CompareSdp(const std::string& sdp);

  // True while a click or tick handler runs.
  bool InStep() const { return Run->InStep(); }

  // Closes the window, which ends the program. Before the message loop runs (during
  // FormCreate) the window is then never shown.
  void Close();
  bool Closed() const { return closed_; }
  // Places the window in the middle of its screen.
  void CenterOnScreen();

 signals:
  // The run that "Start test" began is over; Result says how it ended. Its summary follows.
  void RunEnded();
  // What the running step waits for has changed; "" once it waits no more.
  void WaitChanged(const QString& what);

 protected:
  // A close asked for while a step runs waits until the step is over.
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  // A new run begins: the last run's lines are dimmed, the card waits for the new answers.
  void BeginRunView();
  // Runs one click handler as a step of the run.
  void RunStep(const std::function<void()>& handler);
  void LogLine(const std::string& line) { Memo2->Add(line); }
  TMemo* Pane(TPane pane) const;

  // What the run reports, shown (WindowView.cpp).
  void PaneLine(TPane pane, const std::string& line) override;
  void LinkStatus(const std::string& text) override;
  void Waiting(const std::string& what) override;
  void ReportWait(const std::string& text) override;
  void ControlChanged(TRunControl control, bool on) override;
  void CountdownCaption(const std::string& caption) override;
  void Answer(const TRunAnswer& answer) override;
  void CallFinished(const TCallResult& call) override;
  void ErrorRaised(const std::string& text) override;
  void Message(const std::string& text) override;
  void ProgramEnds() override { Close(); }
  void StepsOver() override;
  void RunOver() override { emit RunEnded(); }
  void RunReported(const TRunReport& report) override;

  bool closed_ = false;
  bool closeHeld_ = false;  // a close came while a step ran
  TAlignLayout* placer_ = nullptr;
};

// The one window of the program, while it exists.
extern TForm1* Form1;
