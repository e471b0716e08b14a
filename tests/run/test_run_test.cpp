// The run object without a window: driven as a front drives it (Start, ticks, Stop), against a
// stand-in for its network, with every event it reports noted in order.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "net/IdException.h"
#include "run/TestRun.h"
#include "tests/support/ControlWire.h"
#include "tests/support/Loopback.h"

namespace {

const std::string kServer = "192.0.2.80";

// The network of a run: binds that fail on the ports in `busy`, a router, a control connection
// that is refused or opens, and a server that echoes every datagram unchanged over it.
struct FakeIo : TRunIo, support::ControlWire {
  std::set<int> busy;
  bool refuse = false;
  std::string token = "tok123";
  std::string vendorLine = "Downloading MAC list... ";
  int routerLookups = 0;
  std::map<TRunSocket, int> bound;
  std::vector<std::string> sent;
  std::string host;
  bool connected = false;
  TBackgroundCall call;

  void PrepareSockets(const std::string&) override { bound.clear(); }
  bool BindSocket(TRunSocket s, int port) override {
    if (busy.count(port)) return false;
    bound[s] = port;
    return true;
  }
  TGatewayInfo FindRouter(const TLineSink& line) override {
    ++routerLookups;
    line("Router IP: 192.168.1.1");
    return {"192.168.1.1", "001A2B3C4D5E"};
  }
  std::optional<std::string> FindVendor(const std::string&, const std::string&, const TLineSink& line,
                                        const TIdTransferLimits&, const TLineSink&) override {
    line(vendorLine);
    return std::nullopt;
  }
  void PrepareControl(const std::string& h) override { host = h; }
  void ConnectControl(int) override {
    buffered.clear();  // a new connection
    input_->LinkStatus("Connecting to " + host + ".");
    if (refuse) throw EIdSocketError(10061, "Socket Error # 10061\r\nConnection refused.");
    connected = true;
    input_->LinkStatus("Connected.");
    input_->LinkConnected();
  }
  std::string ControlPeer() override { return kServer; }
  void Disconnect() override {
    if (!connected) return;
    connected = false;
    input_->LinkStatus("Disconnecting.");
    input_->LinkDisconnected();
    input_->LinkStatus("Disconnected.");
  }
  void ControlWrite(const std::string&) override { buffered += Scramble(token) + GreetingTerminator(); }
  std::string ControlReadLine(const std::string& terminator, int timeoutMs) override {
    return ReadLine(terminator, timeoutMs);
  }
  void LocalBinding(TSipSocket s, std::string& ip, int& port) override {
    ip = "10.0.0.2";
    port = bound[s == TSipSocket::Sip5060 ? TRunSocket::Sip5060 : TRunSocket::Sip5058];
  }
  void SendDatagram(TSipSocket s, const std::string&, int port, const std::string& text) override {
    sent.push_back(text);
    int local = 0;
    std::string ip;
    LocalBinding(s, ip, local);
    EchoDatagram(text, port, "203.0.113.9:" + std::to_string(local));
  }
  std::optional<int> TcpSipOpen(const std::string&, int, int, std::string& failure) override {
    failure = "the connection was refused";
    return std::nullopt;
  }
  void TcpSipWrite(const std::string&) override {}
  bool TcpSipClosedByPeer() override { return true; }
  void TcpSipClose() override {}
  void Sleep(int) override {}
  int64_t NowMs() override { return now; }
  TBackgroundCall& Call() override { return call; }
  TBackgroundCall::TSend RtpSender(const std::string&, int) override {
    return [](const std::string&) {};
  }
  void ResetNatTimeout() override {}
  TNatTimeoutProgress NatTimeoutProgress() override { return {}; }
  void StopNatTimeout() override {}
};

// Every event of the run, as "KIND text", in order.
struct Noted : TRunObserver {
  std::vector<std::string> events;
  std::optional<TRunReport> report;
  static const char* Name(TPane p) { return p == TPane::Sip ? "SIP" : p == TPane::Nat ? "NAT" : p == TPane::Rtp ? "RTP" : "LOG"; }
  void PaneLine(TPane pane, const std::string& line) override { events.push_back(std::string(Name(pane)) + " " + line); }
  void LinkStatus(const std::string& text) override { events.push_back("STATUS " + text); }
  void Waiting(const std::string& what) override { events.push_back("WAIT " + what); }
  void ReportWait(const std::string& text) override { events.push_back("REPORTWAIT " + text); }
  void ControlChanged(TRunControl c, bool on) override {
    const char* names[] = {"Start", "Stop", "Router", "Countdown"};
    events.push_back(std::string("CONTROL ") + names[static_cast<int>(c)] + (on ? " on" : " off"));
  }
  void CountdownCaption(const std::string& caption) override { events.push_back("CAPTION " + caption); }
  void NatInvitesSent() override { events.push_back("INVITES"); }
  void ErrorRaised(const std::string& text) override { events.push_back("ERROR " + text); }
  void Message(const std::string& text) override { events.push_back("MESSAGE " + text); }
  void ProgramEnds() override { events.push_back("PROGRAM ENDS"); }
  void RunOver() override { events.push_back("OVER"); }
  void Answer(const TRunAnswer& a) override { events.push_back("ANSWER " + a.Text); }
  void RunReported(const TRunReport& r) override {
    events.push_back("REPORTED");
    report = r;
  }
  // The events that begin with `kind`, in order.
  std::vector<std::string> Of(const std::string& kind) const {
    std::vector<std::string> out;
    for (const std::string& e : events)
      if (e.rfind(kind + " ", 0) == 0 || e == kind) out.push_back(e);
    return out;
  }
  size_t IndexOf(const std::string& event) const {
    return static_cast<size_t>(std::find(events.begin(), events.end(), event) - events.begin());
  }
};

class RunObject : public ::testing::Test {
 protected:
  void SetUp() override {
    run.Subscribe(&noted);
    // The tests tick by hand.
    run.Timer1->setInterval(3600 * 1000);
    run.TimerTCP->setInterval(3600 * 1000);
  }
  void Click(const std::function<void()>& handler) { run.Step(handler); }
  void StartAndSequence() {
    Click([&] { run.Start("10.0.0.2", kServer); });
    ASSERT_TRUE(run.TimerTCP->Enabled());
    Click([&] { run.SequenceTick(); });
    ASSERT_EQ(run.Result.Sequence.Outcome, TSequenceReport::TOutcome::Completed);
  }
  // The event loop runs until the run's report is out.
  bool Reported() {
    return support::WaitUntil([&] { return noted.report.has_value(); }, std::chrono::seconds(5),
                              [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
  }

  FakeIo* io = new FakeIo;
  TTestRun run{std::unique_ptr<TRunIo>(io)};
  Noted noted;
};

TEST_F(RunObject, a_whole_run_ends_when_its_countdown_runs_out_and_reports_once) {
  ASSERT_NO_FATAL_FAILURE(StartAndSequence());
  EXPECT_EQ(noted.Of("CONTROL Stop"), std::vector<std::string>{"CONTROL Stop on"}) << "usable once the INVITEs are out";
  EXPECT_LT(noted.IndexOf("NAT  Checking NAT session timeout"), noted.IndexOf("INVITES"));
  EXPECT_EQ(noted.Of("ANSWER"), std::vector<std::string>{"ANSWER SIP ALG: none seen"}) << "known once the checks are done";
  // A report from the server's 5060 that announces the next after 2 s: a countdown of 4.
  run.SipDatagram(5060, "Sent after 1000 Next pkt after 2000 ", 5060);
  EXPECT_EQ(noted.Of("CAPTION").back(), "CAPTION 4");
  run.Result.Nat[5060].LastAtMs -= 10'000;  // as if it came 10 s ago: the next is overdue by the end
  EXPECT_TRUE(run.Timer1->Enabled());
  for (const char* caption : {"3", "2", "1", "0"}) {
    Click([&] { run.CountdownTick(); });
    EXPECT_EQ(noted.Of("CAPTION").back(), std::string("CAPTION ") + caption);
  }
  EXPECT_EQ(run.Result.End, TRunEnd::Open);
  Click([&] { run.CountdownTick(); });
  EXPECT_EQ(run.Result.End, TRunEnd::CountdownRanOut);
  EXPECT_FALSE(run.Timer1->Enabled());
  EXPECT_EQ(noted.Of("OVER").size(), 1u) << "announced once the tick is over";
  EXPECT_EQ(noted.Of("STATUS").back(), "STATUS Link status: Disconnected.");
  ASSERT_TRUE(Reported());
  // The closing lines after the announcement, then the answers, then the report.
  const size_t over = noted.IndexOf("OVER");
  const size_t gone = noted.IndexOf("NAT No report after 2s on port 5060: the mapping was gone");
  EXPECT_LT(over, gone);
  const std::vector<std::string> answers = noted.Of("ANSWER");
  ASSERT_EQ(answers.size(), 5u) << "the ALG's again, with the other three";
  const size_t last = noted.events.size() - 1;
  EXPECT_EQ(std::vector<std::string>(noted.events.end() - 5, noted.events.end()),
            (std::vector<std::string>{answers[1], answers[2], answers[3], answers[4], "REPORTED"}));
  EXPECT_LT(gone, last - 4);
  const TRunReport& r = *noted.report;
  EXPECT_TRUE(r.Final);
  EXPECT_EQ(r.ServerHost, kServer);
  EXPECT_EQ(r.ServerAddress, kServer);
  EXPECT_EQ(r.LocalIp, "10.0.0.2");
  EXPECT_EQ(r.PaneLines(TPane::Nat).back(), "No report after 2s on port 5060: the mapping was gone");
  EXPECT_EQ(r.PaneLines(TPane::Sip).front(), "Using SIP port 5058");
  EXPECT_EQ(SummaryLines(r.Summary), SummaryLines(run.Report().Summary)) << "the same value afterwards";
  // A later report of the run's server changes the run no more.
  Click([&] { run.CountdownTick(); });
  EXPECT_EQ(noted.Of("REPORTED").size(), 1u);
}

TEST_F(RunObject, starts_that_end_early) {
  struct Row {
    const char* name;
    std::set<int> busy;
    bool refuse;
    std::vector<std::string> expected;  // events of these kinds, in order
    TRunEnd end;
    int routerLookups;
  };
  std::set<int> everything;
  for (int p = 5058; p >= 5058 - 200; p -= 2) everything.insert(p);
  const std::string refused = "Socket Error # 10061\r\nConnection refused.";
  const Row rows[] = {
      {"the control connection refused", {}, true,
       {"CONTROL Start on", "ERROR " + refused, "OVER", "STATUS Link status: Not connected.", "REPORTED"},
       TRunEnd::ServerNotReached, 1},
      {"no SIP port to bind: the program ends after the 101st attempt", everything, false,
       {"MESSAGE Cannot bind a socket after 100 attempts. Exiting...", "PROGRAM ENDS", "OVER", "REPORTED"},
       TRunEnd::Error, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeIo* fake = new FakeIo;
    fake->busy = row.busy;
    fake->refuse = row.refuse;
    TTestRun r{std::unique_ptr<TRunIo>(fake)};
    Noted seen;
    r.Subscribe(&seen);
    r.Step([&] { r.Start("10.0.0.2", kServer); });
    ASSERT_TRUE(support::WaitUntil([&] { return seen.report.has_value(); }, std::chrono::seconds(5),
                                   [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }));
    std::vector<std::string> kinds;
    for (const std::string& e : seen.events)
      for (const char* k : {"ERROR", "MESSAGE", "PROGRAM", "OVER", "REPORTED", "CONTROL Start on", "STATUS Link status: Not"})
        if (e.rfind(k, 0) == 0) kinds.push_back(e);
    EXPECT_EQ(kinds, row.expected);
    EXPECT_EQ(r.Result.End, row.end);
    EXPECT_EQ(fake->routerLookups, row.routerLookups);
    EXPECT_FALSE(r.StartPending);
  }
}

// A port in use moves each search on by its step; the RTP port found is the run's.
TEST_F(RunObject, held_ports_move_each_search_by_its_step) {
  io->busy = {5058, 5056, 5060, 5004};
  Click([&] { run.Start("10.0.0.2", kServer + ":5070"); });
  EXPECT_EQ(io->bound.at(TRunSocket::Sip5058), 5054);
  EXPECT_EQ(io->bound.at(TRunSocket::Sip5060), 5062);
  EXPECT_EQ(run.RtpPort, 5006);
  EXPECT_EQ(run.ServerPort, 5070);
  EXPECT_EQ(noted.Of("RTP"), (std::vector<std::string>{"RTP Cannot use port 5004", "RTP Using RTP port 5006"}));
  EXPECT_EQ(noted.Of("SIP")[2], "SIP Using SIP port 5054");
}

// A text with line breaks reaches the fronts and the report as the lines a pane holds of it.
TEST_F(RunObject, a_text_with_line_breaks_is_one_line_per_piece) {
  io->vendorLine = std::string("a\r\nb\rc\n\0d", 9);
  Click([&] { run.Start("10.0.0.2", kServer); });
  const std::vector<std::string> pieces = {"a", "b", "c", std::string("\0d", 2)};
  auto sip = noted.Of("SIP");
  sip.erase(sip.begin(), sip.begin() + 3);  // the ports and the router
  EXPECT_EQ(std::vector<std::string>(sip.begin(), sip.begin() + 4),
            (std::vector<std::string>{"SIP a", "SIP b", "SIP c", std::string("SIP \0d", 6)}));
  const auto lines = run.Report().PaneLines(TPane::Sip);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 7), pieces);
}

// Steps: a wait shown during one is cleared at its end; an error ends it with its report text,
// a stop asked for by a signal without one.
TEST_F(RunObject, a_step_clears_its_wait_and_reports_its_error) {
  Click([&] { throw EIdException("Read Timeout"); });
  Click([&] { throw EIdStopRequested(); });
  EXPECT_EQ(noted.Of("ERROR"), std::vector<std::string>{"ERROR Read Timeout."});
  Click([&] { run.Start("10.0.0.2", kServer); });
  const auto waits = noted.Of("WAIT");
  ASSERT_GE(waits.size(), 2u);
  EXPECT_EQ(waits.front(), "WAIT Looking up the router");
  EXPECT_EQ(waits.back(), "WAIT ");
  EXPECT_FALSE(run.InStep());
}

// RTP counts only from the address the control connection reached; NAT reports count until Stop.
TEST_F(RunObject, datagrams_count_from_the_run_and_until_stop) {
  ASSERT_NO_FATAL_FAILURE(StartAndSequence());
  run.RtpDatagram("192.0.2.81");  // another address of the same network
  run.RtpDatagram(kServer);
  EXPECT_EQ(run.Result.RtpPackets, 1);
  run.SipDatagram(5058, "Sent after 3000 ", 5058);
  Click([&] { run.Stop(); });
  run.SipDatagram(5060, "Sent after 4000 Next pkt after 9000 ", 5060);
  EXPECT_EQ(noted.Of("NAT").back(), "NAT NAT session on port 5058 ok after 3s");
  EXPECT_EQ(run.Result.End, TRunEnd::Stopped);
  EXPECT_EQ(run.Result.Nat.count(5060), 0u);
}

// Without a NAT session report the run gives up after its wait, with the line that says why.
TEST_F(RunObject, no_report_ends_the_run_after_its_wait_and_a_report_cancels_it) {
  run.NoNatReportSecs = 0;
  ASSERT_NO_FATAL_FAILURE(StartAndSequence());
  ASSERT_TRUE(Reported());
  EXPECT_EQ(run.Result.End, TRunEnd::NoNatReport);
  EXPECT_EQ(noted.Of("REPORTWAIT").front(),
            "REPORTWAIT Waiting for the first NAT session report (the run ends without one after 0 s)");
  EXPECT_LT(noted.IndexOf("NAT No NAT session report within 0 s after the NAT session test INVITEs: UDP from the "
                          "server does not come back through the router"),
            noted.IndexOf("OVER"));

  // The next run: its first report ends the wait.
  run.NoNatReportSecs = 3600;
  noted = Noted();
  ASSERT_NO_FATAL_FAILURE(StartAndSequence());
  ASSERT_TRUE(support::WaitUntil([&] { return !noted.Of("REPORTWAIT").empty(); }, std::chrono::seconds(5),
                                 [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }));
  run.SipDatagram(5060, "Sent after 1000 Next pkt after 60000 ", 5060);
  EXPECT_EQ(noted.Of("REPORTWAIT").back(), "REPORTWAIT ");
  EXPECT_EQ(run.Result.End, TRunEnd::Open);
}

// The run's timers and queued calls need an application object.
class CoreApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "nat_tests_run";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QCoreApplication> app_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new CoreApplication);

}  // namespace
