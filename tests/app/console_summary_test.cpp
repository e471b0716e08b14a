// The console front's summary at the end of scripted runs, and runs ended by SIGINT or SIGTERM:
// the front as a program against a scripted stand-in for the echo server, which sends the NAT
// session reports a row asks for once the front printed what the row waits for.
#include <gtest/gtest.h>

#include "app/CliFront.h"
#include "tests/app/CliSupport.h"
#include "tests/app/RunSupport.h"

using namespace cli;
using namespace runs;
using standin::Datagram;
using standin::Echo;
using standin::ReplaceLine;
using standin::ScriptedServer;

namespace {

class ConsoleSummary : public RunTest {
 protected:
  // The window socket that sent the NAT session test INVITEs to the stand-in's `port`, once they came.
  std::optional<Datagram> NatInvitesTo(int port) {
    std::optional<Datagram> found;
    support::WaitUntil(
        [&] {
          for (const Datagram& d : standIn->Datagrams())
            if (d.NatTest() && d.port == port) found = d;
          return found.has_value();
        },
        15s);
    return found;
  }
};

TEST_F(ConsoleSummary, summary_of_scripted_runs_and_of_interrupted_ones) {
  struct Report {
    int port;            // the stand-in's port it leaves from, towards the socket that tested it
    std::string text;
    std::string shown;   // the line the front prints for it
  };
  struct Row {
    const char* name;
    std::function<void(ScriptedServer&)> setUp;  // null: every probe echoed unchanged
    std::vector<int> natPorts;                   // NAT session tests to wait for
    std::vector<Report> reports;                 // sent one after the other, each once the last was shown
    int signal;                                  // 0: the run ends by itself
    bool json;
    int status;
    std::vector<std::string> lines;              // lines the output holds; with --json, the summary's lines
    std::string end;                             // with --json: how the run ended
    std::vector<std::string> advice;             // with --json: advice lines it holds
  };
  auto algOn5060 = [](ScriptedServer& p) {
    p.script = [](const Datagram& d, size_t) {
      const bool change = d.Register() && d.port == 5060;
      return Echo{true, change ? ReplaceLine(d.text, "Via: ", "Via: SIP/2.0/UDP 203.0.113.7:5060") : d.text, 0};
    };
  };
  const Row rows[] = {
      {"one bracket closed by the countdown, another port's next report not due when it ran out",
       nullptr,
       {5060, 5058},
       {{5058, "Sent after 3000 Next pkt after 9000 ", "[NAT] Checking port 5058 after 9s ..."},
        {5060, "Sent after 1000 Next pkt after 2000 ", "[NAT] Checking port 5060 after 2s ..."}},
       0,
       false,
       0,
       {"[RESULT] Echo server: reached over TCP and UDP",
        "[RESULT] SIP ALG on port 5060: none seen (REGISTER and INVITE came back unchanged)",
        "[RESULT] NAT time-out on port 5060: held 1 s idle, gone by 2 s",
        "[RESULT] NAT time-out on port 5058: held at least 3 s (the run ended before the 9 s report was due)",
        "[RESULT] Exit status 0: the checks ran and none saw an ALG"},
       "",
       {}},
      {"SIGINT during a long wait: the run stops, with what held so far",
       nullptr,
       {5060, 5058},
       {{5060, "Sent after 2000 Next pkt after 60000 ", "[WAIT] next NAT report on port 5060 expected in 60 s"}},
       SIGINT,
       false,
       0,
       {"[NAT] Checking port 5060 after 60s ...", "[STATUS] Link status: Disconnected.",
        "[RESULT] NAT time-out on port 5060: held at least 2 s (the run ended before the 60 s report was due)",
        "[RESULT] NAT time-out on port 5058: not measured, no NAT report came back",
        "[RESULT] Exit status 0: the checks ran and none saw an ALG"},
       "",
       {}},
      {"SIGTERM with --json after an ALG on 5060: stopped, and the ALG decides the status",
       algOn5060,
       {5058},
       {},
       SIGTERM,
       true,
       1,
       {"SIP ALG on port 5060: active (REGISTER: 1 header(s) changed, INVITE unchanged)",
        "SIP ALG on port 5058: none seen (REGISTER and INVITE came back unchanged)",
        "NAT time-out on port 5060: not measured (the port showed an ALG)",
        "NAT time-out on port 5058: not measured, no NAT report came back", "Exit status 1: a check saw an ALG"},
       "stopped",
       {"The setting is usually called \"SIP ALG\"; it may also be called \"SIP helper\", \"SIP passthrough\" or \"SIP "
        "fixup\".",
        "Port 5058 passed untouched: the ALG handles port 5060 only, so a provider's other SIP port (such as 5058), or "
        "SIP over TLS, avoids it where the ALG cannot be switched off."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    ScriptedServer& p = StandIn();
    if (row.setUp) row.setUp(p);
    p.Start();
    QStringList args{"--local-ip", QString::fromStdString(me), "--max-seconds", "120", QString::fromStdString(at)};
    if (row.json) args.prepend("--json");
    LiveCli cli(args);
    ASSERT_TRUE(cli.Started());

    std::map<int, Datagram> tested;  // by the stand-in's port
    for (int port : row.natPorts) {
      const auto d = NatInvitesTo(port);
      ASSERT_TRUE(d) << "no NAT session test INVITEs to " << port;
      tested.emplace(port, *d);
    }
    for (const Report& r : row.reports) {
      const Datagram& to = tested.at(r.port);
      ASSERT_TRUE(p.SendFrom(r.port, to.fromIp, to.fromPort, r.text));
      ASSERT_TRUE(cli.WaitForLine(r.shown, 10s)) << r.shown;
    }
    if (row.signal) cli.Signal(row.signal);
    const CliRun run = cli.Finish(30000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    if (row.signal) {
      EXPECT_NE(run.err.find("stopping the run"), std::string::npos) << "the signal is noted at once: " << run.err;
    }
    // Standard output is no terminal here: no countdown in place, only whole lines.
    EXPECT_EQ(run.out.find_first_of("\r\033"), std::string::npos);

    if (row.json) {
      std::string error;
      const QJsonObject root = ParseJson(run.out, error);
      ASSERT_EQ(error, "") << run.out;
      EXPECT_EQ(root["end"].toString().toStdString(), row.end);
      EXPECT_EQ(root["exit_status"].toInt(-1), row.status);
      const auto summary = Strings(root["summary"].toObject()["lines"]);
      for (const std::string& l : row.lines)
        EXPECT_NE(std::find(summary.begin(), summary.end(), l), summary.end()) << l << "\n" << run.out;
      const auto advice = Strings(root["advice"]);
      for (const std::string& l : row.advice)
        EXPECT_NE(std::find(advice.begin(), advice.end(), l), advice.end()) << l << "\n" << run.out;
      continue;
    }
    for (const std::string& l : row.lines) EXPECT_TRUE(run.Has(l)) << l << "\n" << run.out;
    // The summary comes last, once, after every line of the run.
    const auto lines = run.Lines();
    const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[RESULT] ", 0) == 0; });
    ASSERT_NE(first, lines.end());
    EXPECT_TRUE(std::all_of(first, lines.end(), [](const std::string& l) {
      return l.rfind("[RESULT] ", 0) == 0 || l.rfind("[ADVICE] ", 0) == 0;
    })) << run.out;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[RESULT] Router: ", 0) == 0; }), 1);
    for (const Report& r : row.reports)
      if (r.shown.rfind("[WAIT] ", 0) == 0) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), r.shown), 1) << "a wait is announced once";
      }
  }
}

// SIGINT while a step holds the window (a stalled vendor list, a connect that is never taken,
// a probe whose echo never comes): the step gives up at once, and the summary follows.
TEST_F(ConsoleSummary, a_signal_ends_the_step_under_way_at_once) {
  struct Row {
    const char* name;
    std::function<void(ScriptedServer&)> setUp;  // null: connects to the server are never taken
    std::string waitFor;                         // the line after which the signal comes
    std::string exitLine;
  };
  const std::string stopped = "[RESULT] Exit status 3: the run was stopped before its checks were done";
  const Row rows[] = {
      {"the vendor list's server answers nothing (it would be given up on after 30 s)",
       [](ScriptedServer& p) { p.httpReply = ""; }, "[SIP] Downloading MAC list... ", stopped},
      {"the control connection is never taken", nullptr, "[SIP] Connecting to remote server... ", stopped},
      {"no echo of the first probe (six sends, 9 s)",
       [](ScriptedServer& p) { p.script = [](const Datagram& d, size_t) { return Echo{false, d.text, 0}; }; },
       "[LOG] Checking from local port 5060 to remote port 5060 ...", stopped},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    std::optional<support::FullBacklogListener> silent;
    if (row.setUp) {
      ScriptedServer& p = StandIn();
      row.setUp(p);
      p.Start();
    } else {
      silent.emplace(at, 80);
      if (!silent->Full()) GTEST_SKIP() << "could not fill the listener's accept queue";
    }
    LiveCli cli({"--local-ip", QString::fromStdString(me), QString::fromStdString(at)});
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(cli.WaitForLine(row.waitFor, 20s)) << row.waitFor;
    cli.Signal(SIGINT);
    const CliRun run = cli.Finish(5000);
    ASSERT_TRUE(run.finished) << run.out;
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_TRUE(run.Has(row.exitLine)) << run.out;
    EXPECT_FALSE(run.Has("[ERROR] Stopped.")) << run.out;
    // The stop is no failure of the step it ended.
    EXPECT_EQ(run.out.find("Exception in HTTP connection", run.out.find(row.waitFor)), std::string::npos) << run.out;
  }
}

}  // namespace
