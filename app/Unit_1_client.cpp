#include "app/Unit_1_client.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <algorithm>
#include <array>
#include <optional>

#include "app/EchoEndpoint.h"
#include "app/RunEnd.h"
#include "app/Windowing.h"
#include "router/Gateway.h"
#include "router/MacRefresh.h"
#include "router/MacVendor.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdStack.h"
#include "net/ScopeExit.h"
#include "net/UiThread.h"
#include "probes/NatDiscovery.h"
#include "probes/NatLayersDiscovery.h"
#include "probes/RunEndRule.h"

TForm1* Form1 = nullptr;

namespace {

// Font heights in pixels: 8, 10 and 12 point at 96 dots per inch.
constexpr int kFont8 = 11;
constexpr int kFont10 = 13;
constexpr int kFont12 = 16;

// Heights of the fixed strips.
constexpr int kPanel1Height = 477;
constexpr int kStatusHeight = 19;
constexpr int kMemo2Height = 206;
constexpr int kColumnWidth = 280;
constexpr int kResultPaneHeight = 224;
constexpr int kColumnHeight = kPanel1Height - kMemo2Height;  // 271
// "Copy report" follows "Stop test" in the top row, as far from it as "Stop test" is from "Start test".
constexpr QRect kCopyReportRect(560, 8, 75, 25);
constexpr int kTopRowWidth = kCopyReportRect.x() + kCopyReportRect.width() + 5;

template <class T>
T* Named(T* control, const char* name) {
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

TMemo* MakeMemo(QWidget* parent, const char* name, const QFont& font, const char* firstLine) {
  auto* memo = Named(new TMemo(parent), name);
  memo->setFont(font);
  if (firstLine) memo->Add(firstLine);
  return memo;
}

// The window's three UDP endpoints: both SIP sockets, then the RTP socket.
std::array<TIdUDPServer*, 3> UdpEndpoints(const TForm1& form) {
  return {form.IdUDP_client_5060.get(), form.IdUDP_client_5058.get(), form.IdRTP5004.get()};
}

}  // namespace

std::vector<std::string> SocketLayerLocalAddresses() {
  TIdComponent keepStackAlive;
  if (!SocketStack) return {};
  return SocketStack->LocalAddresses();
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("NAT - SIP ALG tester"));
  setFont(SansFont(kFont8));
  // Background in the button-face colour.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  LocalAddressSource = SocketLayerLocalAddresses;
  IdTCPClient1->SetPort(0);
  IdTCPClient1->ReadTimeout = 0;
  IdTCPClient1->MaxLineAction = TIdMaxLineAction::maException;
  IdTCPClient1->MaxLineLength = 72 * 1024;  // an echo of the largest datagram, with the server's line
  IdTCPClient1->OnStatus = [this](TIdComponent* sender, TIdStatus status, const std::string& text) {
    IdTCPClient1Status(sender, status, text);
  };
  IdTCPClient1->OnConnected = [this](TIdComponent* sender) { IdTCPClient1Connected(sender); };
  IdTCPClient1->OnDisconnected = [this](TIdComponent* sender) { IdTCPClient1Disconnected(sender); };
  for (TIdUDPServer* endpoint : UdpEndpoints(*this)) {
    endpoint->SetDefaultPort(0);
    endpoint->ThreadedEvent = false;
  }
  auto sipRead = [this](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
    IdUDP_client_5060UDPRead(sender, data, binding);
  };
  IdUDP_client_5060->OnUDPRead = sipRead;
  IdUDP_client_5058->OnUDPRead = sipRead;
  for (int port : {5060, 5058})
    (port == 5060 ? IdUDP_client_5060 : IdUDP_client_5058)->OnUDPTap =
        [inbox = LargeDown.get(), port](std::string_view data, const std::string&, int) {
          return inbox->Offer(port, data);
        };
  IdRTP5004->OnUDPTap = [call = Call.get()](std::string_view data, const std::string& fromIp, int) {
    return call->Take(data, fromIp, SteadyUs());
  };
  IdRTP5004->OnUDPRead = [this](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
    IdRTP5004UDPRead(sender, data, binding);
  };
  CreateControls();
  resize(kClientWidth, kClientHeight);
  // Narrower than the two fixed columns plus a strip of the right pane, or than the top row, or
  // lower than the designed height, and the controls would overlap.
  setMinimumSize(std::max(2 * kColumnWidth + 40, kTopRowWidth), kClientHeight);
  RunEnding = new TRunEnding(*this);
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
  Call->Stop();  // it sends from the RTP socket, which goes next
  // The endpoints stop one after the other and may still hand over datagrams meanwhile; with
  // part of the window already gone those are dropped rather than handled.
  for (TIdUDPServer* endpoint : UdpEndpoints(*this)) endpoint->OnUDPRead = nullptr;
}

void TForm1::CreateControls() {
  auto* placer = new TAlignLayout(this, QSize(kClientWidth, kClientHeight));

  // Top row.
  Label2 = Named(new QLabel(QStringLiteral("Local IP:"), this), "Label2");
  Label2->adjustSize();
  placer->AddPlaced(Label2, QRect(QPoint(6, 10), Label2->size()));

  ComboBox1 = Named(new QComboBox(this), "ComboBox1");
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  placer->AddPlaced(ComboBox1, QRect(64, 8, 137, 21));

  BtnTest = Named(new QPushButton(QStringLiteral("Start test"), this), "BtnTest");
  placer->AddPlaced(BtnTest, QRect(320, 8, 75, 25));

  StopBtn = Named(new QPushButton(QStringLiteral("Stop test"), this), "StopBtn");
  StopBtn->setEnabled(false);
  placer->AddPlaced(StopBtn, QRect(440, 8, 75, 25));

  BtnCopyReport = Named(new QPushButton(QStringLiteral("Copy report"), this), "BtnCopyReport");
  BtnCopyReport->setEnabled(false);
  placer->AddPlaced(BtnCopyReport, kCopyReportRect);

  // Bottom: the status bar, and above it Panel1 with the panes. The second panel tells what a
  // step waits for, which needs more than its 200 pixels.
  StatusBar1 = Named(new TStatusBar(this, {300, 200}), "StatusBar1");
  StatusBar1->SetPanelText(0, "Link status:");
  StatusBar1->StretchPanel(1);
  placer->AddAligned(StatusBar1, TAlign::alBottom, kStatusHeight);

  Panel1 = new TPanel(this, "Panel1", QSize(kClientWidth, kPanel1Height));
  placer->AddAligned(Panel1, TAlign::alBottom, kPanel1Height);

  Memo2 = MakeMemo(Panel1, "Memo2", FixedFont(kFont8), nullptr);
  Panel1->Placer()->AddAligned(Memo2, TAlign::alBottom, kMemo2Height);

  // Left column: SIP results and the router button.
  Panel3 = new TPanel(Panel1, "Panel3", QSize(kColumnWidth, kColumnHeight));
  Panel1->Placer()->AddAligned(Panel3, TAlign::alLeft, kColumnWidth);
  MemoSIP = MakeMemo(Panel3, "MemoSIP", SansFont(kFont10), "SIP ALG Test:");
  Panel3->Placer()->AddAligned(MemoSIP, TAlign::alTop, kResultPaneHeight);
  BtnRouter = Named(new QPushButton(QStringLiteral("Open router management"), Panel3), "BtnRouter");
  BtnRouter->setEnabled(false);
  Panel3->Placer()->AddPlaced(BtnRouter, QRect(38, 232, 195, 25), akLeft | akBottom);

  // The rest: NAT column, then the RTP pane taking what is left.
  Panel2 = new TPanel(Panel1, "Panel2", QSize(kClientWidth - kColumnWidth, kColumnHeight));
  Panel1->Placer()->AddAligned(Panel2, TAlign::alClient, 0);

  Panel4 = new TPanel(Panel2, "Panel4", QSize(kColumnWidth, kColumnHeight));
  Panel2->Placer()->AddAligned(Panel4, TAlign::alLeft, kColumnWidth);
  MemoNat = MakeMemo(Panel4, "MemoNat", SansFont(kFont10), "NAT Sessions timeout:");
  Panel4->Placer()->AddAligned(MemoNat, TAlign::alTop, kResultPaneHeight);
  Label1 = Named(new QLabel(QStringLiteral("Countdown:"), Panel4), "Label1");
  Label1->setFont(SansFont(kFont12));
  Label1->adjustSize();
  Label1->setVisible(false);
  Panel4->Placer()->AddPlaced(Label1, QRect(QPoint(10, 230), Label1->size()), akLeft | akBottom);
  LblCount = Named(new QLabel(QStringLiteral("0"), Panel4), "LblCount");
  LblCount->setFont(SansFont(kFont12));
  // Room for a countdown of several digits: the label does not resize itself as the text grows.
  LblCount->setMinimumWidth(QFontMetrics(LblCount->font()).horizontalAdvance(QStringLiteral("00000")));
  LblCount->adjustSize();
  LblCount->setVisible(false);
  Panel4->Placer()->AddPlaced(LblCount, QRect(QPoint(100, 230), LblCount->size()), akLeft | akBottom);

  MemoRTP = MakeMemo(Panel2, "MemoRTP", SansFont(kFont10), "RTP port open/closed:");
  Panel2->Placer()->AddAligned(MemoRTP, TAlign::alClient, 0);

  // Timers: disabled, 1000 ms, never changed.
  Timer1 = Named(new TTimer(this, 1000), "Timer1");
  TimerTCP = Named(new TTimer(this, 1000), "TimerTCP");

  // "Start test" is first in the tab order and holds the focus.
  setTabOrder(BtnTest, StopBtn);
  setTabOrder(StopBtn, BtnCopyReport);
  setTabOrder(BtnCopyReport, ComboBox1);
  setTabOrder(ComboBox1, MemoSIP);
  setTabOrder(MemoSIP, BtnRouter);
  setTabOrder(BtnRouter, MemoNat);
  setTabOrder(MemoNat, MemoRTP);
  setTabOrder(MemoRTP, Memo2);
  BtnTest->setFocus();

  // Every click and tick goes through the one guard, as one step.
  auto wire = [this](QObject* sender, void (TForm1::*handler)(QObject*)) {
    return [this, sender, handler] { RunStep([&] { (this->*handler)(sender); }); };
  };
  connect(BtnTest, &QPushButton::clicked, this, wire(BtnTest, &TForm1::BtnTestClick));
  connect(StopBtn, &QPushButton::clicked, this, wire(StopBtn, &TForm1::StopBtnClick));
  connect(BtnRouter, &QPushButton::clicked, this, wire(BtnRouter, &TForm1::BtnRouterClick));
  connect(BtnCopyReport, &QPushButton::clicked, this, wire(BtnCopyReport, &TForm1::CopyReportClick));
  connect(Timer1, &TTimer::Tick, this, wire(Timer1, &TForm1::Timer1Timer));
  connect(TimerTCP, &TTimer::Tick, this, wire(TimerTCP, &TForm1::TimerTCPTimer));
}

void TForm1::CenterOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize outer = frameGeometry().size();
  move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void TForm1::RunStep(const std::function<void()>& handler) {
  ++steps_;
  {
    const TScopeExit left{[this] { --steps_; }};
    RunGuarded([&] {
      const TScopeExit waitsOver{[this] { ShowWait(std::string()); }};  // before an error's box
      handler();
    });
  }
  if (steps_ == 0 && endHeld_) {
    endHeld_ = false;
    emit RunEnded();
  }
  if (steps_ == 0 && closeHeld_) {
    closeHeld_ = false;
    close();
  }
}

void TForm1::ShowWait(const std::string& what) {
  if (what.empty() && !waitShown_) return;
  waitShown_ = !what.empty();
  if (StatusBar1->PanelText(1) == what) return;
  StatusBar1->SetPanelText(1, what);
  emit WaitChanged(ToDisplay(what));
}

void TForm1::closeEvent(QCloseEvent* event) {
  // The step still uses the window; its own Close (the bind limit) is not held.
  if (steps_ > 0 && !closed_) {
    closeHeld_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TForm1::Close() {
  closed_ = true;
  close();
}

void TForm1::MarkRunEnd(TRunEnd why) {
  if (Result.End != TRunEnd::Open) return;
  Result.End = why;
  Result.EndedAtMs = RunClockMs();
}

void TForm1::EndRun(TRunEnd why) {
  MarkRunEnd(why);
  FinishNatTimeout();
  FinishCall();
  if (!runOpen_) return;
  runOpen_ = false;
  if (steps_ > 0)
    endHeld_ = true;
  else
    emit RunEnded();
}

// ---- Handlers ---------------------------------------------------------------------------------

void TForm1::FormCreate(QObject* /*Sender*/) {
  RunGuarded([this] {
    for (const std::string& address : LocalAddressSource()) ComboBox1->addItem(ToDisplay(address));
    if (ComboBox1->count() == 0) {
      Close();
      return;
    }
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setEnabled(ComboBox1->count() > 1);
  });
}

void TForm1::IdTCPClient1Status(TIdComponent* /*ASender*/, TIdStatus /*AStatus*/,
                                const std::string& AStatusText) {
  StatusBar1->SetPanelText(0, "Link status: " + AStatusText);
}

void TForm1::IdTCPClient1Connected(TIdComponent* /*Sender*/) {
  ServerAddress = IdTCPClient1->RemoteIP();
  TimerTCP->SetEnabled(true);
}

void TForm1::IdTCPClient1Disconnected(TIdComponent* /*Sender*/) {
  BtnTest->setEnabled(true);
  StopBtn->setEnabled(false);
}

// Datagrams on either SIP socket: NAT session reports of the server.
void TForm1::IdUDP_client_5060UDPRead(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding) {
  if (Stopped) return;
  const int socketPort = Sender == IdUDP_client_5058.get() ? 5058 : 5060;
  const std::optional<int> countdown =
      HandleNatReport(AData.DataString(), ABinding.RemotePort, NatAges,
                      [this](const std::string& l) { Line(TPane::Nat, l); }, &Result, socketPort);
  if (!countdown) return;
  NatCountdown = *countdown;
  ShowCountdown();
  Timer1->SetEnabled(true);
  StopBtn->setEnabled(true);
  Label1->setVisible(true);
  LblCount->setVisible(true);
}

// Datagrams on the RTP socket: counted when they come from the server the run talks to.
void TForm1::IdRTP5004UDPRead(TIdUDPServer* /*Sender*/, TStream& /*AData*/, TIdSocketHandle& ABinding) {
  if (ServerAddress.empty() || ABinding.RemoteIP != ServerAddress) return;
  ++RtpCount;
  ++Result.RtpPackets;
}

bool TForm1::BindFrom(TIdUDPServer& endpoint, int first, int step, TMemo& pane, const char* success, int& attempts,
                      bool isRtp) {
  for (int p = first;; p += step) {
    bool bound = false;
    try {
      endpoint.Bindings()[0].Port = p;
      endpoint.SetActive(true);
      bound = true;
      if (isRtp) RtpPort = p;
      pane.Add(success + std::to_string(p));
    } catch (...) {
      pane.Add("Cannot use port " + std::to_string(p));
    }
    // Every attempt counts, a successful one too; past the limit the program ends.
    if (++attempts > 100) {
      ShowMessage("Cannot bind a socket after 100 attempts. Exiting...");
      Close();
      EndRun(TRunEnd::Error);
      return false;
    }
    if (bound) return true;
  }
}

void TForm1::BtnTestClick(QObject* /*Sender*/) {
  const auto endpoints = UdpEndpoints(*this);
  for (TIdUDPServer* e : endpoints)
    if (e->Bindings().Count() == 0) e->Bindings().Add();
  const std::string localIp = FromDisplay(ComboBox1->currentText());
  for (TIdUDPServer* e : endpoints) {
    e->Bindings()[0].IP = localIp;
    e->SetActive(false);
  }
  BtnTest->setEnabled(false);
  BtnRouter->setEnabled(false);
  Stopped = false;
  RunEnding->RunBegins();
  Result = TRunResult();
  runOpen_ = true;
  NatTimeout = std::make_unique<TBackgroundNatTimeout>();
  Call->Reset();  // before its socket is closed
  callDueUs_.reset();
  callReport_.reset();
  callWritten_ = false;
  NatCountdown.reset();
  natTimeoutWritten_ = false;
  ServerAddress.clear();
  // A countdown that a late report restarted after the last run ended belongs to that run:
  // left running, it would end the new one.
  Timer1->SetEnabled(false);
  Label1->setVisible(false);
  LblCount->setVisible(false);
  LblCount->setText(QStringLiteral("0"));
  // The control connection leaves from the chosen address too: the server relates probes,
  // NAT reports and RTP to the address its control connection comes from, and on a host with
  // several addresses the default one could take another way out.
  IdTCPClient1->BoundIP = localIp;

  int attempts = 0;  // shared by the three searches
  if (!BindFrom(*IdUDP_client_5058, 5058, -2, *MemoSIP, "Using SIP port ", attempts, false)) return;
  if (!BindFrom(*IdUDP_client_5060, 5060, 2, *MemoSIP, "Using SIP port ", attempts, false)) return;
  if (!BindFrom(*IdRTP5004, 5004, 2, *MemoRTP, "Using RTP port ", attempts, true)) return;

  // Whatever fails from here on (an unreadable vendor list, a connect that fails), the user
  // can start again: no sequence is due, and the error itself is reported by the guard.
  try {
    StartConnection();
  } catch (...) {
    StartPending = false;
    BtnTest->setEnabled(true);
    EndRun(TUiThread::StopRequested() ? TRunEnd::Stopped : TRunEnd::Error);
    throw;
  }
}

void TForm1::StartConnection() {
  // The router in front of this host.
  ShowWait("Looking up the router");
  const TGatewayInfo gateway = DiscoverGateway([this](const std::string& l) { Line(TPane::Sip, l); });
  RouterIP = gateway.RouterIP;
  Result.RouterIP = gateway.RouterIP;
  Result.RouterMac = gateway.MacText;
  BtnRouter->setEnabled(true);
  const std::string argument = FirstArgument();
  Result.Vendor = RunVendorStep(gateway.MacText, MacListUrlFor(argument));

  const TEchoEndpoint endpoint = ParseEchoEndpoint(argument, BuiltinEchoServer());
  ServerHost = endpoint.Host;
  ServerPort = endpoint.Port;
  IdTCPClient1->SetHost(ServerHost);
  IdTCPClient1->SetPort(80);
  if (IdTCPClient1->IsConnected()) IdTCPClient1->Disconnect();
  Line(TPane::Sip, "Connecting to remote server... ");
  ShowWait("Waiting for " + ServerHost + " to accept the control connection");
  StartPending = true;
  try {
    // The run's one lookup of the server's name: the address it gives is the run's server.
    IdTCPClient1->Connect(2000);
  } catch (const std::exception& e) {
    if (std::optional<std::string> reason = ServerNotReachedReason(e)) {
      Result.NotReachedReason = *reason;
      MarkRunEnd(TRunEnd::ServerNotReached);
    }
    throw;
  }
}

std::optional<std::string> TForm1::RunVendorStep(const std::string& macText, const std::string& url) {
  // An unresolved address reads as all zeros; a maker found for that prefix would name a
  // router that is not there, so the list is refreshed but nothing is looked up.
  const bool resolved = macText.find_first_not_of('0') != std::string::npos;
  TIdTransferLimits limits;
  if (RunDeadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*RunDeadline -
                                                                            std::chrono::steady_clock::now());
    limits.TotalMs = static_cast<int>(std::clamp<int64_t>(left.count(), 1, limits.TotalMs));
  }
  return RefreshAndLookupVendor(url, MacListFileName, resolved ? macText : std::string(),
                                [this](const std::string& l) { Line(TPane::Sip, l); }, limits,
                                [this](const std::string& w) { ShowWait(w); });
}

void TForm1::StopBtnClick(QObject* /*Sender*/) {
  Stopped = true;
  NatCountdown.reset();
  IdTCPClient1->Disconnect();
  Timer1->SetEnabled(false);
  Label1->setVisible(false);
  LblCount->setVisible(false);
  LblCount->setText(QStringLiteral("0"));
  EndRun(TRunEnd::Stopped);
}

void TForm1::BtnRouterClick(QObject* /*Sender*/) {
  try {
    OpenUrl("http://" + RouterIP);
  } catch (...) {
    // Opening the browser is best effort: nothing is reported.
  }
}

// The test sequence talks to the network and the panes through the window's components.
class TForm1::TSequencerLink : public TSequencerIo {
 public:
  explicit TSequencerLink(TForm1& form) : f_(form) {}
  void AddLine(TPane pane, const std::string& line) override { f_.Line(pane, line); }
  void ControlWrite(const std::string& bytes) override { f_.IdTCPClient1->Write(bytes); }
  std::string ControlReadLine(const std::string& terminator, int timeoutMs) override {
    return f_.IdTCPClient1->ReadLine(terminator, timeoutMs, -1);
  }
  void Disconnect() override { f_.IdTCPClient1->Disconnect(); }
  void LocalBinding(TSipSocket socket, std::string& ip, int& port) override {
    TIdSocketHandle& b = Endpoint(socket).ActiveBinding();
    ip = b.IP;
    port = b.Port;
  }
  void SendDatagram(TSipSocket socket, const std::string& host, int port, const std::string& text) override {
    Endpoint(socket).SendText(host, port, text);
  }
  std::optional<int> TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) override {
    TcpSipClose();
    sipTcpHandler_ = std::make_unique<TIdIOHandlerSocket>();
    sipTcpHandler_->UseNagle = false;
    sipTcp_ = std::make_unique<TIdTCPClient>();
    sipTcp_->SetIOHandler(sipTcpHandler_.get());
    sipTcp_->SetHost(host);
    sipTcp_->SetPort(port);
    sipTcp_->BoundIP = Endpoint(TSipSocket::Sip5060).ActiveBinding().IP;
    try {
      sipTcp_->Connect(timeoutMs);
      return sipTcp_->Binding()->Port;
    } catch (const std::exception& e) {
      failure = ServerNotReachedReason(e).value_or(e.what());
      TcpSipClose();
      return std::nullopt;
    }
  }
  void TcpSipWrite(const std::string& text) override { sipTcp_->Write(text); }
  bool TcpSipClosedByPeer() override {
    try {
      sipTcp_->PollDisconnect(false);
      return sipTcp_->ClosedGracefully() || !sipTcp_->IsConnected();
    } catch (const EIdException&) {
      return true;  // reset
    }
  }
  std::optional<TIdTcpSendInfo> TcpSipSendInfo() override {
    TIdTcpSendInfo info;
    if (sipTcp_ && sipTcp_->Binding() && sipTcp_->Binding()->TcpSendInfo(info)) return info;
    return std::nullopt;
  }
  void TcpSipClose() override {
    if (sipTcp_) sipTcp_->DropLink();
    sipTcp_.reset();
    sipTcpHandler_.reset();
  }
  void Sleep(int ms) override { SleepKeepingAlive(ms); }
  void Waiting(const std::string& what) override { f_.ShowWait(what); }
  std::vector<std::string> LargeDownDatagrams(TSipSocket socket) override {
    return f_.LargeDown->Take(socket == TSipSocket::Sip5060 ? 5060 : 5058);
  }
  void StartNatDiscovery(const std::string& localIp, const std::string& serverHost) override {
    nat_.Start(localIp, serverHost, stun::kDefaultPort);
  }
  std::optional<TNatBehaviour> NatBehaviour() override {
    return nat_.Result([](int ms) { SleepKeepingAlive(ms); });
  }
  void StartNatLayers(const std::string& localIp, const std::string& serverHost) override {
    layers_.Start(localIp, serverHost, f_.RouterIP);
  }
  std::optional<TNatLayersSeen> NatLayersSeen() override {
    return layers_.Result([](int ms) { SleepKeepingAlive(ms); });
  }
  void StartNatTimeout(const std::string& localIp, const std::string& serverHost, int serverPort,
                       const std::string& token) override {
    f_.NatTimeout->Start(localIp, serverHost, static_cast<uint16_t>(serverPort), token);
  }
  // From here on the user can always end the run, even when no report ever arrives.
  void NatTestStarted() override {
    f_.StopBtn->setEnabled(true);
    emit f_.NatInvitesSent();
  }

 private:
  TIdUDPServer& Endpoint(TSipSocket s) {
    return s == TSipSocket::Sip5060 ? *f_.IdUDP_client_5060 : *f_.IdUDP_client_5058;
  }
  TForm1& f_;
  std::unique_ptr<TIdIOHandlerSocket> sipTcpHandler_;  // outlives the client that uses it
  std::unique_ptr<TIdTCPClient> sipTcp_;
  TBackgroundNatDiscovery nat_;  // ended with the sequence
  TBackgroundNatLayers layers_;   // likewise
};

void TForm1::TimerTCPTimer(QObject* /*Sender*/) {
  if (!StartPending) return;
  StartPending = false;
  BtnTest->setEnabled(false);
  TSequencerLink link(*this);
  // Every datagram of the run goes to the address the control connection reached: another
  // address of the same name would be another server, which holds no session of this run.
  TSequenceParams params{ServerAddress.empty() ? ServerHost : ServerAddress, ServerPort, RtpPort};
  params.LargeSip = true;
  LargeDown->Clear();
  if (RunDeadline)
    params.DeadlineMs = link.NowMs() + std::chrono::duration_cast<std::chrono::milliseconds>(
                                           *RunDeadline - std::chrono::steady_clock::now())
                                           .count();
  try {
    RunTestSequence(link, Probe, params, NatAges, RtpCount, RtpPrevCount, Result.Sequence);
  } catch (...) {
    // A sequence cut short by an error (a send that fails, an answer past the line limit)
    // would leave the connection open with both buttons disabled for good: end the run, so
    // the user can start again. The error itself is still shown.
    try {
      IdTCPClient1->Disconnect();
    } catch (...) {
      // The error that ended the sequence is the one to report.
    }
    EndRun(TUiThread::StopRequested() ? TRunEnd::Stopped : TRunEnd::Error);
    throw;
  }
  if (Result.Sequence.Outcome == TSequenceReport::TOutcome::Completed) ArmCall();
  const bool testsRunning = NatTimeoutRunning() || CallPending();
  if (const auto end = RunEndAfterSequence(Result.Sequence.Outcome, Result.Sequence.NatTestStarted(), testsRunning))
    EndRun(*end);
  if (runOpen_ && testsRunning) {
    // The whole run's countdown, until the time-out test has its answer; the user may stop it.
    ShowCountdown();
    Timer1->SetEnabled(true);
    StopBtn->setEnabled(true);
  }
}

void TForm1::Timer1Timer(QObject* /*Sender*/) {
  // The reports' countdown, if one runs; the run is over once it ran out (or the NAT session
  // test never started), the time-out test has its answer and the call is over.
  const bool testsRunning = NatTimeoutRunning() || CallPending();
  if (!NatTimeoutRunning()) FinishNatTimeout();  // its lines, once its answer is known
  CallStep();
  if (NatCountdown) NatCountdown = CountdownTick(std::to_string(*NatCountdown));
  const TReportsTick step =
      ReportsTickStep(NatCountdown.has_value(), !Result.Nat.empty(), Result.Sequence.NatTestStarted(), testsRunning);
  if (step == TReportsTick::Countdown) {
    ShowCountdown();
  } else {
    // Waiting for a first report, as before any countdown, or the run is over.
    Timer1->SetEnabled(false);
    Label1->setVisible(false);
    LblCount->setVisible(false);
  }
  if (step == TReportsTick::CountdownRanOut || step == TReportsTick::NoNatTest) {
    IdTCPClient1->Disconnect();  // the run is over
    EndRun(step == TReportsTick::CountdownRanOut ? TRunEnd::CountdownRanOut : TRunEnd::NoNatTest);
  }
  RtpVerdictStep(RtpCount, RtpPrevCount, RtpPort, [this](const std::string& l) { Line(TPane::Rtp, l); });
}

void TForm1::Line(TPane pane, const std::string& line) {
  switch (pane) {
    case TPane::Sip: MemoSIP->Add(line); break;
    case TPane::Nat: MemoNat->Add(line); break;
    case TPane::Rtp: MemoRTP->Add(line); break;
    case TPane::Log: Memo2->Add(line); break;
  }
}

// ---- Probe methods ------------------------------------------------------------------------------

void TForm1::BuildRegister(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                           const std::string& localPort) {
  Probe.BuildRegister(callIdToken, remotePort, localIp, localPort);
}

void TForm1::BuildInvite(const std::string& callIdToken, const std::string& remotePort, const std::string& localIp,
                         const std::string& localPort, bool natTest, int rtpPort) {
  Probe.BuildInvite(callIdToken, remotePort, localIp, localPort, natTest, rtpPort);
}

int TForm1::CheckRegisterEcho(const std::string& echo) {
  return Probe.CheckRegisterEcho(echo, [this](const std::string& l) { Line(TPane::Log, l); });
}

int TForm1::CheckInviteEcho(const std::string& echo) {
  return Probe.CheckInviteEcho(echo, [this](const std::string& l) { Line(TPane::Log, l); });
}

int TForm1::CompareSipHeaders(const std::string& echo) {
  return Probe.CompareSipHeaders(echo, [this](const std::string& l) { Line(TPane::Log, l); });
}

int TForm1::CompareSdp(const std::string& sdp) {
  return Probe.CompareSdp(sdp, [this](const std::string& l) { Line(TPane::Log, l); });
}
