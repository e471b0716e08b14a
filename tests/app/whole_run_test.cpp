// Whole test runs in the window against the bundled echo server, on its own thread and its own
// loopback address, with a short NAT schedule: every pane's lines in order, the buttons and
// the countdown along the way, Stop, a second run, and a server given by name.
#include <gtest/gtest.h>

#include "app/WindowReport.h"
#include "tests/app/RunSupport.h"

using namespace runs;

namespace {

class WholeRun : public RunTest {};

const std::string kRule31(31, '-');

TEST_F(WholeRun, every_pane_in_order_with_buttons_and_countdown) {
  TEchoServerConfig config = ShortConfig(at);
  config.OtherAddress = support::TestAddress(15);  // STUN tells mapping and filtering apart
  Serve(config);
  Rig& rig = Run();
  EXPECT_EQ(rig.form->ServerHost, at);
  EXPECT_EQ(rig.form->ServerPort, 5060);
  // Reports after 1 s (announcing 2 s) and 2 s on 5060, 1.5 s on 5058: the countdown starts at
  // 4 with the first and runs out about five seconds later.
  ASSERT_TRUE(rig.WaitRunEnd(20s));
  TForm1& f = *rig.form;
  EXPECT_TRUE(rig.front.boxes.empty());

  const size_t afterConnect =
      ExpectStartLines(f.MemoSIP, 1, {"Using SIP port 5058", "Using SIP port 5060"});
  EXPECT_EQ(f.MemoSIP->Lines()[0], "SIP ALG Test:");
  // The verdicts by UDP, then those over TCP, then the large messages.
  ExpectLines(From(f.MemoSIP, afterConnect),
              Join(Join(VerdictBlock(kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058),
                        TcpVerdictBlock(kNoAlgTcp5060, kNoAlgTcp5058, kNoAlgTcp5060, kNoAlgTcp5058)),
                   LargeSipBlock()));

  ExpectLines(f.Memo2->Lines(), Join(UnchangedEchoLog(false, 5060, 5060, 5060, me),
                                     UnchangedEchoLog(false, 5058, 5058, 5058, me),
                                     UnchangedEchoLog(true, 5060, 5060, 5060, me),
                                     UnchangedEchoLog(true, 5058, 5058, 5058, me), TcpLog(false, me),
                                     LargeSipLog(me),
                                     std::vector<std::string>{
                                         "Checking NAT timeout on port 5060. Up to 5 minutes needed...",
                                         "Checking NAT timeout on port 5058. Up to 5 minutes needed..."}));

  ExpectLines(f.MemoNat->Lines(), Join(std::vector<std::string>{"NAT Sessions timeout:"}, NatLeadIn(),
                                       NoNatClassLines(me, StunPublicPort(f.LastReport)),
                                       std::vector<std::string>{
                                           "NAT session on port 5060 ok after 1s",
                                           "Checking port 5060 after 2s ...",
                                           "NAT session on port 5058 ok after 1s",
                                           "NAT session on port 5060 ok after 2s",
                                       }));

  // Both NAT INVITEs announce 5004: one burst of five to that port, judged once it stopped.
  ExpectLines(f.MemoRTP->Lines(), {"RTP port open/closed:", "Using RTP port 5004", kRule31,
                                   "RTP (audio) port 5004 working", "5 pkts received", kRule31});

  const std::vector<UiState> states = {
      {true, false, false, ""},   // idle
      {false, false, false, ""},  // started, connected, sequence due
      {false, true, false, ""},   // NAT session test INVITEs sent: Stop usable
      {false, true, true, "4"},   // first report: countdown
      {false, true, true, "3"},  {false, true, true, "2"}, {false, true, true, "1"}, {false, true, true, "0"},
      {true, false, false, ""},  // run over
  };
  EXPECT_EQ(rig.states, states);
  EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Link status: Connecting to " + at + ".",
                                                    "Link status: Connected.", "Link status: Disconnecting.",
                                                    "Link status: Disconnected."}));
  EXPECT_FALSE(f.Timer1->Enabled());
  EXPECT_EQ(f.LblCount->text(), QStringLiteral("0"));
  EXPECT_EQ(f.BtnRouter->isEnabled(), RouterFound(f.RouterIP)) << "a router's page only where one was found";
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_TRUE(f.LastReport.Nat5060 && f.LastReport.Nat5058);
}

// Stop in the countdown ends the run at once and makes later reports count for nothing; a
// second start binds the same ports again and appends to every pane.
TEST_F(WholeRun, stop_during_countdown_then_second_run_appends) {
  Serve(ShortConfig(at));
  Rig& rig = Run();
  TForm1& f = *rig.form;
  ASSERT_TRUE(rig.Spin([&] { return rig.State().countdown; }, 15s));
  EXPECT_EQ(rig.State(), (UiState{false, true, true, "4"}));

  rig.statuses.clear();
  rig.ClickStop();
  EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Link status: Disconnecting.", "Link status: Disconnected."}));
  EXPECT_EQ(rig.State(), (UiState{true, false, false, ""}));
  EXPECT_EQ(f.LblCount->text(), QStringLiteral("0"));
  EXPECT_FALSE(f.Timer1->Enabled());
  EXPECT_TRUE(f.Stopped);
  EXPECT_TRUE(f.IdUDP_client_5060->IsActive()) << "Stop leaves the endpoints bound";
  ASSERT_TRUE(rig.Spin([&] { return f.BtnCopyReport->isEnabled(); }, 3s));  // the run's end is written

  // A report after Stop reaches the handler and changes nothing.
  const std::vector<std::string> sip1 = f.MemoSIP->Lines(), nat1 = f.MemoNat->Lines(), log1 = f.Memo2->Lines(),
                                 rtp1 = f.MemoRTP->Lines();
  const size_t handled = rig.form->sip.size();
  ASSERT_TRUE(support::UdpPeer(at).SendTo(me, 5060, "Sent after 9000 Next pkt after 9000 "));
  ASSERT_TRUE(rig.Spin([&] { return rig.form->sip.size() > handled; }, 3s));
  EXPECT_EQ(f.MemoNat->Lines(), nat1);
  EXPECT_EQ(rig.State(), (UiState{true, false, false, ""}));
  EXPECT_FALSE(f.Timer1->Enabled());

  // Second run: the same ports, the panes keep the first run's lines and gain the second's.
  rig.ClickStart();
  EXPECT_FALSE(f.Stopped);
  ASSERT_TRUE(rig.Spin([&] { return rig.State().countdown; }, 15s));
  EXPECT_EQ(std::vector<std::string>(f.MemoSIP->Lines().begin(), f.MemoSIP->Lines().begin() + sip1.size()), sip1);
  const size_t afterConnect = ExpectStartLines(f.MemoSIP, sip1.size(), {"Using SIP port 5058", "Using SIP port 5060"});
  ExpectLines(From(f.MemoSIP, afterConnect),
              Join(Join(VerdictBlock(kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058),
                        TcpVerdictBlock(kNoAlgTcp5060, kNoAlgTcp5058, kNoAlgTcp5060, kNoAlgTcp5058)),
                   LargeSipBlock()));
  EXPECT_EQ(std::vector<std::string>(f.Memo2->Lines().begin(), f.Memo2->Lines().begin() + log1.size()), log1);
  ExpectLines(From(f.Memo2, log1.size()),
              Join(UnchangedEchoLog(false, 5060, 5060, 5060, me), UnchangedEchoLog(false, 5058, 5058, 5058, me),
                   UnchangedEchoLog(true, 5060, 5060, 5060, me), UnchangedEchoLog(true, 5058, 5058, 5058, me),
                   Join(TcpLog(false, me), LargeSipLog(me)),
                   std::vector<std::string>{"Checking NAT timeout on port 5060. Up to 5 minutes needed...",
                                            "Checking NAT timeout on port 5058. Up to 5 minutes needed..."}));
  ExpectLines(From(f.MemoNat, nat1.size()),
              Join(NatLeadIn(), NoNatClassLines(me, StunPublicPort(f.LastReport), true),
                   std::vector<std::string>{"NAT session on port 5060 ok after 1s",
                                                         "Checking port 5060 after 2s ..."}));
  EXPECT_EQ(From(f.MemoRTP, rtp1.size()).at(0), "Using RTP port 5004");
  EXPECT_TRUE(rig.front.boxes.empty());
  rig.ClickStop();
  EXPECT_EQ(rig.State(), (UiState{true, false, false, ""}));
}

// With the server given by name, RTP datagrams count when they come from the address the
// control connection reached: the RTP verdict appears. "localhost" resolves without DNS.
TEST_F(WholeRun, rtp_counted_from_server_given_by_name) {
  const std::string srv = "127.0.0.1";
  TEchoServerConfig config = ShortConfig(srv);
  config.SipPorts = {{5060, {1000, 1000}}, {5058, {1000}}};
  try {
    Serve(config);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "the echo server cannot serve on " << srv << ": " << e.what();
  }
  Rig& rig = Run("localhost");
  TForm1& f = *rig.form;
  EXPECT_EQ(f.ServerHost, "localhost");
  EXPECT_EQ(f.ServerAddress, srv);
  ASSERT_TRUE(rig.Spin([&] { return f.MemoRTP->Lines().size() >= 6; }, 15s));
  ExpectLines(f.MemoRTP->Lines(), {"RTP port open/closed:", "Using RTP port 5004", kRule31,
                                   "RTP (audio) port 5004 working", "5 pkts received", kRule31});
  EXPECT_EQ(Starting(f.MemoNat, "NAT session on port 5060 ok after 1s").size(), 1u);
  rig.ClickStop();
}

}  // namespace

// Left alone, the run ends once the test has its answer: ConsoleFront.clean_run_exits_0_with_its_json_summary.
TEST_F(WholeRun, the_time_out_test_holds_the_run_open_and_stop_keeps_what_it_found) {
  TEchoServerConfig config = ShortConfig(at);
  config.TimeoutIdleSecs = {2, 20};  // the NAT session reports end after about 5 s, the test after 20
  config.TimeoutRefreshSecs = 1;
  Serve(config);
  Rig& rig = Run();
  ASSERT_TRUE(rig.WaitSequence());
  TForm1& f = *rig.form;
  // The whole run's countdown while the NAT session reports are long over: the time-out test's.
  ASSERT_TRUE(rig.Spin([&] { return f.Result.Nat.count(5060) && !f.NatCountdown; }, 10s));
  EXPECT_FALSE(f.BtnTest->isEnabled());
  EXPECT_TRUE(f.StopBtn->isEnabled());
  EXPECT_TRUE(f.LblCount->isVisibleTo(&f));
  EXPECT_GT(f.LblCount->text().toInt(), 0);
  // The 2 s mappings have held by now; stopping keeps that and says no more.
  ASSERT_TRUE(rig.Spin([&] { return f.Run->Io().NatTimeoutProgress().Result.New.HeldSecs == 2; }, 10s));
  rig.ClickStop();
  ASSERT_TRUE(rig.WaitRunEnd(5s));
  EXPECT_EQ(f.Result.End, TRunEnd::Stopped);
  EXPECT_NE(std::find(f.MemoNat->Lines().begin(), f.MemoNat->Lines().end(),
                      "NAT time-out of a new mapping: held at least 2 s"),
            f.MemoNat->Lines().end());
}
