#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/XorUnit.h"
#include "probes/Sequencer.h"

namespace {

// A control connection and a server on the other side of the router, scripted per test:
// `route` decides what the server receives of each datagram (nullopt: it is lost).
struct FakeRun : TSequencerIo {
  std::string token = "tok123";
  std::string afterGreeting;  // what the server sends after the greeting's answer (scrambled)
  std::function<std::optional<std::string>(const std::string& datagram, TSipSocket from, int sendNo)> route =
      [](const std::string& d, TSipSocket, int) { return d; };

  std::string buffered;  // unscrambled view is not kept: bytes exactly as on the wire
  std::vector<std::pair<TPane, std::string>> lines;
  struct Sent { TSipSocket from; std::string host; int port; std::string text; };
  std::vector<Sent> sent;
  int disconnects = 0, natStarted = 0, sleptMs = 0;

  void AddLine(TPane pane, const std::string& line) override { lines.emplace_back(pane, line); }
  void ControlWrite(const std::string& bytes) override {
    EXPECT_EQ(bytes, std::string("GET 5060\0", 9));
    buffered += Scramble(token) + GreetingTerminator() + afterGreeting;
  }
  std::string ControlReadLine(const std::string& terminator, int timeoutMs) override {
    EXPECT_GT(timeoutMs, 0);
    EXPECT_LE(timeoutMs, 2000);
    const size_t p = buffered.find(terminator);
    if (p == std::string::npos) return "";
    std::string line = buffered.substr(0, p);
    buffered.erase(0, p + terminator.size());
    return line;
  }
  void Disconnect() override { ++disconnects; }
  void LocalBinding(TSipSocket s, std::string& ip, int& port) override {
    ip = "10.0.0.2";
    port = s == TSipSocket::Sip5060 ? 5060 : 5056;
  }
  void SendDatagram(TSipSocket s, const std::string& host, int port, const std::string& text) override {
    sent.push_back({s, host, port, text});
    if (auto got = route(text, s, static_cast<int>(sent.size())))
      buffered += Scramble("UDP " + std::to_string(port) + " from 203.0.113.9\r\n" + *got) + EchoTerminator();
  }
  void Sleep(int ms) override { sleptMs += ms; }
  void NatTestStarted() override { ++natStarted; }

  // The pane's lines, or those of them that hold `part`.
  std::vector<std::string> Pane(TPane p, std::string_view part = {}) const {
    std::vector<std::string> out;
    for (const auto& [pane, l] : lines)
      if (pane == p && l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }
};

TSequenceReport RunSequence(FakeRun& io, int serverPort = 5060) {
  TSipProbe probe;
  TNatAges ages{7, 9};
  int rtp = 5, prev = 3;
  TSequenceReport r;
  RunTestSequence(io, probe, {"echo.test", serverPort, 5006}, ages, rtp, prev, r);
  if (r.Outcome == TSequenceReport::TOutcome::Completed) {
    EXPECT_EQ(rtp, 0);
    EXPECT_EQ(prev, 0);
  }
  return r;
}

TEST(TestSequence, clean_path_reports_no_alg_and_starts_nat_test_on_both_ports) {
  FakeRun io;
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_EQ(io.Pane(TPane::Sip),
            (std::vector<std::string>{"----------------------------", " Checking REGISTERs...",
                                      "No ALG detected on port 5060. ", "No ALG detected on port 5058. ",
                                      "----------------------------", " Checking INVITEs...",
                                      "No ALG detected on port 5060. ", "No ALG detected on port 5058. "}));
  const auto log = io.Pane(TPane::Log);
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], ".");
  EXPECT_EQ(log[1], "Checking from local port 5060 to remote port 5060 ...");
  EXPECT_EQ(log[2], "UDP 5060 from 203.0.113.9");
  EXPECT_EQ(log[3], "Request URI check: OK");
  EXPECT_EQ(log[9], ".");
  EXPECT_EQ(log[10], "Checking from local port 5056 to remote port 5058 ...");
  EXPECT_EQ(log[log.size() - 2], "Checking NAT timeout on port 5060. Up to 5 minutes needed...");
  EXPECT_EQ(log.back(), "Checking NAT timeout on port 5058. Up to 5 minutes needed...");
  EXPECT_EQ(io.Pane(TPane::Nat), (std::vector<std::string>{std::string(29, '-'), " Checking NAT session timeout",
                                                           std::string(29, ' ')}));
  // 4 probes, then six NAT INVITEs per socket, 100 ms apart.
  ASSERT_EQ(io.sent.size(), 16u);
  for (int i = 4; i < 10; ++i) {
    EXPECT_EQ(io.sent[i].from, TSipSocket::Sip5060);
    EXPECT_NE(io.sent[i].text.find("To: \"Velmor\" <sip:check_nat_timeout@"), std::string::npos);
    EXPECT_NE(io.sent[i].text.find("m=audio 5004 RTP/AVP 8 18"), std::string::npos);
  }
  for (int i = 10; i < 16; ++i) {
    EXPECT_EQ(io.sent[i].port, 5058);
    EXPECT_NE(io.sent[i].text.find("m=audio 5006 RTP/AVP 8 18"), std::string::npos);  // the RTP socket's port
  }
  EXPECT_EQ(io.sleptMs, 1200);
  EXPECT_EQ(io.natStarted, 1);
  EXPECT_EQ(io.disconnects, 0);
  EXPECT_TRUE(r.Nat5060 && r.Nat5058);
  EXPECT_EQ(r.Token, "tok123");
  EXPECT_NE(io.sent[0].text.find("Call-ID:tok123@10.0.0.2\r\n"), std::string::npos);
}

TEST(TestSequence, missing_answers_end_the_run_with_failure_lines) {
  const std::vector<std::string> noTcp = {"No TCP packet received by remote server.",
                                          "Please, check your firewall settings."};
  struct Row {
    const char* name;
    std::string token;
    std::string afterGreeting;
    bool dropUdp;
    TSequenceReport::TOutcome outcome;
    std::vector<std::string> sipLines;
    size_t sends;
  };
  const Row rows[] = {
      {"greeting answered with the terminator alone", "", "", false, TSequenceReport::TOutcome::NoGreeting, noTcp, 0},
      {"an empty token and the busy notice", "", Scramble("busy") + EchoTerminator(), false,
       TSequenceReport::TOutcome::ServerBusy, {"The test server is busy. Try again in a few minutes."}, 0},
      {"an empty token and another frame", "", Scramble("idle") + EchoTerminator(), false,
       TSequenceReport::TOutcome::NoGreeting, noTcp, 0},
      {"no UDP echo after three sends", "tok", "", true, TSequenceReport::TOutcome::NoEcho,
       {"No UDP packet received by remote server.", "Please, check your firewall settings."}, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRun io;
    io.token = row.token;
    io.afterGreeting = row.afterGreeting;
    if (row.dropUdp) io.route = [](const std::string&, TSipSocket, int) { return std::nullopt; };
    EXPECT_EQ(RunSequence(io).Outcome, row.outcome);
    EXPECT_EQ(io.Pane(TPane::Sip), row.sipLines);
    EXPECT_EQ(io.sent.size(), row.sends);
    EXPECT_EQ(io.disconnects, 1);
    EXPECT_EQ(io.natStarted, 0);
  }
}

TEST(TestSequence, rewritten_register_counts_changed_lines_and_disqualifies_the_port) {
  FakeRun io;
  // A gateway on the path to 5060 rewrites the local address in every REGISTER line that holds it.
  io.route = [](std::string d, TSipSocket s, int) -> std::optional<std::string> {
    if (s == TSipSocket::Sip5060 && d.rfind("REGISTER", 0) == 0)
      for (size_t p; (p = d.find("10.0.0.2:")) != std::string::npos;) d.replace(p, 8, "203.0.113.9");
    return d;
  };
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(r.Register5060.Result, -2);  // Via and Contact
  const auto sip = io.Pane(TPane::Sip);
  EXPECT_EQ(sip[2], "ALG active on port 5060. 2 header(s) changed");
  EXPECT_FALSE(r.Nat5060);
  EXPECT_TRUE(r.Nat5058);
  for (size_t i = 4; i < io.sent.size(); ++i) EXPECT_EQ(io.sent[i].from, TSipSocket::Sip5058);
}

TEST(TestSequence, no_qualifying_port_ends_the_run_after_the_nat_lead_in) {
  FakeRun io;
  io.route = [](std::string d, TSipSocket, int) -> std::optional<std::string> {
    d.replace(0, 1, "r");  // request line changed on every probe
    return d;
  };
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_EQ(io.Pane(TPane::Nat).size(), 3u);
  EXPECT_EQ(io.sent.size(), 4u);
  EXPECT_EQ(io.disconnects, 1);
  EXPECT_EQ(io.natStarted, 0);
}

TEST(TestSequence, late_echo_is_taken_by_the_next_attempt) {
  FakeRun io;
  // The first REGISTER's echo is lost; the retry is answered.
  io.route = [](const std::string& d, TSipSocket, int n) -> std::optional<std::string> {
    if (n == 1) return std::nullopt;
    return d;
  };
  RunSequence(io);
  EXPECT_EQ(io.sent[0].text, io.sent[1].text);  // the same probe sent again
  EXPECT_EQ(io.Pane(TPane::Sip)[2], "No ALG detected on port 5060. ");
}

TEST(TestSequence, configured_server_port_is_used_by_the_5060_socket_only) {
  FakeRun io;
  RunSequence(io, 5070);
  EXPECT_EQ(io.sent[0].port, 5070);
  EXPECT_EQ(io.sent[1].port, 5058);
  EXPECT_EQ(io.Pane(TPane::Log)[1], "Checking from local port 5060 to remote port 5070 ...");
  EXPECT_EQ(io.Pane(TPane::Sip)[2], "No ALG detected on port 5060. ");
  EXPECT_NE(io.sent[0].text.find("REGISTER sip:alg-test.invalid:5070 SIP/2.0\r\n"), std::string::npos);
}

// An echo that comes after its attempt's wait is taken by the repeat of its probe; the echo of
// that repeat then reaches the next exchange, which logs it once and drops it unless it shares
// the current probe's request line (both REGISTERs, with the server's SIP port 5058).
TEST(TestSequence, late_echo_of_an_earlier_probe_is_dropped) {
  struct Row {
    int serverPort;
    std::vector<std::string> verdicts;
    std::vector<std::string> late;
  };
  const Row rows[] = {
      {5060, {"No ALG detected on port 5060. ", "No ALG detected on port 5058. ", "No ALG detected on port 5060. ",
              "No ALG detected on port 5058. "},
       {"Late echo of an earlier probe dropped: REGISTER sip:alg-test.invalid:5060 SIP/2.0"}},
      {5058, {"No ALG detected on port 5060. ", "ALG active on port 5058. 2 header(s) changed",
              "No ALG detected on port 5060. ", "No ALG detected on port 5058. "},
       {"Late echo of an earlier probe dropped: REGISTER sip:alg-test.invalid:5058 SIP/2.0"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.serverPort);
    FakeRun io;
    std::string held;  // the first echo, held back until the probe is sent again
    io.route = [&](const std::string& d, TSipSocket, int n) -> std::optional<std::string> {
      if (n == 1) {
        held = d;
        return std::nullopt;
      }
      if (n == 2) io.buffered += Scramble("UDP late\r\n" + held) + EchoTerminator();
      return d;
    };
    RunSequence(io, row.serverPort);
    EXPECT_EQ(io.Pane(TPane::Sip, " on port "), row.verdicts);
    EXPECT_EQ(io.Pane(TPane::Log, "Late echo"), row.late);
    EXPECT_EQ(io.sent.size(), row.serverPort == 5060 ? 17u : 11u);  // 5 probes, NAT INVITEs of those that qualify
  }
}

// Whether a probe without echo was swallowed on the way (an ALG's doing) is judged per socket:
// the first probe from 5058 finds nothing of its socket echoed yet, whatever came back from
// 5060, so it gets the firewall lines and ends the run.
TEST(TestSequence, first_probe_of_a_socket_without_echo_is_the_firewalls) {
  FakeRun io;
  io.route = [](const std::string& d, TSipSocket s, int) -> std::optional<std::string> {
    if (s == TSipSocket::Sip5058) return std::nullopt;
    return d;
  };
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::NoEcho);
  EXPECT_EQ(io.Pane(TPane::Sip),
            (std::vector<std::string>{"----------------------------", " Checking REGISTERs...",
                                      "No ALG detected on port 5060. ", "No UDP packet received by remote server.",
                                      "Please, check your firewall settings."}));
  EXPECT_FALSE(r.AnyAlg());
  EXPECT_EQ(io.disconnects, 1);
}

TEST(TestSequence, public_mapping_from_the_servers_line) {
  struct Row {
    const char* line;
    std::optional<std::string> address;
    int port;
    bool kept;
  };
  const Row rows[] = {
      {"Received 512 bytes on UDP port 5060 from 203.0.113.9:5060", "203.0.113.9", 5060, true},
      {"Received 512 bytes on UDP port 5058 from 203.0.113.9:40002", "203.0.113.9", 40002, false},
      {"Received 9 bytes on UDP port 5060 from 203.0.113.9:5060 (Call-ID not recognised, matched by address)",
       "203.0.113.9", 5060, true},
      {"UDP 5060 from 203.0.113.9", std::nullopt, 0, false},
      {"Received 512 bytes on UDP port 5060 from 203.0.113.9", std::nullopt, 0, false},
      {"Received 512 bytes on UDP port 5060 from 203.0.113.9:70000", std::nullopt, 0, false},
      {"Received 512 bytes on UDP port 5060 from host.example:5060", std::nullopt, 0, false},
      {"Received 512 bytes on UDP port 5060 from 203.0.113.9:5060 trailing", std::nullopt, 0, false},
      {"Received x bytes on UDP port 5060 from 203.0.113.9:5060", std::nullopt, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const auto m = PublicMappingFromServerLine(row.line, 5060);
    ASSERT_EQ(m.has_value(), row.address.has_value());
    if (!m) continue;
    EXPECT_EQ(m->Address, *row.address);
    EXPECT_EQ(m->Port, row.port);
    EXPECT_EQ(m->PortKept, row.kept);
  }
}

}  // namespace
