// The end of a run in the real window: the summary and the advice in the log pane, the result
// in the status bar, the closing lines of the NAT and RTP panes; the give-up on NAT reports that
// never come; the sentence after a refused connection's box; the report of the last run alone.
#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "run/TestRun.h"
#include "tests/app/CliSupport.h"
#include "tests/app/RunSupport.h"

using namespace runs;
using standin::Datagram;
using standin::Echo;
using standin::ReplaceLine;

namespace {

class WindowEnd : public RunTest {
 protected:
  // The window shown on the display; the log pane's length when the run ended is noted.
  Rig& Shown() {
    Rig& rig = Window();
    rig.form->show();
    EXPECT_TRUE(rig.Spin([&] { return rig.form->windowHandle() && rig.form->windowHandle()->isExposed(); }, 10s));
    QObject::connect(rig.form.get(), &TForm1::RunEnded, [this, &rig] { runLines = rig.form->Memo2->Lines().size(); });
    return rig;
  }
  // The run's end has been written (Copy report becomes usable then).
  bool Ended(Rig& rig, milliseconds deadline = 20s) {
    return rig.Spin([&] { return rig.form->BtnTest->isEnabled() && rig.form->BtnCopyReport->isEnabled(); }, deadline);
  }
  static size_t IndexOf(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }) -
        lines.begin());
  }
  size_t runLines = 0;
};

// An echo with the REGISTER's Via rewritten, as an ALG would.
Echo AlgOnRegister(const Datagram& d) {
  return Echo{true, d.Register() ? ReplaceLine(d.text, "Via: ", "Via: SIP/2.0/UDP 203.0.113.7:5060") : d.text, 0};
}

TEST_F(WindowEnd, summary_in_the_log_result_in_the_status_bar_and_the_panes_closed) {
  standin::ScriptedServer& p = StandIn();
  p.script = [](const Datagram& d, size_t) { return d.port == 5060 ? AlgOnRegister(d) : Echo{true, d.text, 0}; };
  Rig& rig = Shown();
  NotingForm& f = *rig.form;
  rig.ClickStart();
  // 5058 alone runs the NAT test: one report, then the announced one never comes.
  std::optional<Datagram> invite;
  ASSERT_TRUE(rig.Spin([&] {
    for (const Datagram& d : p.Datagrams())
      if (d.NatTest()) invite = d;
    return invite.has_value();
  }, 30s));
  ASSERT_TRUE(p.SendFrom(5058, invite->fromIp, invite->fromPort, "Sent after 1000 Next pkt after 2000 "));
  ASSERT_TRUE(Ended(rig));
  EXPECT_EQ(f.Result.End, TRunEnd::CountdownRanOut);

  EXPECT_EQ(f.MemoNat->Lines().back(), "No report after 2s on port 5058: the mapping was gone");
  EXPECT_EQ(f.MemoRTP->Lines().back().rfind("No RTP (audio) datagram from the server reached port " +
                                                std::to_string(f.RtpPort) + ": ", 0), 0u)
      << f.MemoRTP->Lines().back();
  const std::vector<std::string> log = From(f.Memo2, runLines);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], std::string(29, '-'));
  // The summary, then the advice.
  const size_t alg = IndexOf(log, "SIP ALG on port 5060: active (REGISTER: 1 header(s) changed, INVITE unchanged)");
  EXPECT_LT(alg, IndexOf(log, "Switch the router's SIP ALG off"));
  EXPECT_LT(IndexOf(log, "The NAT forgets an idle UDP mapping after 1 to 2 s (port 5058)"), log.size());
  EXPECT_EQ(f.StatusBar1->PanelText(1),
            "Result: no router tested (the server saw this computer's own address); see the log below");
  // The result stays while the window idles (TimerTCP goes on ticking).
  rig.Spin([] { return false; }, 1500ms);
  EXPECT_EQ(f.StatusBar1->PanelText(1).rfind("Result: ", 0), 0u);
  EXPECT_EQ(From(f.Memo2, runLines), log) << "written once";
}

TEST_F(WindowEnd, no_nat_report_ends_the_run_with_the_consoles_line_and_advice) {
  StandIn();  // echoes every probe, sends no NAT report
  Rig& rig = Shown();
  NotingForm& f = *rig.form;
  f.Run->NoNatReportSecs = 2;
  rig.ClickStart();
  ASSERT_TRUE(rig.Spin([&] { return f.StatusBar1->PanelText(1) ==
                                    "Waiting for the first NAT session report (the run ends without one after 2 s)"; },
                       30s));
  ASSERT_TRUE(Ended(rig, 40s));
  EXPECT_EQ(f.Result.End, TRunEnd::NoNatReport);
  EXPECT_EQ(f.MemoNat->Lines().back(),
            "No NAT session report within 2 s after the NAT session test INVITEs: UDP from the server does not come "
            "back through the router");
  EXPECT_FALSE(f.StopBtn->isEnabled());
  EXPECT_LT(IndexOf(From(f.Memo2, runLines), "Inbound UDP does not come back through the router: look at its firewall or \"UDP flood\" "
                         "protection, or forward the ports"),
            From(f.Memo2, runLines).size());
}

TEST_F(WindowEnd, refused_connection_box_then_the_sentence_in_the_log) {
  Rig& rig = Shown();  // nothing listens on the server's address
  NotingForm& f = *rig.form;
  size_t logAtBox = 0;
  rig.front.onBox = [&] { logAtBox = f.Memo2->Lines().size(); };
  rig.ClickStart();
  ASSERT_TRUE(Ended(rig, 10s));
  ASSERT_EQ(rig.front.boxes.size(), 1u);
  EXPECT_NE(rig.front.boxes[0].text.find("10061"), std::string::npos) << rig.front.boxes[0].text;
  const std::vector<std::string> log = From(f.Memo2, logAtBox);
  ASSERT_FALSE(log.empty()) << "nothing written after the box";
  EXPECT_EQ(log[0], "The server " + at + " was not reached on TCP port 80: the connection was refused.");
  EXPECT_LT(IndexOf(log, "Check the server's name and that its echo server runs"), log.size());
  EXPECT_EQ(f.StatusBar1->PanelText(0), "Link status: Not connected.");
  EXPECT_EQ(f.StatusBar1->PanelText(1), "Result: the echo server was not reached; see the log below");
}

TEST_F(WindowEnd, the_report_holds_the_second_run_alone) {
  std::atomic<int> run{1};
  standin::ScriptedServer& p = StandIn();
  // The first run sees an ALG on both ports and ends by itself; the second sees none.
  p.script = [&run](const Datagram& d, size_t) { return run == 1 ? AlgOnRegister(d) : Echo{true, d.text, 0}; };
  Rig& rig = Shown();
  NotingForm& f = *rig.form;
  f.Run->NoNatReportSecs = 1;
  rig.ClickStart();
  ASSERT_TRUE(Ended(rig, 30s));
  run = 2;
  f.BtnCopyReport->setEnabled(false);
  rig.ClickStart();
  ASSERT_TRUE(Ended(rig, 40s));

  QGuiApplication::clipboard()->clear();
  f.BtnCopyReport->click();
  const std::string report = QGuiApplication::clipboard()->text().toStdString();
  ExpectLines(cli::SplitLines(report.substr(0, report.find("\n\n"))),
              {"~NAT - SIP ALG tester \\S+", "~Run started: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}",
               "Local address: " + me, "Echo server: " + at + ":5060 (" + at + ")"});
  EXPECT_NE(report.find("\n  No ALG detected on port 5060. \n"), std::string::npos) << report;
  EXPECT_EQ(report.find("ALG active on port"), std::string::npos) << "a line of the first run\n" << report;
  EXPECT_EQ(report.find("Using SIP port 5058"), report.rfind("Using SIP port 5058")) << report;
}

// The test call in the window: its lines after the burst's, its chart beside the window, its
// table in the report; a run stopped while it sends claims nothing about the way out.
TEST_F(WindowEnd, a_call_shows_its_chart_and_a_stopped_one_is_cut_short) {
  TEchoServerConfig config = ShortConfig(at);
  config.CallMaxSeconds = 2;
  Serve(config);
  Rig& rig = Shown();
  NotingForm& f = *rig.form;
  rig.ClickStart();
  ASSERT_TRUE(Ended(rig, 40s));
  ASSERT_TRUE(f.Result.Call);
  EXPECT_EQ(f.Result.Call->Audio, TCallAudio::BothWays);
  const std::vector<std::string>& rtp = f.MemoRTP->Lines();
  EXPECT_LT(IndexOf(rtp, "RTP (audio) port " + std::to_string(f.RtpPort) + " working"), IndexOf(rtp, "Audio both ways"));
  EXPECT_LT(IndexOf(rtp, "Call quality receiving: MOS "), rtp.size());
  QWidget* chart = f.CallChartWindow;
  ASSERT_NE(chart, nullptr);
  EXPECT_TRUE(chart->isVisible());
  // A window of its own, minimized on its own, wholly on the screen.
  EXPECT_TRUE(chart->isWindow());
  EXPECT_EQ(chart->parentWidget(), nullptr);
  ASSERT_TRUE(rig.Spin([&] { return chart->windowHandle() && chart->windowHandle()->isExposed(); }, 10s));
  EXPECT_TRUE(chart->screen()->availableGeometry().contains(chart->frameGeometry())) << chart->x() << "," << chart->y();
  EXPECT_EQ(f.ResultCard->RowText(TRunAnswer::TTopic::CallQuality).rfind("Call quality: MOS ", 0), 0u)
      << f.ResultCard->RowText(TRunAnswer::TTopic::CallQuality);
  QGuiApplication::clipboard()->clear();
  f.BtnCopyReport->click();
  const std::string report = QGuiApplication::clipboard()->text().toStdString();
  EXPECT_NE(report.find("Test call per second (the window's chart):\n  Second  Loss sending"), std::string::npos) << report;
  EXPECT_NE(report.find("\n       2         0.0 %"), std::string::npos) << report;

  rig.ClickStart();
  const auto calls = [&] {
    const auto& l = f.MemoRTP->Lines();
    return std::count_if(l.begin(), l.end(), [](const std::string& s) { return s.rfind("Test call: 2 s", 0) == 0; });
  };
  ASSERT_TRUE(rig.Spin([&] { return calls() == 2; }, 30s));
  rig.ClickStop();
  ASSERT_TRUE(Ended(rig, 20s));
  ASSERT_TRUE(f.Result.Call);
  EXPECT_EQ(f.Result.Call->NotTested, TCallNotTested::Stopped);
  // After the second call's start: the cut (and, where audio came back meanwhile, its quality).
  const auto& l = f.MemoRTP->Lines();
  const auto second = std::find_if(l.rbegin(), l.rend(), [](const std::string& s) { return s.rfind("Test call: 2 s", 0) == 0; });
  ASSERT_NE(second, l.rend());
  EXPECT_EQ(IndexOf(std::vector<std::string>(second.base(), l.end()), "Test call cut short"), 0u) << l.back();
}

}  // namespace
