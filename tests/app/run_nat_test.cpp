// The NAT session test and the RTP probe of a run in the window, once its sequence is over:
// reports sent by a scripted server, the countdown to the end of the run, the RTP verdict.
#include <gtest/gtest.h>

#include "tests/app/RunSupport.h"

using namespace runs;
using standin::ScriptedServer;

namespace {

const UiState kIdle{true, false, false, ""};

class RunNat : public RunTest {
 protected:
  // Starts a run against the stand-in and waits until its NAT session test INVITEs are out.
  void RunToNat() {
    Rig& rig = Run();
    ASSERT_TRUE(rig.WaitSequence());
    ASSERT_TRUE(rig.form->LastReport.Nat5060 && rig.form->LastReport.Nat5058);
    ASSERT_EQ(rig.State(), (UiState{false, true, false, ""}));
    ASSERT_TRUE(support::WaitUntil([&] { return standIn->Datagrams().size() >= 16; }, 3s));
  }

  // Sends one datagram from the stand-in to a window socket and waits until the handler has run.
  const Handled* Deliver(int fromPort, int toPort, const std::string& text) {
    Rig& rig = *window;
    const size_t before = rig.form->sip.size();
    if (!standIn->SendFrom(fromPort, rig.LocalIp(), toPort, text)) return nullptr;
    if (!rig.Spin([&] { return rig.form->sip.size() > before; }, 3s)) return nullptr;
    return &rig.form->sip.back();
  }
};

TEST_F(RunNat, reports_deduplicated_per_port_and_read_as_they_come) {
  StandIn({5060, 5058, 7000});
  ASSERT_NO_FATAL_FAILURE(RunToNat());
  Rig& rig = *window;
  NotingForm& f = *rig.form;
  // The countdown's ticks are another test's; here the caption must only change by reports.
  f.Timer1->setInterval(3600 * 1000);

  struct Row {
    const char* what;
    int from;  // the peer's port: the sender port the handler sees
    int to;    // the window's socket
    std::string text;
    std::vector<std::string> lines;  // NAT pane lines it adds
    std::string count;               // countdown caption it sets; "" leaves it as it was
    bool raised;
  };
  using L = std::vector<std::string>;
  const Row rows[] = {
      {"below one second: age 0, as set before the INVITEs", 5060, 5060, "Sent after 800 Next pkt after 60000 ", {}, "", false},
      {"first age", 5060, 5060, "Sent after 30000 Next pkt after 60000 ",
       L{"NAT session on port 5060 ok after 30s", "Checking port 5060 after 60s ..."}, "62", false},
      {"same whole second, next included", 5060, 5060, "Sent after 30500 Next pkt after 90000 ", {}, "", false},
      {"5058 kept apart", 5058, 5058, "Sent after 30000 Next pkt after 45000 ",
       L{"NAT session on port 5058 ok after 30s", "Checking port 5058 after 45s ..."}, "47", false},
      {"without a next one", 5060, 5060, "Sent after 60000 ", L{"NAT session on port 5060 ok after 60s"}, "", false},
      {"an earlier age again", 5060, 5060, "Sent after 30000 Next pkt after 20000 ",
       L{"NAT session on port 5060 ok after 30s", "Checking port 5060 after 20s ..."}, "22", false},
      {"a bad next number", 5060, 5060, "Sent after 45000 Next pkt after soon ",
       L{"NAT session on port 5060 ok after 45s"}, "", true},
      {"the age of the bad one was kept", 5060, 5060, "Sent after 45999 Next pkt after 1000 ", {}, "", false},
      {"no blank after the age", 5060, 5060, "Sent after 50000", {}, "", true},
      {"so that age was not kept; no blank after next", 5060, 5060, "Sent after 50000 Next pkt after 30000",
       L{"NAT session on port 5060 ok after 50s"}, "", true},
      {"another port is never deduplicated", 7000, 5060, "Sent after 50000 Next pkt after 10000 ",
       L{"NAT session on port 7000 ok after 50s", "Checking port 7000 after 10s ..."}, "12", false},
      {"... also not the second time", 7000, 5058, "Sent after 50000 Next pkt after 11000 ",
       L{"NAT session on port 7000 ok after 50s", "Checking port 7000 after 11s ..."}, "13", false},
      {"not a report", 5060, 5060, "Received 12 bytes", {}, "", false},
      {"text ends at a zero byte", 5060, 5060, std::string("Sent after 70000 \0Next pkt after 5000 ", 38),
       L{"NAT session on port 5060 ok after 70s"}, "", false},
      {"labels anywhere; the sender's port counts, not the socket", 5060, 5058,
       "xx Next pkt after 2000 and Sent after 80000 ",
       L{"NAT session on port 5060 ok after 80s", "Checking port 5060 after 2s ..."}, "4", false},
  };
  std::string count = "0";
  bool shown = false;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t natBefore = f.MemoNat->Lines().size();
    const Handled* h = Deliver(row.from, row.to, row.text);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->fromPort, row.from);
    EXPECT_EQ(h->raised, row.raised);
    EXPECT_EQ(From(f.MemoNat, natBefore), row.lines);
    if (!row.count.empty()) {
      count = row.count;
      shown = true;
    }
    EXPECT_EQ(h->count, count);
    EXPECT_EQ(h->countShown, shown);
    EXPECT_EQ(f.StopBtn->isEnabled(), true);
    EXPECT_EQ(f.Timer1->Enabled(), shown);
  }
  EXPECT_FALSE(f.BtnTest->isEnabled());
  EXPECT_TRUE(rig.front.boxes.empty()) << "a datagram handler's error is never shown";
  // The run's result keeps them by the socket they reached, under its nominal port, whatever
  // port they came from.
  std::vector<int> keys;
  for (const auto& [port, n] : f.Result.Nat) keys.push_back(port);
  EXPECT_EQ(keys, (std::vector<int>{5058, 5060}));
  EXPECT_EQ(f.Result.Nat[5058].HeldSecs, (std::vector<int>{30, 50, 80}));
  rig.ClickStop();
}

// A report announcing the next after 1 s sets the countdown to 3; a report without a next one
// leaves it running; the fourth tick after the first report ends the run. Reports that come
// later are still read, since the end of a countdown does not stop the run the way Stop does.
TEST_F(RunNat, countdown_runs_out_and_ends_the_run) {
  ScriptedServer& p = StandIn();
  ASSERT_NO_FATAL_FAILURE(RunToNat());
  Rig& rig = *window;
  NotingForm& f = *rig.form;
  const size_t nat = f.MemoNat->Lines().size();

  const Handled* h = Deliver(5060, 5060, "Sent after 2000 Next pkt after 1000 ");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->count, "3");
  ASSERT_TRUE(rig.Spin([&] { return f.ticks.size() >= 1; }, 3s));
  ASSERT_NE(Deliver(5058, 5058, "Sent after 3000 "), nullptr);
  rig.statuses.clear();
  ASSERT_TRUE(rig.WaitRunEnd(6s));
  ASSERT_TRUE(rig.Spin([&] { return f.BtnCopyReport->isEnabled(); }, 3s));  // the run's end is written

  ASSERT_EQ(f.ticks.size(), 4u);
  const std::string captions[] = {"2", "1", "0", "0"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(f.ticks[i].count, captions[i]) << i;
    EXPECT_EQ(f.ticks[i].running, i < 3) << i;
  }
  EXPECT_EQ(From(f.MemoNat, nat), (std::vector<std::string>{"NAT session on port 5060 ok after 2s",
                                                             "Checking port 5060 after 1s ...",
                                                             "NAT session on port 5058 ok after 3s",
                                                             // 2 s held, then the 1 s report missing: lost
                                                             "No report after 1s on port 5060: lost on the way, as a "
                                                             "longer idle time held"}));
  const std::vector<UiState> tail = {{false, true, true, "3"}, {false, true, true, "2"}, {false, true, true, "1"},
                                     {false, true, true, "0"}, kIdle};
  ASSERT_GE(rig.states.size(), tail.size());
  EXPECT_EQ(std::vector<UiState>(rig.states.end() - static_cast<long>(tail.size()), rig.states.end()), tail);
  EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Link status: Disconnecting.", "Link status: Disconnected."}));
  EXPECT_TRUE(support::WaitUntil([&] { return p.Closed() == 1; }, 3s));

  // A late report: read in full, with a new countdown and Stop usable again.
  ASSERT_NE(Deliver(5060, 5060, "Sent after 4000 Next pkt after 1000 "), nullptr);
  EXPECT_EQ(From(f.MemoNat, nat + 4),
            (std::vector<std::string>{"NAT session on port 5060 ok after 4s", "Checking port 5060 after 1s ..."}));
  EXPECT_EQ(rig.State(), (UiState{true, true, true, "3"}));
  EXPECT_TRUE(f.Timer1->Enabled());
  rig.ClickStop();
  EXPECT_FALSE(rig.State().countdown);
  EXPECT_FALSE(f.Timer1->Enabled());
  EXPECT_EQ(rig.statuses.size(), 2u) << "nothing left to disconnect";
  EXPECT_TRUE(rig.front.boxes.empty());
}

// A countdown restarted by a late report belongs to the run that is over: a new start stops it,
// so it cannot end the new run.
TEST_F(RunNat, new_start_stops_a_leftover_countdown) {
  StandIn();
  ASSERT_NO_FATAL_FAILURE(RunToNat());
  Rig& rig = *window;
  NotingForm& f = *rig.form;
  ASSERT_NE(Deliver(5060, 5060, "Sent after 2000 Next pkt after 0 "), nullptr);
  ASSERT_TRUE(rig.WaitRunEnd(6s));
  ASSERT_NE(Deliver(5060, 5060, "Sent after 4000 Next pkt after 1000 "), nullptr);
  ASSERT_TRUE(f.Timer1->Enabled());

  rig.ClickStart();
  EXPECT_FALSE(f.Timer1->Enabled());
  EXPECT_FALSE(rig.State().countdown);
  EXPECT_EQ(f.LblCount->text().toStdString(), "0");
  ASSERT_TRUE(rig.WaitSequence());
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_FALSE(f.BtnTest->isEnabled()) << "the new run is still open";
  EXPECT_TRUE(rig.front.boxes.empty());
  rig.ClickStop();
}

// RTP datagrams count only from the address the control connection reached; a tick that sees
// no growth prints how many came, also the tick that ends the run.
TEST_F(RunNat, rtp_verdict_once_the_flow_stops) {
  StandIn();
  ASSERT_NO_FATAL_FAILURE(RunToNat());
  Rig& rig = *window;
  NotingForm& f = *rig.form;
  EXPECT_EQ(f.ServerAddress, at);
  ASSERT_EQ(f.RtpPort, 5004);
  const std::string rule(31, '-');

  ASSERT_NE(Deliver(5060, 5060, "Sent after 2000 Next pkt after 2000 "), nullptr);  // 5 ticks
  const support::UdpPeer fromServer(at), fromOther(support::TestAddress(2));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(fromServer.SendTo(me, 5004, "rtp"));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(fromOther.SendTo(me, 5004, "rtp"));
  ASSERT_TRUE(rig.Spin([&] { return f.rtpDatagrams == 25; }, 3s));
  EXPECT_EQ(f.RtpCount, 20);

  ASSERT_TRUE(rig.Spin([&] { return f.ticks.size() >= 3; }, 5s));
  EXPECT_EQ(f.ticks[0].rtpLines, 2u) << "still growing at the first tick";
  EXPECT_EQ(f.ticks[1].rtpLines, 6u);
  EXPECT_EQ(f.ticks[2].rtpLines, 6u);
  EXPECT_EQ(From(f.MemoRTP, 2), (std::vector<std::string>{rule, "RTP (audio) port 5004 working", "20 pkts received", rule}));
  EXPECT_EQ(f.RtpCount, 0);
  EXPECT_EQ(f.RtpPrevCount, 0);

  // A second burst, seen on the fourth tick and judged on the fifth, which ends the run.
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(fromServer.SendTo(me, 5004, "rtp"));
  ASSERT_TRUE(rig.Spin([&] { return f.rtpDatagrams == 32; }, 3s));
  ASSERT_TRUE(rig.WaitRunEnd(5s));
  ASSERT_EQ(f.ticks.size(), 5u);
  EXPECT_EQ(f.ticks[3].rtpLines, 6u);
  EXPECT_FALSE(f.ticks[4].running);
  EXPECT_EQ(f.ticks[4].rtpLines, 10u);
  EXPECT_EQ(From(f.MemoRTP, 6), (std::vector<std::string>{rule, "RTP (audio) port 5004 working", "7 pkts received", rule}));
}

}  // namespace
