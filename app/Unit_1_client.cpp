#include "app/Unit_1_client.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <algorithm>

#include "app/ServerChoice.h"
#include "app/Windowing.h"

TForm1* Form1 = nullptr;

namespace {

// Font heights in pixels: 8, 10 and 12 point at 96 dots per inch.
constexpr int kFont8 = 11;
constexpr int kFont10 = 13;
constexpr int kFont12 = 16;

// Heights of the fixed strips at the design size; the panes share what the window grows by.
constexpr int kPanel1Height = 477;
constexpr int kStatusHeight = 19;
constexpr int kMemo2Height = 206;
constexpr int kColumnWidth = 280;
constexpr int kResultPaneHeight = 224;
constexpr int kColumnHeight = kPanel1Height - kMemo2Height;  // 271
// "Echo server:" and its field follow "Stop test" in the top row; the field takes the rest of
// the row and keeps at least this width.
constexpr QPoint kServerLabelAt(525, 12);
constexpr QRect kServerFieldRect(592, 8, 182, 21);
constexpr int kServerFieldLeast = 120;
constexpr int kTopRowWidth = kServerFieldRect.x() + kServerFieldLeast + 6;
// The result card, between the top row and Panel1.
constexpr QRect kCardRect(6, 38, TForm1::kClientWidth - 12, TForm1::kCardHeight - 4);

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

}  // namespace

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
  SettingsSource = UserSettings;
  // The components and the timers reach the run through the window's handlers.
  IdTCPClient1->OnStatus = [this](TIdComponent* sender, TIdStatus status, const std::string& text) {
    IdTCPClient1Status(sender, status, text);
  };
  IdTCPClient1->OnConnected = [this](TIdComponent* sender) { IdTCPClient1Connected(sender); };
  IdTCPClient1->OnDisconnected = [this](TIdComponent* sender) { IdTCPClient1Disconnected(sender); };
  auto sipRead = [this](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
    IdUDP_client_5060UDPRead(sender, data, binding);
  };
  IdUDP_client_5060->OnUDPRead = sipRead;
  IdUDP_client_5058->OnUDPRead = sipRead;
  IdRTP5004->OnUDPRead = [this](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
    IdRTP5004UDPRead(sender, data, binding);
  };
  Run->OnTimer1 = [this] { Timer1Timer(Timer1); };
  Run->OnTimerTCP = [this] { TimerTCPTimer(TimerTCP); };
  CreateControls();
  resize(kClientWidth, kClientHeight);
  // Narrower than the two fixed columns plus a strip of the right pane, or than the top row, or
  // lower than the designed height, and the controls would overlap.
  setMinimumSize(std::max(2 * kColumnWidth + 40, kTopRowWidth), kClientHeight);
  Run->Subscribe(this);
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
  delete CallChartWindow.data();  // a window of its own, not a child
  // The run and its components go before the controls: a datagram handed over while an
  // endpoint shuts down finds no pane gone.
  Run.reset();
}

void TForm1::CreateControls() {
  auto* placer = placer_ = new TAlignLayout(this, QSize(kClientWidth, kClientHeight));

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

  LabelServer = Named(new QLabel(QStringLiteral("Echo server:"), this), "LabelServer");
  LabelServer->adjustSize();
  placer->AddPlaced(LabelServer, QRect(kServerLabelAt, LabelServer->size()));
  EchoServerEdit = Named(new QLineEdit(this), "EchoServerEdit");
  EchoServerEdit->setPlaceholderText(QString::fromLatin1(kEchoServerPlaceholder));
  EchoServerEdit->setToolTip(QString::fromLatin1(kEchoServerTip));
  LabelServer->setBuddy(EchoServerEdit);
  placer->AddPlaced(EchoServerEdit, kServerFieldRect, akLeft | akTop | akRight);

  // The result card, with "Copy report" in its corner.
  ResultCard = new TResultCard(this);
  placer->AddPlaced(ResultCard, kCardRect, akLeft | akTop | akRight);
  BtnCopyReport = Named(new QPushButton(QStringLiteral("Copy report")), "BtnCopyReport");
  BtnCopyReport->setEnabled(false);
  BtnCopyReport->setFixedSize(75, 25);
  ResultCard->AddCorner(BtnCopyReport);

  // Bottom: the status bar, and above it Panel1 with the panes. The second panel tells what a
  // step waits for, which needs more than its 200 pixels.
  StatusBar1 = Named(new TStatusBar(this, {300, 200}), "StatusBar1");
  StatusBar1->SetPanelText(0, "Link status:");
  StatusBar1->StretchPanel(1);
  placer->AddAligned(StatusBar1, TAlign::alBottom, kStatusHeight);

  Panel1 = new TPanel(this, "Panel1", QSize(kClientWidth, kPanel1Height));
  placer->AddAligned(Panel1, TAlign::alBottom, kPanel1Height, 1.0);

  // The log pane takes half of what Panel1 grows by, the columns above it the other half.
  Memo2 = MakeMemo(Panel1, "Memo2", FixedFont(kFont8), nullptr);
  Panel1->Placer()->AddAligned(Memo2, TAlign::alBottom, kMemo2Height, 0.5);

  // Left column: SIP results and the router button.
  Panel3 = new TPanel(Panel1, "Panel3", QSize(kColumnWidth, kColumnHeight));
  // The three columns share what the window grows by in width.
  Panel1->Placer()->AddAligned(Panel3, TAlign::alLeft, kColumnWidth, 1.0 / 3);
  MemoSIP = MakeMemo(Panel3, "MemoSIP", SansFont(kFont10), PaneHeading(TPane::Sip));
  Panel3->Placer()->AddAligned(MemoSIP, TAlign::alTop, kResultPaneHeight, 1.0);
  BtnRouter = Named(new QPushButton(QStringLiteral("Open router management"), Panel3), "BtnRouter");
  BtnRouter->setEnabled(false);
  Panel3->Placer()->AddPlaced(BtnRouter, QRect(38, 232, 195, 25), akLeft | akBottom);

  // The rest: NAT column, then the RTP pane taking what is left.
  Panel2 = new TPanel(Panel1, "Panel2", QSize(kClientWidth - kColumnWidth, kColumnHeight));
  Panel1->Placer()->AddAligned(Panel2, TAlign::alClient, 0);

  Panel4 = new TPanel(Panel2, "Panel4", QSize(kColumnWidth, kColumnHeight));
  Panel2->Placer()->AddAligned(Panel4, TAlign::alLeft, kColumnWidth, 0.5);
  MemoNat = MakeMemo(Panel4, "MemoNat", SansFont(kFont10), PaneHeading(TPane::Nat));
  Panel4->Placer()->AddAligned(MemoNat, TAlign::alTop, kResultPaneHeight, 1.0);
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
  LblLeft = Named(new QLabel(QStringLiteral("s left in this run"), Panel4), "LblLeft");
  LblLeft->setFont(SansFont(kFont10));
  LblLeft->adjustSize();
  LblLeft->setVisible(false);
  Panel4->Placer()->AddPlaced(LblLeft, QRect(QPoint(100 + LblCount->width() + 4, 233), LblLeft->size()),
                              akLeft | akBottom);

  MemoRTP = MakeMemo(Panel2, "MemoRTP", SansFont(kFont10), PaneHeading(TPane::Rtp));
  Panel2->Placer()->AddAligned(MemoRTP, TAlign::alClient, 0);

  // "Start test" is first in the tab order and holds the focus.
  setTabOrder(BtnTest, StopBtn);
  setTabOrder(StopBtn, EchoServerEdit);
  setTabOrder(EchoServerEdit, BtnCopyReport);
  setTabOrder(BtnCopyReport, ComboBox1);
  setTabOrder(ComboBox1, MemoSIP);
  setTabOrder(MemoSIP, BtnRouter);
  setTabOrder(BtnRouter, MemoNat);
  setTabOrder(MemoNat, MemoRTP);
  setTabOrder(MemoRTP, Memo2);
  BtnTest->setFocus();

  // Every click goes through the run's guard, as one step; the run's timers tick the same way.
  auto wire = [this](QObject* sender, void (TForm1::*handler)(QObject*)) {
    return [this, sender, handler] { RunStep([&] { (this->*handler)(sender); }); };
  };
  connect(BtnTest, &QPushButton::clicked, this, wire(BtnTest, &TForm1::BtnTestClick));
  connect(StopBtn, &QPushButton::clicked, this, wire(StopBtn, &TForm1::StopBtnClick));
  connect(BtnRouter, &QPushButton::clicked, this, wire(BtnRouter, &TForm1::BtnRouterClick));
  connect(BtnCopyReport, &QPushButton::clicked, this, wire(BtnCopyReport, &TForm1::CopyReportClick));
}

void TForm1::CenterOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize outer = frameGeometry().size();
  move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void TForm1::RunStep(const std::function<void()>& handler) { Run->Step(handler); }

void TForm1::closeEvent(QCloseEvent* event) {
  // The step still uses the window; its own Close (the bind limit) is not held.
  if (InStep() && !closed_) {
    closeHeld_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
  if (event->isAccepted() && CallChartWindow) CallChartWindow->close();
}

void TForm1::Close() {
  closed_ = true;
  close();
}

// ---- Handlers: each hands over to the run -------------------------------------------------------

void TForm1::FormCreate(QObject* /*Sender*/) {
  RunGuarded([this] {
    for (const std::string& address : LocalAddressSource()) ComboBox1->addItem(ToDisplay(address));
    if (ComboBox1->count() == 0) {
      Close();
      return;
    }
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setEnabled(ComboBox1->count() > 1);
    EchoServerEdit->setText(ToDisplay(InitialEchoServer(FirstArgument(), *SettingsSource())));
  });
}

void TForm1::IdTCPClient1Status(TIdComponent* /*ASender*/, TIdStatus /*AStatus*/,
                                const std::string& AStatusText) {
  Run->LinkStatus(AStatusText);
}

void TForm1::IdTCPClient1Connected(TIdComponent* /*Sender*/) { Run->LinkConnected(); }

void TForm1::IdTCPClient1Disconnected(TIdComponent* /*Sender*/) { Run->LinkDisconnected(); }

void TForm1::IdUDP_client_5060UDPRead(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding) {
  Run->SipDatagram(Sender == IdUDP_client_5058 ? 5058 : 5060, AData.DataString(), ABinding.RemotePort);
}

void TForm1::IdRTP5004UDPRead(TIdUDPServer* /*Sender*/, TStream& /*AData*/, TIdSocketHandle& ABinding) {
  Run->RtpDatagram(ABinding.RemoteIP);
}

void TForm1::BtnTestClick(QObject* /*Sender*/) {
  const std::string server = CleanEchoServer(FromDisplay(EchoServerEdit->text()));
  if (server.empty()) {
    // A server on this computer would test no router: the person names one first.
    ShowMessage(kEchoServerAsk);
    EchoServerEdit->setFocus();
    return;
  }
  RememberEchoServer(*SettingsSource(), server);
  BeginRunView();
  Run->Start(FromDisplay(ComboBox1->currentText()), server);
}

void TForm1::StopBtnClick(QObject* /*Sender*/) { Run->Stop(); }

void TForm1::BtnRouterClick(QObject* /*Sender*/) {
  try {
    OpenUrl("http://" + RouterIP);
  } catch (...) {
    // Opening the browser is best effort: nothing is reported.
  }
}

void TForm1::TimerTCPTimer(QObject* /*Sender*/) { Run->SequenceTick(); }

void TForm1::Timer1Timer(QObject* /*Sender*/) { Run->CountdownTick(); }

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
  return Probe.CheckRegisterEcho(echo, [this](const std::string& l) { LogLine(l); });
}

int TForm1::CheckInviteEcho(const std::string& echo) {
  return Probe.CheckInviteEcho(echo, [this](const std::string& l) { LogLine(l); });
}

int TForm1::CompareSipHeaders(const std::string& echo) {
  return Probe.CompareSipHeaders(echo, [this](const std::string& l) { LogLine(l); });
}

int TForm1::CompareSdp(const std::string& sdp) {
  return Probe.CompareSdp(sdp, [this](const std::string& l) { LogLine(l); });
}
