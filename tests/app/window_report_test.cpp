// What the window says once a run is over: the advice after the run's lines in the log pane,
// and the report that "Copy report" puts on the clipboard.
#include <QClipboard>
#include <QGuiApplication>
#include <gtest/gtest.h>

#include "tests/app/RunSupport.h"

using namespace runs;
using standin::Datagram;
using standin::Echo;
using standin::ReplaceLine;
using standin::ScriptedServer;

namespace {

class WindowReport : public RunTest {};

const std::string kNames =
    "The setting is usually called \"SIP ALG\"; it may also be called \"SIP helper\", \"SIP passthrough\" or \"SIP "
    "fixup\".";
const std::string kAgain = "Run the test again after the change; some routers apply it only after a restart.";

TEST_F(WindowReport, advice_follows_the_run_and_the_report_holds_it_all) {
  struct Row {
    const char* name;
    bool algOnBothPorts;  // else no ALG, and the user stops the run during the NAT test
    std::vector<std::string> advice;  // lines that follow the run's lines in the log pane
    std::vector<std::string> report;  // lines the copied report holds
  };
  const Row rows[] = {
      {"an ALG on both ports ends the run by itself",
       true,
       {"~Switch the router's SIP ALG off.*", kNames,
        "Where the ALG cannot be switched off, SIP over TLS avoids it: the router cannot read encrypted messages.", kAgain},
       {"Summary:", "  SIP ALG on port 5060: active (REGISTER: 1 header(s) changed, INVITE unchanged)", "Advice:",
        "  " + kNames, "SIP ALG pane:", "  ALG active on port 5058. 1 header(s) changed", "Log pane:", "  " + kAgain}},
      {"no ALG, stopped by the user: nothing to advise",
       false,
       {},
       {"Summary:", "  SIP ALG on port 5058: none seen (REGISTER and INVITE came back unchanged)",
        "  NAT time-out on port 5060: not measured, no NAT report came back", "NAT pane:"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    ScriptedServer& p = StandIn();
    if (row.algOnBothPorts)
      p.script = [](const Datagram& d, size_t) {
        return Echo{true, d.Register() ? ReplaceLine(d.text, "Via: ", "Via: SIP/2.0/UDP 203.0.113.7:5060") : d.text, 0};
      };
    Rig& rig = Window();
    NotingForm& f = *rig.form;
    size_t runLines = 0;  // the log pane's lines when the run ended
    QObject::connect(&f, &TForm1::RunEnded, [&] { runLines = f.Memo2->Lines().size(); });
    rig.ClickStart();
    EXPECT_FALSE(f.BtnCopyReport->isEnabled()) << "nothing to report before a run has ended";
    ASSERT_TRUE(rig.WaitSequence());
    if (!row.algOnBothPorts) {
      ASSERT_TRUE(f.LastReport.NatTestStarted());
      rig.ClickStop();
    }
    ASSERT_TRUE(rig.WaitRunEnd(10s));
    ASSERT_TRUE(rig.Spin([&] { return f.BtnCopyReport->isEnabled(); }, 5s));
    ASSERT_GT(runLines, 0u);
    ExpectLines(From(f.Memo2, runLines), row.advice);
    // Once per run: a later turn of the loop adds nothing.
    rig.Spin([] { return false; }, 50ms);
    ExpectLines(From(f.Memo2, runLines), row.advice);

    QGuiApplication::clipboard()->clear();
    f.BtnCopyReport->click();
    const std::string report = QGuiApplication::clipboard()->text().toStdString();
    ASSERT_FALSE(report.empty()) << "the offscreen platform keeps a clipboard";
    EXPECT_EQ(report.rfind("NAT - SIP ALG tester ", 0), 0u) << report;
    for (const std::string& l : row.report)
      EXPECT_NE(report.find("\n" + l + "\n"), std::string::npos) << l << "\n" << report;
    EXPECT_EQ(report.find("Advice:") != std::string::npos, !row.advice.empty()) << report;
  }
}

}  // namespace
