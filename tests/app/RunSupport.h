#pragma once
// Shared by the tests that drive whole test runs in the window: a window that notes what its
// handlers did, a rig that makes the window the way the program does and keeps the event loop
// running while a test waits, and the fixture that puts a server (the echo server in process,
// or a scripted stand-in) and a window on the test's own addresses.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "app/QtFront.h"
#include "app/Unit_1_client.h"
#include "net/IdThread.h"
#include "tests/app/ScriptedServer.h"
#include "tests/app/TestSupport.h"
#include "tests/support/EchoServerGuard.h"

namespace runs {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// What a handler left behind, noted right after it returned (or raised).
struct Handled {
  std::string data;      // the datagram
  int fromPort = 0;
  size_t natLines = 0;   // lines in the NAT pane afterwards
  std::string count;     // countdown caption afterwards
  bool countShown = false;
  bool raised = false;
  bool inStep = false;   // it ran while a click or tick handler of the window was running
};

struct Tick {
  std::string count;  // caption after the tick
  bool running;       // Timer1 still enabled
  size_t rtpLines;    // lines in the RTP pane after the tick
};

// The window with its handlers noted; the handlers themselves are the program's.
class NotingForm : public TForm1 {
 public:
  std::vector<Handled> sip;
  int rtpDatagrams = 0;
  std::vector<Tick> ticks;

  void IdUDP_client_5060UDPRead(TIdUDPServer* s, TStream& d, TIdSocketHandle& b) override {
    Handled h;
    h.data = d.DataString();
    h.fromPort = b.RemotePort;
    try {
      TForm1::IdUDP_client_5060UDPRead(s, d, b);
    } catch (...) {
      h.raised = true;
      Note(h);
      throw;
    }
    Note(h);
  }
  void IdRTP5004UDPRead(TIdUDPServer* s, TStream& d, TIdSocketHandle& b) override {
    ++rtpDatagrams;
    TForm1::IdRTP5004UDPRead(s, d, b);
  }
  void Timer1Timer(QObject* sender) override {
    TForm1::Timer1Timer(sender);
    ticks.push_back({LblCount->text().toStdString(), Timer1->Enabled(), MemoRTP->Lines().size()});
  }

 private:
  void Note(Handled& h) {
    h.inStep = InStep();
    h.natLines = MemoNat->Lines().size();
    h.count = LblCount->text().toStdString();
    h.countShown = LblCount->isVisibleTo(this);
    sip.push_back(h);
  }
};

// The buttons and the countdown as the user sees them.
struct UiState {
  bool start, stop, countdown;
  std::string count;  // caption, when the countdown is shown
  bool operator==(const UiState& o) const {
    return start == o.start && stop == o.stop && countdown == o.countdown && count == o.count;
  }
};
inline std::ostream& operator<<(std::ostream& os, const UiState& s) {
  return os << "{start " << s.start << ", stop " << s.stop << ", countdown "
            << (s.countdown ? s.count : std::string("hidden")) << "}";
}

// A window made as the program makes it, with `localIp` as the only address of the list and
// the echo server named by `argument`.
class Rig {
 public:
  Rig(const std::string& localIp, const std::string& argument) : localIp_(localIp) {
    TUiThread::Install(&ui_);
    front.argument = argument;
    form = std::make_unique<NotingForm>();
    form->LocalAddressSource = [localIp] { return std::vector<std::string>{localIp}; };
    form->FormCreate(form.get());
    QObject::connect(form->StatusBar1, &TStatusBar::PanelTextChanged, [this](int index, const QString& text) {
      if (index == 0) statuses.push_back(text.toStdString());
    });
    Sample();
  }
  ~Rig() {
    form.reset();
    TIdThread::WaitForAllThreads(std::chrono::milliseconds(20));
    TUiThread::Install(nullptr);
  }

  // Runs the event loop until done() holds or the deadline passes, noting every new state of
  // the buttons and the countdown on the way.
  bool Spin(const std::function<bool()>& done, milliseconds deadline) {
    const bool ok = SpinUntil(done, deadline, [this] { Sample(); });
    Sample();
    return ok;
  }

  // Presses "Start test" (runs the start, connect included) and notes the state after it.
  void ClickStart() {
    form->BtnTest->click();
    Sample();
  }
  void ClickStop() {
    form->StopBtn->click();
    Sample();
  }

  // The test sequence of the current run has ended (its report is filled in).
  bool WaitSequence(milliseconds deadline = 15s) {
    return Spin([&] { return form->LastReport.Outcome != TSequenceReport::TOutcome::NotRun; }, deadline);
  }
  // The run is over: "Start test" is enabled again.
  bool WaitRunEnd(milliseconds deadline) {
    return Spin([&] { return form->BtnTest->isEnabled(); }, deadline);
  }

  UiState State() const {
    const bool shown = form->LblCount->isVisibleTo(form.get()) && form->Label1->isVisibleTo(form.get());
    return {form->BtnTest->isEnabled(), form->StopBtn->isEnabled(), shown,
            shown ? form->LblCount->text().toStdString() : std::string()};
  }
  void Sample() {
    const UiState s = State();
    if (states.empty() || !(states.back() == s)) states.push_back(s);
  }

  const std::string& LocalIp() const { return localIp_; }
  // The port a window endpoint is bound to now.
  static int PortOf(TIdUDPServer& e) { return e.ActiveBinding().Port; }

  TRecordingWindowing front;
  std::unique_ptr<NotingForm> form;
  std::vector<std::string> statuses;  // status bar texts, in order
  std::vector<UiState> states;        // distinct states seen, in order

 private:
  std::string localIp_;
  TQtUiThread ui_;
};

// Lines of a pane from index `from` on.
inline std::vector<std::string> From(const TMemo* memo, size_t from) {
  const auto& l = memo->Lines();
  return std::vector<std::string>(l.begin() + static_cast<long>(std::min(from, l.size())), l.end());
}

// The lines of a pane that start with `prefix`.
inline std::vector<std::string> Starting(const TMemo* memo, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : memo->Lines())
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// The ALG verdict lines of the SIP pane, in order.
inline std::vector<std::string> Verdicts(const TMemo* memo) {
  std::vector<std::string> out;
  for (const auto& l : memo->Lines())
    if (l.rfind("ALG active on port ", 0) == 0 || l.rfind("No ALG detected on port ", 0) == 0) out.push_back(l);
  return out;
}

// Compares lines one by one; an expected line that starts with "~" is a regular expression
// the whole line must match.
inline void ExpectLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  for (size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
    SCOPED_TRACE("line " + std::to_string(i));
    if (i >= actual.size()) {
      ADD_FAILURE() << "missing: " << expected[i];
    } else if (i >= expected.size()) {
      ADD_FAILURE() << "extra: " << actual[i];
    } else if (!expected[i].empty() && expected[i][0] == '~') {
      EXPECT_TRUE(std::regex_match(actual[i], std::regex(expected[i].substr(1)))) << actual[i] << " !~ " << expected[i];
    } else {
      EXPECT_EQ(actual[i], expected[i]);
    }
  }
}

// The log lines of one echo that came back unchanged: the server's line and one OK per line
// compared.
inline std::vector<std::string> UnchangedEchoLog(bool invite, int localPort, int remotePort, int serverPort,
                                                 const std::string& localIp) {
  const std::string ip = support::EscapedAddress(localIp);
  std::vector<std::string> l = {".",
                                "Checking from local port " + std::to_string(localPort) + " to remote port " +
                                    std::to_string(remotePort) + " ...",
                                "~Received \\d+ bytes on UDP port " + std::to_string(serverPort) + " from " + ip + ":" +
                                    std::to_string(localPort),
                                "Request URI check: OK", "Via check:         OK", "From check:        OK",
                                "To check:          OK", "CallId check:      OK", "Contact check:     OK"};
  if (invite) {
    l.push_back("SDP IP1 check:     OK");
    l.push_back("SDP IP2 check:     OK");
    l.push_back("SDP Port check:    OK");
  }
  return l;
}

// The SIP pane lines of a sequence from its first verdict on.
inline std::vector<std::string> VerdictBlock(const std::string& reg5060, const std::string& reg5058,
                                             const std::string& inv5060, const std::string& inv5058) {
  return {"----------------------------", " Checking REGISTERs...", reg5060, reg5058,
          "----------------------------", " Checking INVITEs...",   inv5060, inv5058};
}
// ... and of the checks over TCP that follow it.
inline std::vector<std::string> TcpVerdictBlock(const std::string& reg5060, const std::string& reg5058,
                                                const std::string& inv5060, const std::string& inv5058) {
  return {"----------------------------", " Checking REGISTERs over TCP...", reg5060, reg5058,
          "----------------------------", " Checking INVITEs over TCP...",   inv5060, inv5058};
}
inline const std::string kNoAlgTcp5060 = "No ALG detected on TCP port 5060.";
inline const std::string kNoAlgTcp5058 = "No ALG detected on TCP port 5058.";
// The SIP pane's lines of checks over TCP whose connections were all refused (a stand-in
// listens on no TCP SIP port).
inline std::vector<std::string> TcpRefusedBlock() {
  auto no = [](int port, const char* method) {
    return "No ALG verdict on TCP port " + std::to_string(port) + ". " + method +
           " not sent: the port is not reachable (the connection was refused)";
  };
  return TcpVerdictBlock(no(5060, "REGISTER"), no(5058, "REGISTER"), no(5060, "INVITE"), no(5058, "INVITE"));
}
// The log lines of the four checks over TCP: each echo unchanged, or each connection refused.
inline std::vector<std::string> TcpLog(bool refused, const std::string& localIp) {
  const std::string ip = support::EscapedAddress(localIp);
  std::vector<std::string> l;
  for (const bool invite : {false, true}) {
    for (const int port : {5060, 5058}) {
      const std::string p = std::to_string(port);
      l.push_back(".");
      if (refused) {
        l.push_back("No connection to TCP port " + p + ": the connection was refused");
        continue;
      }
      for (const std::string& line :
           {"~Checking over TCP from local port \\d+ to remote port " + p + " \\.\\.\\.",
            "~Received \\d+ bytes on TCP port " + p + " from " + ip + ":\\d+", std::string("Request URI check: OK"),
            std::string("Via check:         OK"), std::string("From check:        OK"),
            std::string("To check:          OK"), std::string("CallId check:      OK"),
            std::string("Contact check:     OK")})
        l.push_back(line);
      if (invite)
        for (const char* sdp : {"SDP IP1 check:     OK", "SDP IP2 check:     OK", "SDP Port check:    OK"})
          l.push_back(sdp);
    }
  }
  return l;
}
// The SIP pane's lines of large SIP messages that all passed unchanged.
inline std::vector<std::string> LargeSipBlock() {
  std::vector<std::string> l = {"----------------------------", " Checking large SIP messages..."};
  for (const char* port : {"5060", "5058"}) {
    const std::string p = port;
    l.push_back("Large SIP over UDP to port " + p + ": 2,000 bytes (2 fragments) arrived unchanged");
    l.push_back("Large SIP over UDP to port " + p + ": 4,000 bytes (3 fragments) arrived unchanged");
    l.push_back("Large SIP from the server to port " + p + ": 2,000 bytes arrived");
    l.push_back("Large SIP from the server to port " + p + ": 4,000 bytes arrived");
  }
  l.push_back("Large SIP over TCP to port 5060: 4,000 bytes arrived unchanged");
  l.push_back("Large SIP over TCP to port 5058: 4,000 bytes arrived unchanged");
  return l;
}
// ... and the log's, from sockets on local ports 5060 and 5058 to the same server ports.
inline std::vector<std::string> LargeSipLog(const std::string& localIp) {
  const std::string ip = support::EscapedAddress(localIp);
  std::vector<std::string> l = {".", "Checking large INVITEs of 2,000 and 4,000 bytes from local ports 5060 and 5058 ..."};
  for (const std::string p : {"5060", "5058"})
    for (const std::string size : {"2000", "4000"}) {
      l.push_back("Received " + size + " bytes on UDP port " + p + " from " + localIp + ":" + p);
      l.push_back("~Large INVITE " + size + " check:    OK \\(\\d+ lines\\)");
    }
  for (const std::string p : {"5060", "5058"}) {
    l.push_back("~Checking a large INVITE of 4,000 bytes over TCP from local port \\d+ to remote port " + p + " \\.\\.\\.");
    l.push_back("~Received 4000 bytes on TCP port " + p + " from " + ip + ":\\d+");
    l.push_back("~Large INVITE over TCP check:    OK \\(\\d+ lines\\)");
  }
  l.push_back(".");
  l.push_back("Asking the server for large answers to local ports 5060 and 5058 ...");
  for (const std::string p : {"5060", "5058"}) {
    l.push_back("~Received \\d+ bytes on UDP port " + p + " from " + ip + ":" + p);
    l.push_back("~Large answer 2000 check:    OK \\(\\d+ lines\\)");
    l.push_back("~Large answer 4000 check:    OK \\(\\d+ lines\\)");
  }
  return l;
}

inline const std::string kNoAlg5060 = "No ALG detected on port 5060. ";
inline const std::string kNoAlg5058 = "No ALG detected on port 5058. ";

// The NAT pane's lead-in of a NAT session test.
inline std::vector<std::string> NatLeadIn() {
  return {std::string(29, '-'), " Checking NAT session timeout", std::string(29, ' ')};
}

// The layers' line of a run on loopback, where no router is on the way.
inline const std::string kNoNatLayers = "NAT layers: none (the echo server saw this computer's own address)";

// The NAT pane's class lines of a run without NAT, against a server with two addresses (or one),
// whose STUN answers saw the run at me:publicPort, and the layers' line that follows them.
inline std::vector<std::string> NoNatClassLines(const std::string& me, int publicPort, bool oneAddress = false) {
  const std::string notApart = " (the server has one address: these two are not told apart)";
  const std::string publicLine =
      "NAT public address: " + me + ":" + std::to_string(publicPort) + " (this computer's own address: no NAT on the way)";
  if (oneAddress)
    return {"NAT mapping: endpoint-independent or address-dependent (port kept)" + notApart,
            "NAT filtering: endpoint-independent or address-dependent" + notApart, "NAT hairpinning: yes",
            publicLine, kNoNatLayers};
  return {"NAT mapping: endpoint-independent (port kept)", "NAT filtering: endpoint-independent",
          "NAT hairpinning: yes", publicLine, kNoNatLayers};
}
// ... and those of a server without a STUN side (the layers told from the address its echoes saw).
inline std::vector<std::string> NoStunLines(const std::string& server) {
  return {"NAT behaviour: no STUN answer from " + server + ":3478", kNoNatLayers};
}
// The public port the run's STUN answers named; 0 when none did.
inline int StunPublicPort(const TSequenceReport& r) {
  return r.Behaviour && r.Behaviour->Public ? r.Behaviour->Public->Port : 0;
}

// Appends the pieces to v.
template <class... L>
std::vector<std::string> Join(std::vector<std::string> v, const L&... more) {
  (v.insert(v.end(), more.begin(), more.end()), ...);
  return v;
}

// Checks the SIP pane lines of one start from `from` on: the port lines, then the router and
// vendor lines (their content depends on the host), then the connect line; returns the index
// after the connect line.
inline size_t ExpectStartLines(const TMemo* memo, size_t from, const std::vector<std::string>& portLines) {
  const auto& l = memo->Lines();
  size_t i = from;
  for (const std::string& p : portLines) {
    EXPECT_LT(i, l.size());
    if (i >= l.size()) return i;
    EXPECT_EQ(l[i], p);
    ++i;
  }
  const char* const router[] = {"Router IP: ", "Router mac address: ", "Downloading MAC list... "};
  for (const char* r : router) {
    EXPECT_LT(i, l.size());
    if (i >= l.size()) return i;
    EXPECT_EQ(l[i].rfind(r, 0), 0u) << l[i];
    ++i;
  }
  while (i < l.size() && l[i] != "Connecting to remote server... ") ++i;
  EXPECT_LT(i, l.size()) << "no connect line";
  return i + 1;
}

// The fixture of the tests that run whole runs against a server: the echo server in process or
// a scripted stand-in for it on `at`, and the window for `me`. Each row of a table moves both to
// addresses of its own (NextRow).
class RunTest : public ::testing::Test {
 protected:
  // Settings for a short run: NAT session reports 1 and then 2 seconds after the INVITEs on
  // 5060, one after 1.5 seconds on 5058; RTP bursts of 5 packets; no vendor list.
  static TEchoServerConfig ShortConfig(const std::string& address) {
    TEchoServerConfig c = support::EchoServerGuard::TestConfig(address);
    c.SipPorts = {{5060, {1000, 2000}}, {5058, {1500}}};
    c.RtpPort = 0;
    return c;
  }

  // Ends what the last row of a table made and takes addresses for the next one.
  void NextRow() {
    window.reset();
    standIn.reset();
    server.reset();
    ++row_;
    me = support::TestAddress(2 * row_);
    at = support::TestAddress(2 * row_ + 1);
  }
  // The echo server, serving in process until the test ends.
  void Serve(const TEchoServerConfig& config) { server.emplace(config); }
  // A stand-in for the echo server on `at`; the test scripts it before the window starts it.
  standin::ScriptedServer& StandIn(const std::vector<int>& udpPorts = {5060, 5058}) {
    standIn.emplace(at, udpPorts);
    EXPECT_TRUE(standIn->Ok()) << "the stand-in cannot bind its ports on " << at;
    return *standIn;
  }
  // The window for `me`, its server named by `argument` (`at` when empty); the stand-in, if
  // there is one, serves from now on.
  Rig& Window(const std::string& argument = "") {
    if (standIn) standIn->Start();
    return window.emplace(me, argument.empty() ? at : argument);
  }
  // The window, with "Start test" pressed.
  Rig& Run(const std::string& argument = "") {
    Rig& rig = Window(argument);
    rig.ClickStart();
    return rig;
  }

  std::string me = support::TestAddress(0);  // the window's address (row 0's in a table)
  std::string at = support::TestAddress(1);  // the server's
  std::optional<support::EchoServerGuard> server;
  std::optional<standin::ScriptedServer> standIn;
  std::optional<Rig> window;

 private:
  int row_ = -1;
};

}  // namespace runs
