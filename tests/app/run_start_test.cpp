// The start of a run in the window: ports held by others, the forms of the endpoint argument,
// a connect that fails, and the limit of bind attempts.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/app/RunSupport.h"

using namespace runs;
using standin::Datagram;
using standin::ScriptedServer;
using support::WaitUntil;

namespace {

class RunStart : public RunTest {};

const UiState kIdle{true, false, false, ""};

// The media port announced by an INVITE's m= line.
std::string AnnouncedMedia(const std::string& invite) {
  const size_t m = invite.find("\r\nm=audio ");
  if (m == std::string::npos) return "";
  const size_t start = m + 10;
  return invite.substr(start, invite.find(' ', start) - start);
}

// 5058, 5060 and 5004 held by other sockets: the searches go on to 5056, 5062 and 5006, the log
// shows the ports in use and the verdicts the nominal numbers.
TEST_F(RunStart, held_ports_fall_back_and_verdicts_keep_nominal_numbers) {
  const support::HeldPorts held(me, {5058, 5060, 5004});
  ASSERT_TRUE(held.Ok());
  ScriptedServer& p = StandIn();
  Rig& rig = Run();
  TForm1& f = *rig.form;
  const size_t afterConnect = ExpectStartLines(
      f.MemoSIP, 1, {"Cannot use port 5058", "Using SIP port 5056", "Cannot use port 5060", "Using SIP port 5062"});
  EXPECT_EQ(f.MemoRTP->Lines(),
            (std::vector<std::string>{"RTP port open/closed:", "Cannot use port 5004", "Using RTP port 5006"}));
  EXPECT_EQ(f.RtpPort, 5006);
  EXPECT_EQ(Rig::PortOf(*f.IdUDP_client_5058), 5056);
  EXPECT_EQ(Rig::PortOf(*f.IdUDP_client_5060), 5062);

  ASSERT_TRUE(rig.WaitSequence());
  ExpectLines(From(f.MemoSIP, afterConnect),
              Join(VerdictBlock(kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058), TcpRefusedBlock()));
  ExpectLines(f.Memo2->Lines(),
              Join(UnchangedEchoLog(false, 5062, 5060, 5060, me), UnchangedEchoLog(false, 5056, 5058, 5058, me),
                   UnchangedEchoLog(true, 5062, 5060, 5060, me), UnchangedEchoLog(true, 5056, 5058, 5058, me),
                   TcpLog(true, me),
                   std::vector<std::string>{"Checking NAT timeout on port 5060. Up to 5 minutes needed...",
                                            "Checking NAT timeout on port 5058. Up to 5 minutes needed..."}));
  // The probes leave from the ports in use; the NAT INVITE of the 5060 socket announces 5004,
  // that of the 5058 socket the RTP port in use.
  ASSERT_TRUE(WaitUntil([&] { return p.Datagrams().size() >= 16; }, 3s));
  for (const Datagram& d : p.Datagrams()) {
    SCOPED_TRACE(d.text.substr(0, d.text.find('\r')));
    EXPECT_EQ(d.fromPort, d.port == 5060 ? 5062 : 5056);
    EXPECT_NE(d.text.find("Contact: <sip:421421@" + me + ":" + std::to_string(d.fromPort) + ">"), std::string::npos);
    if (d.NatTest()) {
      EXPECT_EQ(AnnouncedMedia(d.text), d.port == 5060 ? "5004" : "5006");
    } else if (!d.Register()) {
      EXPECT_EQ(AnnouncedMedia(d.text), "7004");
    }
  }
  rig.ClickStop();
  EXPECT_EQ(rig.State(), kIdle);
}

// host, host:port and host with an unusable port: the control connection always goes to port 80
// of the host, the 5060 socket's probes to the port named (5060 without one), the verdict names
// 5060 whatever the port.
TEST_F(RunStart, endpoint_argument_forms) {
  struct Row {
    std::string suffix;  // after the host
    int port;            // the SIP port taken
  };
  const Row rows[] = {{"", 5060}, {":5070", 5070}, {":x", 5060}};
  for (const Row& row : rows) {
    SCOPED_TRACE("host" + row.suffix);
    NextRow();
    ScriptedServer& p = StandIn({5060, 5058, 5070});
    Rig& rig = Run(at + row.suffix);
    TForm1& f = *rig.form;
    EXPECT_EQ(f.ServerHost, at);
    EXPECT_EQ(f.ServerPort, row.port);
    EXPECT_EQ(f.IdTCPClient1->Host(), at);
    EXPECT_EQ(f.IdTCPClient1->Port(), 80);
    ASSERT_TRUE(rig.WaitSequence());
    EXPECT_EQ(p.Accepted(), 1);
    ASSERT_GE(f.Memo2->Lines().size(), 2u);
    EXPECT_EQ(f.Memo2->Lines()[1], "Checking from local port 5060 to remote port " + std::to_string(row.port) + " ...");
    EXPECT_EQ(Verdicts(f.MemoSIP),
              (std::vector<std::string>{kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058}));
    ASSERT_TRUE(WaitUntil([&] { return p.Datagrams().size() >= 16; }, 3s));
    for (const Datagram& d : p.Datagrams()) EXPECT_EQ(d.port, d.fromPort == 5060 ? row.port : 5058);
    rig.ClickStop();
  }
}

// A connect that fails shows its error once and leaves Start usable; no sequence runs on the
// unconnected client, neither on a fresh window nor once the sequence timer ticks from an
// earlier run.
TEST_F(RunStart, refused_connect_lets_the_user_start_again) {
  const std::string nobody = support::TestAddress(2);
  ScriptedServer& p = StandIn();
  Rig& rig = Window(nobody);
  TForm1& f = *rig.form;
  // The error's own text, then what it means and what to try.
  const std::string refused = "Socket Error # 10061\r\nConnection refused.\n\nThe server " + nobody +
                              " was not reached on TCP port 80: the connection was refused.\nCheck the server's name "
                              "and that its echo server runs and takes TCP port 80; the package sip-alg-echo-server "
                              "runs one (see its manual page, sip-alg-echo-server(8)).";

  rig.ClickStart();
  EXPECT_TRUE(rig.front.OneBox(true, refused));
  EXPECT_FALSE(f.StartPending);
  EXPECT_EQ(rig.State(), kIdle);
  EXPECT_EQ(f.MemoSIP->Lines().back(), "Connecting to remote server... ");
  EXPECT_EQ(rig.statuses.back(), "Link status: Connecting to " + nobody + ".");
  // After the box: the sentence in the log, and the status bar no longer connecting.
  const std::string sentence = "The server " + nobody + " was not reached on TCP port 80: the connection was refused.";
  ASSERT_TRUE(rig.Spin([&] { return f.BtnCopyReport->isEnabled(); }, 3s));
  EXPECT_EQ(std::count(f.Memo2->Lines().begin(), f.Memo2->Lines().end(), sentence), 1);
  EXPECT_EQ(rig.statuses.back(), "Link status: Not connected.");

  // Start again, this time with a server: the run goes as usual.
  f.EchoServerEdit->setText(QString::fromStdString(at));
  rig.ClickStart();
  ASSERT_TRUE(rig.WaitSequence());
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);
  rig.ClickStop();
  ASSERT_TRUE(f.TimerTCP->Enabled());

  // Refused again while the sequence timer ticks: one box, and the ticks start nothing.
  f.EchoServerEdit->setText(QString::fromStdString(nobody));
  rig.ClickStart();
  ASSERT_EQ(rig.front.boxes.size(), 2u);
  EXPECT_EQ(rig.front.boxes[1].text, refused);
  EXPECT_FALSE(f.StartPending);
  EXPECT_EQ(rig.State(), kIdle);
  ASSERT_TRUE(rig.Spin([&] { return std::count(f.Memo2->Lines().begin(), f.Memo2->Lines().end(), sentence) == 2; }, 3s));
  const std::vector<std::string> sip = f.MemoSIP->Lines(), log = f.Memo2->Lines();
  int ticks = 0;
  QObject::connect(f.TimerTCP, &TTimer::Tick, [&] { ++ticks; });
  ASSERT_TRUE(rig.Spin([&] { return ticks >= 2; }, 4s));
  EXPECT_EQ(rig.front.boxes.size(), 2u);
  EXPECT_EQ(f.MemoSIP->Lines(), sip);
  EXPECT_EQ(f.Memo2->Lines(), log);
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::NotRun);
  EXPECT_EQ(p.Accepted(), 1);
  EXPECT_EQ(rig.State(), kIdle);
}

// Past 100 bind attempts in one start the program ends: one box, then the window closes. The
// count is shared by the three searches and checked before success.
TEST_F(RunStart, bind_limit_ends_the_program) {
  struct Row {
    const char* name;
    std::string localIp;
    std::vector<int> held;
    std::vector<std::string> sip;  // lines after the pane's first
    std::vector<std::string> rtp;
  };
  std::vector<std::string> allFail;
  for (int p = 5058; p >= 5058 - 2 * 100; p -= 2) allFail.push_back("Cannot use port " + std::to_string(p));
  // 5058 and every RTP port up to 5196 are held, but for 5056 and 5060, which the window's own
  // SIP sockets take first: 3 attempts for those, 97 failing RTP attempts, then the 101st.
  std::vector<int> rtpHeld;
  std::vector<std::string> rtpLines;
  for (int p = 5004; p <= 5196; p += 2) {
    if (p != 5056 && p != 5060) rtpHeld.push_back(p);
    rtpLines.push_back("Cannot use port " + std::to_string(p));
  }
  rtpLines.push_back("Using RTP port 5198");  // the 101st attempt succeeds, and still ends it
  const Row rows[] = {
      {"address not of this host", "192.0.2.1", {}, allFail, {}},
      {"RTP ports held", me, rtpHeld,
       {"Cannot use port 5058", "Using SIP port 5056", "Using SIP port 5060"}, rtpLines},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const support::HeldPorts held(row.localIp, row.held);
    ASSERT_TRUE(held.Ok());
    Rig rig(row.localIp, at);
    TForm1& f = *rig.form;
    f.show();
    ASSERT_TRUE(rig.Spin([&] { return f.isVisible(); }, 3s));
    rig.ClickStart();
    EXPECT_TRUE(rig.front.OneBox(false, "Cannot bind a socket after 100 attempts. Exiting..."));
    EXPECT_TRUE(f.Closed());
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(From(f.MemoSIP, 1), row.sip) << "the start ends before the router and the connect";
    EXPECT_EQ(From(f.MemoRTP, 1), row.rtp);
    EXPECT_FALSE(f.StartPending);
    EXPECT_TRUE(rig.statuses.empty());
  }
}

}  // namespace
