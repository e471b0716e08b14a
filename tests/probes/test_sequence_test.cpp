#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/XorUnit.h"
#include "probes/Sequencer.h"
#include "proto/LargeSipWire.h"
#include "tests/support/ControlWire.h"

namespace {

// A control connection and a server on the other side of the router, scripted per test:
// `route` decides what the server receives of each datagram (nullopt: it is lost).
struct FakeRun : TSequencerIo, support::ControlWire {
  std::string token = "tok123";
  std::string afterGreeting;  // what the server sends after the greeting's answer (scrambled)
  std::function<std::optional<std::string>(const std::string& datagram, TSipSocket from, int sendNo)> route =
      [](const std::string& d, TSipSocket, int) { return d; };

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
    return ReadLine(terminator, timeoutMs);
  }
  void Disconnect() override { ++disconnects; }
  void LocalBinding(TSipSocket s, std::string& ip, int& port) override {
    ip = "10.0.0.2";
    port = LocalPort(s);
  }
  static int LocalPort(TSipSocket s) { return s == TSipSocket::Sip5060 ? 5060 : 5056; }
  void SendDatagram(TSipSocket s, const std::string& host, int port, const std::string& text) override {
    sent.push_back({s, host, port, text});
    auto got = route(text, s, static_cast<int>(sent.size()));
    if (got) Echo(*got, port, s);
    // A request for large answers: the server sends them with its echo; `downRoute` says which come.
    if (const auto ask = large_sip::ParseAsk(text); ask && got)
      for (int bytes : ask->Sizes)
        if (downRoute(bytes, s)) downs[s == TSipSocket::Sip5060 ? 0 : 1].push_back(large_sip::DownText(ask->Token, bytes));
  }
  std::function<bool(int bytes, TSipSocket to)> downRoute = [](int, TSipSocket) { return true; };
  std::vector<std::string> downs[2];
  std::vector<std::string> LargeDownDatagrams(TSipSocket s) override {
    return std::exchange(downs[s == TSipSocket::Sip5060 ? 0 : 1], {});
  }
  // The server's echo of a datagram that reached its UDP port `port` from socket `s`.
  void Echo(const std::string& text, int port, TSipSocket s) {
    EchoDatagram(text, port, "203.0.113.9:" + std::to_string(LocalPort(s)));
  }
  // SIP over TCP: `tcpRoute` decides what the server receives of each message (nullopt: it is
  // swallowed); the ports in tcpRefused refuse the connection.
  std::function<std::optional<std::string>(const std::string& message, int port)> tcpRoute =
      [](const std::string& m, int) { return m; };
  std::set<int> tcpRefused;
  int tcpUnacked = -1;  // bytes TCP says 5060 never got acknowledged; -1: TCP says nothing
  std::optional<TIdTcpSendInfo> TcpSipSendInfo() override {
    if (tcpUnacked < 0) return std::nullopt;
    return TIdTcpSendInfo{tcpPort == 5060 ? tcpUnacked : 0, 5000, 1448, 6};
  }
  std::function<void(FakeRun&, const std::string& message)> beforeTcpEcho;
  struct TcpSent { int port; int localPort; std::string text; size_t datagramsBefore; };
  std::vector<TcpSent> tcpSent;
  int tcpPort = 0, tcpLocal = 40000, tcpOpens = 0, tcpCloses = 0;
  std::optional<int> TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) override {
    EXPECT_EQ(host, "192.0.2.80");
    EXPECT_GT(timeoutMs, 0);
    EXPECT_LE(timeoutMs, kTcpConnectWaitMs);
    EXPECT_EQ(tcpOpens, tcpCloses) << "one connection at a time";
    ++tcpOpens;
    if (tcpRefused.count(port)) {
      failure = "the connection was refused";
      return std::nullopt;
    }
    tcpPort = port;
    return tcpLocal += 2;
  }
  void TcpSipWrite(const std::string& text) override {
    tcpSent.push_back({tcpPort, tcpLocal, text, sent.size()});
    if (beforeTcpEcho) beforeTcpEcho(*this, text);
    if (tcpClosedByPeer.count(tcpPort)) return;
    if (auto got = tcpRoute(text, tcpPort))
      buffered += Scramble("Received " + std::to_string(got->size()) + " bytes on TCP port " + std::to_string(tcpPort) +
                           " from 203.0.113.9:" + std::to_string(tcpLocal + 10000) + "\r\n" + *got) +
                  EchoTerminator();
  }
  std::set<int> tcpClosedByPeer;  // ports whose server closes the connection without an echo
  bool TcpSipClosedByPeer() override { return tcpClosedByPeer.count(tcpPort) > 0; }
  void TcpSipClose() override { ++tcpCloses; }
  void Sleep(int ms) override { sleptMs += ms; }
  void NatTestStarted() override { ++natStarted; }
  int64_t NowMs() override { return now; }
  std::string layersStarted;  // "local server" the layers' checks were started for
  std::optional<TNatLayersSeen> layersSeen;
  void StartNatLayers(const std::string& local, const std::string& server) override { layersStarted = local + " " + server; }
  std::optional<TNatLayersSeen> NatLayersSeen() override { return layersSeen; }

  // The pane's lines, or those of them that hold `part`.
  std::vector<std::string> Pane(TPane p, std::string_view part = {}) const {
    std::vector<std::string> out;
    for (const auto& [pane, l] : lines)
      if (pane == p && l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }
};

// The SIP pane's lines of the checks over TCP when nothing was changed.
const std::vector<std::string> kTcpClean = {"----------------------------", " Checking REGISTERs over TCP...",
                                            "No ALG detected on TCP port 5060.", "No ALG detected on TCP port 5058.",
                                            "----------------------------", " Checking INVITEs over TCP...",
                                            "No ALG detected on TCP port 5060.", "No ALG detected on TCP port 5058."};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TSequenceReport RunSequence(FakeRun& io, int serverPort = 5060, int64_t deadlineMs = 0, bool large = false) {
  TSipProbe probe;
  TNatAges ages{7, 9};
  int rtp = 5, prev = 3;
  TSequenceReport r;
  RunTestSequence(io, probe, {"192.0.2.80", serverPort, 5006, deadlineMs, large}, ages, rtp, prev, r);
  if (r.Outcome == TSequenceReport::TOutcome::Completed) {
    EXPECT_EQ(rtp, 0);
    EXPECT_EQ(prev, 0);
  }
  return r;
}

// The layers are decided with the public address the server's lines name (no STUN here), and
// their lines follow the NAT pane's lead-in.
TEST(TestSequence, nat_layers_from_the_checks_and_the_servers_address) {
  FakeRun io;
  io.layersSeen = TNatLayersSeen{"10.0.0.1", TGatewayAnswer{TGatewayProtocol::Upnp, "203.0.113.9"}, std::nullopt,
                                 {{{1, "10.0.0.1"}}, 2}};
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(io.layersStarted, "10.0.0.2 192.0.2.80");
  ASSERT_TRUE(r.Layers);
  EXPECT_EQ(r.Layers->Count, 1);
  EXPECT_EQ(io.Pane(TPane::Nat),
            (std::vector<std::string>{std::string(29, '-'), " Checking NAT session timeout", std::string(29, ' '),
                                      "NAT layers: 1 (the router's external address 203.0.113.9 is the public address)",
                                      "Path to the echo server: 1 10.0.0.1 (private), 2 the echo server",
                                      "UPnP on the router: yes (external address 203.0.113.9)",
                                      "NAT-PMP on the router: no answer"}));
}

TEST(TestSequence, clean_path_reports_no_alg_and_starts_nat_test_on_both_ports) {
  FakeRun io;
  const TSequenceReport r = RunSequence(io);
  EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_EQ(io.Pane(TPane::Sip),
            Join({"----------------------------", " Checking REGISTERs...", "No ALG detected on port 5060. ",
                  "No ALG detected on port 5058. ", "----------------------------", " Checking INVITEs...",
                  "No ALG detected on port 5060. ", "No ALG detected on port 5058. "},
                 kTcpClean));
  const auto log = io.Pane(TPane::Log);
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], ".");
  EXPECT_EQ(log[1], "Checking from local port 5060 to remote port 5060 ...");
  EXPECT_EQ(log[2], "Received " + std::to_string(io.sent[0].text.size()) +
                        " bytes on UDP port 5060 from 203.0.113.9:5060");
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
      // Three sends, and three more before it counts as a firewall's doing.
      {"no UDP echo after six sends", "tok", "", true, TSequenceReport::TOutcome::NoEcho,
       {"No UDP packet received by remote server.", "Please, check your firewall settings."}, 6},
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
// that repeat then reaches the next exchange, which logs it once and drops it: by the port it
// reached, or, where both REGISTERs go to one port (the server's SIP port 5058), by the public
// mapping its socket showed.
TEST(TestSequence, late_echo_of_an_earlier_probe_is_dropped) {
  for (const int serverPort : {5060, 5058}) {
    SCOPED_TRACE(serverPort);
    FakeRun io;
    std::string held;  // the first echo, held back until the probe is sent again
    io.route = [&](const std::string& d, TSipSocket s, int n) -> std::optional<std::string> {
      if (n == 1) {
        held = d;
        return std::nullopt;
      }
      if (n == 2) io.Echo(held, serverPort, s);
      return d;
    };
    RunSequence(io, serverPort);
    EXPECT_EQ(io.Pane(TPane::Sip, " on port "),
              (std::vector<std::string>{"No ALG detected on port 5060. ", "No ALG detected on port 5058. ",
                                        "No ALG detected on port 5060. ", "No ALG detected on port 5058. "}));
    EXPECT_EQ(io.Pane(TPane::Log, "Late echo"),
              (std::vector<std::string>{"Late echo of an earlier probe dropped: REGISTER sip:alg-test.invalid:" +
                                        std::to_string(serverPort) + " SIP/2.0"}));
    EXPECT_EQ(io.sent.size(), 17u);  // 5 probes, six NAT INVITEs from each socket
  }
}

// Which probe an echo belongs to, from the port the server's line names, the request line and
// the address the datagram came from.
TEST(TestSequence, echo_owner_by_port_request_line_and_mapping) {
  const std::string reg5060 = "REGISTER sip:alg-test.invalid:5060 SIP/2.0";
  const std::string reg5058 = "REGISTER sip:alg-test.invalid:5058 SIP/2.0";
  const std::string inv5060 = "INVITE sip:1234567890@alg-test.invalid:5060 SIP/2.0";
  const std::string inv5058 = "INVITE sip:1234567890@alg-test.invalid:5058 SIP/2.0";
  using S = TSipSocket;
  const std::vector<TSentProbe> run = {{S::Sip5060, false, 5060, reg5060, ""},
                                       {S::Sip5058, false, 5058, reg5058, ""},
                                       {S::Sip5060, true, 5060, inv5060, ""},
                                       {S::Sip5058, true, 5058, inv5058, ""}};
  // The server's SIP port 5058: both sockets send their REGISTERs there, with one request line.
  const std::vector<TSentProbe> onePort = {{S::Sip5060, false, 5058, reg5058, ""},
                                           {S::Sip5058, false, 5058, reg5058, ""}};
  const TPublicMapping from5060{"203.0.113.9", 40000, false}, from5058{"203.0.113.9", 40002, false};
  struct Row {
    const char* name;
    const std::vector<TSentProbe>* sent;
    std::string serverLine;
    std::string requestLine;
    size_t current;
    std::optional<TPublicMapping> public5060, public5058;
    int owner;
  };
  auto line = [](int port, int fromPort) {
    return "Received 500 bytes on UDP port " + std::to_string(port) + " from 203.0.113.9:" + std::to_string(fromPort);
  };
  const Row rows[] = {
      {"the current probe's own", &run, line(5060, 40000), reg5060, 0, {}, {}, 0},
      {"the REGISTER's, come while the INVITE from its socket waits", &run, line(5060, 40000), reg5060, 2, {}, {}, 0},
      {"request line rewritten: the port names its probe", &run, line(5060, 40000), "REGISTER sip:x SIP/2.0", 1, {},
       {}, 0},
      {"request line rewritten: its method among the port's probes", &run, line(5060, 40000), "INVITE sip:x SIP/2.0",
       2, {}, {}, 2},
      {"rewritten beyond its method, the current probe's port", &run, line(5058, 40002), "XYZ", 3, {}, {}, 3},
      {"rewritten beyond its method, another port: that port's latest", &run, line(5060, 40000), "XYZ", 3, {}, {}, 2},
      {"a port no probe went to", &run, line(5070, 40000), reg5060, 0, {}, {}, -1},
      {"no server line to read: by the request line alone", &run, "UDP late", reg5058, 3, {}, {}, 1},
      {"one port: from the other socket's mapping", &onePort, line(5058, 40000), reg5058, 1, from5060, {}, 0},
      {"one port: from a mapping not yet seen", &onePort, line(5058, 40002), reg5058, 1, from5060, {}, 1},
      {"one port: from its own mapping", &onePort, line(5058, 40002), reg5058, 1, from5060, from5058, 1},
      {"one port: no mapping known, the current", &onePort, line(5058, 40000), reg5058, 1, {}, {}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string echo = row.serverLine + "\r\n" + row.requestLine + "\r\nVia: x\r\n";
    EXPECT_EQ(EchoOwner(echo, *row.sent, row.current, row.public5060, row.public5058), row.owner);
  }
}

// A probe without echo after three sends is sent up to three times more, each time beside a
// REGISTER that came back before. Only when that REGISTER comes back and the probe does not is
// it the router's doing; when neither does, the probe was lost, which is no verdict; when the
// probe's echo comes, however late, it is judged.
TEST(TestSequence, lost_probe_is_the_routers_only_while_the_link_works) {
  using O = TSequenceReport::TOutcome;
  using Route = std::function<std::optional<std::string>(FakeRun&, const std::string&, TSipSocket, int)>;
  auto invite = [](const std::string& d) { return d.rfind("INVITE", 0) == 0; };
  const auto s5058 = TSipSocket::Sip5058;
  const std::string lead = "----------------------------", regs = " Checking REGISTERs...",
                    invs = " Checking INVITEs...", ok5060 = "No ALG detected on port 5060. ",
                    ok5058 = "No ALG detected on port 5058. ";
  struct Row {
    const char* name;
    Route route;
    O outcome;
    std::vector<std::string> sip;
    std::vector<std::string> noEcho;  // the log's "No echo of ..." lines
    bool lost, dropped;               // of the probe from 5058 that got no echo
    size_t sendsFrom5058;
  };
  const Row rows[] = {
      {"the INVITE swallowed, its socket's REGISTER sent again comes back",
       [&](FakeRun&, const std::string& d, TSipSocket s, int) -> std::optional<std::string> {
         if (s == s5058 && invite(d)) return std::nullopt;
         return d;
       },
       O::Completed,
       {lead, regs, ok5060, ok5058, lead, invs, ok5060, "ALG active on port 5058. INVITE dropped"},
       {"No echo of the INVITE after 6 sends, while the REGISTER from local port 5056, sent again, came back: the "
        "router dropped it"},
       false, true, 1 + 1 + 6},
      {"the INVITE lost, and the REGISTER sent again with it too",
       [&](FakeRun&, const std::string& d, TSipSocket s, int n) -> std::optional<std::string> {
         if (s == s5058 && n > 2) return std::nullopt;  // from the INVITE on
         return d;
       },
       O::Completed,
       {lead, regs, ok5060, ok5058, lead, invs, ok5060,
        "No ALG verdict on port 5058. INVITE lost on the way (a lossy link, not an ALG)"},
       {"No echo of the INVITE after 6 sends, nor of the REGISTER sent again from local port 5056 to check the "
        "link: the link lost them, which says nothing of an ALG"},
       true, false, 1 + 3 + 6},
      {"the INVITE back at its fourth send",
       [&, count = 0](FakeRun&, const std::string& d, TSipSocket s, int) mutable -> std::optional<std::string> {
         if (s == s5058 && invite(d) && ++count <= 3) return std::nullopt;
         return d;
       },
       O::Completed, {lead, regs, ok5060, ok5058, lead, invs, ok5060, ok5058}, {}, false, false, 1 + 1 + 4 + 6},
      {"the first INVITE's echo, come after its third wait, is judged",
       [&, held = std::string(), count = 0](FakeRun& io, const std::string& d, TSipSocket s,
                                           int) mutable -> std::optional<std::string> {
         if (s != s5058 || !invite(d)) return d;
         if (++count == 1) held = d;
         if (count == 4) io.Echo(held, 5058, s);
         return std::nullopt;
       },
       O::Completed, {lead, regs, ok5060, ok5058, lead, invs, ok5060, ok5058}, {}, false, false, 1 + 1 + 4 + 6},
      {"the REGISTER from 5058 never back, while 5060's sent again is",
       [&](FakeRun&, const std::string& d, TSipSocket s, int) -> std::optional<std::string> {
         if (s == s5058) return std::nullopt;
         return d;
       },
       O::NoEcho,
       {lead, regs, ok5060, "No UDP packet received by remote server.", "Please, check your firewall settings."},
       {"No echo of the REGISTER after 6 sends, while the REGISTER from local port 5060, sent again, came back"},
       false, false, 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRun io;
    Route route = row.route;
    io.route = [&](const std::string& d, TSipSocket s, int n) { return route(io, d, s, n); };
    const TSequenceReport r = RunSequence(io);
    EXPECT_EQ(r.Outcome, row.outcome);
    EXPECT_EQ(io.Pane(TPane::Sip), row.outcome == O::Completed ? Join(row.sip, kTcpClean) : row.sip);
    EXPECT_EQ(io.Pane(TPane::Log, "No echo of"), row.noEcho);
    EXPECT_EQ(r.Register5058.Lost || r.Invite5058.Lost, row.lost);
    EXPECT_EQ(r.Invite5058.Dropped, row.dropped);
    EXPECT_EQ(r.AnyAlg(), row.dropped);
    EXPECT_EQ(r.AnyLost(), row.lost);
    size_t from5058 = 0;
    for (const auto& d : io.sent) from5058 += d.from == s5058;
    EXPECT_EQ(from5058, row.sendsFrom5058);
    EXPECT_EQ(r.Nat5058, row.outcome == O::Completed && !row.lost && !row.dropped);
    EXPECT_EQ(r.Nat5060, row.outcome == O::Completed);
    for (const auto& d : io.sent) EXPECT_EQ(d.host, "192.0.2.80") << "every datagram to the run's server";
  }
}

TEST(TestSequence, no_echo_verdict_by_witness) {
  using W = TWitness;
  using V = TNoEchoVerdict;
  struct WitnessRow {
    bool invite, own, other;
    W witness;
  };
  const WitnessRow witnesses[] = {
      {true, true, true, W::Own},     {true, true, false, W::Own},      {true, false, true, W::Other},
      {true, false, false, W::None},  {false, true, true, W::Other},    {false, true, false, W::None},
  };
  for (const WitnessRow& r : witnesses)
    EXPECT_EQ(NoEchoWitness(r.invite, r.own, r.other), r.witness) << r.invite << r.own << r.other;
  struct VerdictRow {
    bool invite;
    W witness;
    bool seen, anyEchoed;
    V verdict;
  };
  const VerdictRow verdicts[] = {
      {true, W::Own, true, true, V::Dropped},      {true, W::Own, false, true, V::Lost},
      {true, W::Other, true, true, V::Failure},    {true, W::Other, false, true, V::Lost},
      {false, W::Other, true, true, V::Failure},   {false, W::Other, false, true, V::Lost},
      {true, W::None, false, true, V::Lost},       {true, W::None, false, false, V::Failure},
      {false, W::None, false, false, V::Failure},
  };
  for (const VerdictRow& r : verdicts)
    EXPECT_EQ(NoEchoVerdict(r.invite, r.witness, r.seen, r.anyEchoed), r.verdict)
        << r.invite << static_cast<int>(r.witness) << r.seen << r.anyEchoed;
}

// After the checks by UDP and before the NAT session test: REGISTER and INVITE over TCP to both
// ports, each over a connection of its own, judged line by line; a connection refused is no
// verdict, a message swallowed is an ALG, and an echo by UDP is never taken for one over TCP.
TEST(TestSequence, sip_over_tcp_follows_the_udp_checks) {
  using TCheck = TSequenceReport::TCheck;
  // A gateway on TCP 5060 that rewrites the local address wherever it stands with a port, and in
  // the SDP.
  auto rewrite5060 = [](std::string m, int port) -> std::optional<std::string> {
    if (port != 5060) return m;
    for (size_t p; (p = m.find("10.0.0.2:")) != std::string::npos;) m.replace(p, 8, "203.0.113.9");
    for (size_t p; (p = m.find("IN IP4 10.0.0.2")) != std::string::npos;) m.replace(p + 7, 8, "203.0.113.9");
    return m;
  };
  struct Row {
    const char* name;
    std::function<void(FakeRun&)> setUp;
    std::vector<std::string> tcpLines;  // the SIP pane after the UDP verdicts
    TCheck reg5060, inv5060, reg5058;
    bool alg;
    std::string logPart = {};  // a line of the log pane holds it
  };
  const std::string lead = "----------------------------", regs = " Checking REGISTERs over TCP...",
                    invs = " Checking INVITEs over TCP...", ok60 = "No ALG detected on TCP port 5060.",
                    ok58 = "No ALG detected on TCP port 5058.";
  const Row rows[] = {
      {"an ALG on TCP 5060 rewrites Via, Contact and the SDP addresses",
       [&](FakeRun& io) { io.tcpRoute = rewrite5060; },
       {lead, regs, "ALG active on TCP port 5060. 2 header(s) changed", ok58, lead, invs,
        "ALG active on TCP port 5060. 4 header(s) changed", ok58},
       {true, -2}, {true, -4}, {true, 0}, true},
      {"TCP 5058 refused: said in words, no verdict",
       [](FakeRun& io) { io.tcpRefused = {5058}; },
       {lead, regs, ok60,
        "No ALG verdict on TCP port 5058. REGISTER not sent: the port is not reachable (the connection was refused)",
        lead, invs, ok60,
        "No ALG verdict on TCP port 5058. INVITE not sent: the port is not reachable (the connection was refused)"},
       {true, 0}, {true, 0}, {true, 0, false, false, true, "the connection was refused", true}, false},
      {"the INVITE to 5060 swallowed although its connection went through",
       [](FakeRun& io) {
         io.tcpRoute = [](const std::string& m, int port) -> std::optional<std::string> {
           if (port == 5060 && m.rfind("INVITE", 0) == 0) return std::nullopt;
           return m;
         };
       },
       {lead, regs, ok60, ok58, lead, invs, "ALG active on TCP port 5060. INVITE swallowed", ok58},
       {true, 0}, {true, 0, true}, {true, 0}, true},
      {"the messages to 5060 never acknowledged: lost on the way, no verdict",
       [](FakeRun& io) {
         io.tcpUnacked = 380;
         io.tcpRoute = [](const std::string& m, int port) -> std::optional<std::string> {
           if (port == 5060) return std::nullopt;
           return m;
         };
       },
       {lead, regs, "No ALG verdict on TCP port 5060. REGISTER lost on the way (a lossy link, not an ALG)", ok58, lead,
        invs, "No ALG verdict on TCP port 5060. INVITE lost on the way (a lossy link, not an ALG)", ok58},
       {true, 0, false, true}, {true, 0, false, true}, {true, 0}, false,
       "380 of its bytes were still not acknowledged after 8 s of TCP's resends"},
      {"TCP 5058 closed at once by the other end: no verdict, no ALG",
       [](FakeRun& io) { io.tcpClosedByPeer = {5058}; },
       {lead, regs, ok60,
        "No ALG verdict on TCP port 5058. REGISTER not echoed: the connection was closed at the other end (a server "
        "that is full does so)",
        lead, invs, ok60,
        "No ALG verdict on TCP port 5058. INVITE not echoed: the connection was closed at the other end (a server "
        "that is full does so)"},
       {true, 0}, {true, 0}, {true, 0, false, false, true, "the connection was closed at the other end"}, false},
      {"a late echo by UDP while the REGISTER over TCP waits is not its echo",
       [&](FakeRun& io) {
         io.tcpRoute = rewrite5060;
         io.beforeTcpEcho = [](FakeRun& run, const std::string& m) {
           if (run.tcpSent.size() == 1) run.Echo(run.sent[0].text, 5060, TSipSocket::Sip5060);
           (void)m;
         };
       },
       {lead, regs, "ALG active on TCP port 5060. 2 header(s) changed", ok58, lead, invs,
        "ALG active on TCP port 5060. 4 header(s) changed", ok58},
       {true, -2}, {true, -4}, {true, 0}, true},
  };
  auto same = [](const TCheck& a, const TCheck& b) {
    return a.Done == b.Done && a.Result == b.Result && a.Dropped == b.Dropped && a.Lost == b.Lost &&
           a.Unreachable == b.Unreachable && a.Why == b.Why && a.NotConnected == b.NotConnected;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRun io;
    row.setUp(io);
    const TSequenceReport r = RunSequence(io);
    EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::Completed);
    const auto sip = io.Pane(TPane::Sip);
    ASSERT_EQ(sip.size(), 8 + row.tcpLines.size());
    EXPECT_EQ(std::vector<std::string>(sip.begin() + 8, sip.end()), row.tcpLines);
    EXPECT_TRUE(same(r.TcpRegister5060, row.reg5060));
    EXPECT_TRUE(same(r.TcpInvite5060, row.inv5060));
    EXPECT_TRUE(same(r.TcpRegister5058, row.reg5058));
    EXPECT_EQ(r.AnyAlg(), row.alg);
    EXPECT_TRUE(r.Nat5060 && r.Nat5058) << "the NAT session test follows, as the UDP checks found no ALG";
    EXPECT_EQ(io.tcpOpens, 4);
    EXPECT_EQ(io.tcpCloses, 4);
    if (!row.logPart.empty()) {
      EXPECT_FALSE(io.Pane(TPane::Log, row.logPart).empty()) << row.logPart;
    }
    for (const auto& t : io.tcpSent) {
      EXPECT_EQ(t.datagramsBefore, 4u) << "over TCP after the four UDP checks, before the NAT INVITEs";
      const std::string port = std::to_string(t.localPort);
      EXPECT_NE(t.text.find("Via: SIP/2.0/TCP 10.0.0.2:" + port + ";branch="), std::string::npos) << t.text;
      EXPECT_NE(t.text.find("Contact: <sip:421421@10.0.0.2:" + port + ">"), std::string::npos);
      EXPECT_NE(t.text.find("Call-ID:tok123@10.0.0.2\r\n"), std::string::npos);
    }
  }
  // The INVITEs over TCP announce audio ports of their own: a router's ALG drops an INVITE whose
  // audio port another INVITE of the host announced, also in a run shortly before (another token).
  FakeRun before;
  before.token = "tok456";
  RunSequence(before);
  FakeRun io;
  RunSequence(io);
  for (const auto& t : before.tcpSent) io.tcpSent.push_back(t);
  std::set<std::string> audio;
  auto media = [](const std::string& m) {
    const size_t at = m.find("m=audio ");
    return at == std::string::npos ? std::string() : m.substr(at, m.find("\r\n", at) - at);
  };
  size_t invites = 0;
  for (const auto& d : io.sent)
    if (d.text.rfind("INVITE", 0) == 0) audio.insert(media(d.text)), ++invites;
  for (const auto& t : io.tcpSent)
    if (t.text.rfind("INVITE", 0) == 0) {
      EXPECT_TRUE(audio.insert(media(t.text)).second) << media(t.text);
    }
  EXPECT_EQ(audio.size(), 3u + 4u) << "7004, 5004 and 5006 by UDP, two more over TCP in each run";
  EXPECT_EQ(invites, 14u);
}

// The run's time limit: no wait goes past it, and the sequence then stops without a verdict.
TEST(TestSequence, time_limit_stops_the_sequence_without_a_verdict) {
  struct Row {
    const char* name;
    int64_t leftMs;  // from the start of the sequence
    bool udpEchoed;  // else nothing comes back by UDP; over TCP nothing ever does
    size_t sends;
    size_t sipLines;
  };
  const Row rows[] = {{"over before the greeting is read", 0, false, 0, 0},
                      {"over during the third wait", 5000, false, 3, 0},
                      // The UDP checks take no time here; the first message over TCP waits 8 s
                      // for TCP's resends (the fake says nothing of them).
                      {"over during the second wait over TCP", 10000, true, 4, 8 + 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRun io;
    if (!row.udpEchoed) io.route = [](const std::string&, TSipSocket, int) { return std::nullopt; };
    io.tcpRoute = [](const std::string&, int) { return std::nullopt; };
    const int64_t start = io.now;
    const TSequenceReport r = RunSequence(io, 5060, start + row.leftMs);
    EXPECT_EQ(r.Outcome, TSequenceReport::TOutcome::TimeUp);
    EXPECT_EQ(io.Pane(TPane::Sip).size(), row.sipLines);
    EXPECT_EQ(r.TcpRegister5058.Done, false) << "no verdict for a wait the time cut short";
    EXPECT_EQ(io.tcpOpens, io.tcpCloses);
    EXPECT_EQ(io.sent.size(), row.sends);
    EXPECT_EQ(io.now, start + row.leftMs) << "no wait past the limit";
    EXPECT_EQ(io.disconnects, 1);
  }
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

TEST(TestSequence, large_sip_messages_only_with_a_server_that_announces_its_answers) {
  FakeRun io;  // token "tok123": an older server, which gives a session no time for them
  const TSequenceReport rep = RunSequence(io, 5060, 0, true);
  EXPECT_FALSE(rep.Large.Ran);
  EXPECT_TRUE(io.Pane(TPane::Sip, "Large SIP").empty());
  for (const auto& d : io.sent) EXPECT_EQ(d.text.find("large-"), std::string::npos);
  EXPECT_EQ(io.natStarted, 1);
}

TEST(TestSequence, large_sip_messages_both_ways_after_the_checks_over_tcp) {
  using R = TLargeResult;
  // A path with a 1,500-byte MTU: a datagram above 1,472 bytes goes in fragments.
  auto fragmented = [](const std::string& d) { return d.size() > 1472; };
  struct Row {
    const char* name;
    std::string token;
    bool upDropped, downDropped, rewrite;
    std::set<int> tcpRefused;
    R up, down, tcp;
    size_t asks;  // requests for large answers sent
    const char* downWhy;
  };
  const Row rows[] = {
      {"fragments pass both ways", "tok.l1", false, false, false, {}, R::Arrived, R::Arrived, R::Arrived, 2, ""},
      {"dropped on the way out and in: the TCP message pays for the answers", "tok.l1", true, true, false, {},
       R::Lost, R::Lost, R::Arrived, 2, ""},
      {"dropped only on the way in", "tok.l1", false, true, false, {}, R::Arrived, R::Lost, R::Arrived, 2, ""},
      {"an ALG rewrites the large INVITE", "tok.l1", false, false, true, {}, R::Changed, R::Arrived, R::Arrived, 2, ""},

      {"nothing large reached the server: nothing to ask for", "tok.l1", true, false, false, {5070, 5058}, R::Lost,
       R::NotTested, R::NotTested, 0, "no large message of this run reached the server, which sends no more than it received"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FakeRun io;
    io.token = r.token;
    io.tcpRefused = r.tcpRefused;
    io.route = [&](const std::string& d, TSipSocket, int) -> std::optional<std::string> {
      if (r.upDropped && fragmented(d)) return std::nullopt;
      if (r.rewrite && d.rfind("INVITE sip:large-", 0) == 0)
        return std::regex_replace(d, std::regex("(Via: SIP/2.0/UDP |c=IN IP4 )10\\.0\\.0\\.2"), "$1198.51.100.7");
      return d;
    };
    io.downRoute = [&](int bytes, TSipSocket) { return !(r.downDropped && bytes > 1472); };
    const TSequenceReport rep = RunSequence(io, 5070, 0, true);
    ASSERT_EQ(rep.Outcome, TSequenceReport::TOutcome::Completed);
    const TLargeSipReport& l = rep.Large;
    ASSERT_TRUE(l.Ran);
    ASSERT_EQ(l.Udp.size(), 2u);
    ASSERT_EQ(l.Tcp.size(), 2u);
    for (size_t p = 0; p < 2; ++p) {
      SCOPED_TRACE(p);
      EXPECT_EQ(l.Udp[p].Port, p == 0 ? 5060 : 5058);
      ASSERT_EQ(l.Udp[p].Up.Sizes.size(), 2u);
      EXPECT_EQ(l.Udp[p].Up.Sizes[0].Bytes, 2000);
      EXPECT_EQ(l.Udp[p].Up.Deciding()->Bytes, 4000);
      EXPECT_EQ(l.Udp[p].Up.Deciding()->Result, r.up);
      EXPECT_EQ(l.Udp[p].Down.Deciding()->Result, r.down);
      EXPECT_EQ(l.Udp[p].Down.Deciding()->Why, r.downWhy);
      EXPECT_EQ(l.Tcp[p].Up.Deciding()->Result, r.tcp);
      EXPECT_EQ(l.Udp[p].Up.Deciding()->ChangedLines, r.rewrite ? 2 : 0);
    }
    // Where they went: the 5060 socket's to the server's SIP port, over TCP both ports.
    size_t large = 0, asks = 0;
    for (const auto& d : io.sent) {
      if (d.text.rfind("INVITE sip:large-", 0) == 0) {
        ++large;
        EXPECT_EQ(d.port, d.from == TSipSocket::Sip5060 ? 5070 : 5058);
        EXPECT_EQ(d.text.size(), d.text.find("large-2000") != std::string::npos ? 2000u : 4000u);
      }
      asks += large_sip::IsAsk(d.text);
    }
    EXPECT_EQ(large, r.upDropped ? 12u : 4u) << "three sends each when no echo comes";
    EXPECT_EQ(asks, r.asks);
    size_t tcpLarge = 0;
    for (const auto& t : io.tcpSent) tcpLarge += t.text.rfind("INVITE sip:large-4000@", 0) == 0 && t.text.size() == 4000;
    EXPECT_EQ(tcpLarge, r.tcpRefused.empty() ? 2u : 0u);
    // The pane's lines come after the checks over TCP, before the NAT session test.
    const auto sip = io.Pane(TPane::Sip);
    const auto lead = std::find(sip.begin(), sip.end(), " Checking large SIP messages...");
    ASSERT_NE(lead, sip.end());
    EXPECT_EQ(sip.end() - lead, 1 + 4 + 4 + 2);
    EXPECT_EQ(*(lead + 2), LargeSipLine(TLargePath::UdpUp, 5060, l.Udp[0].Up.Sizes[1]));
    EXPECT_EQ(io.natStarted, 1);
  }
}

}  // namespace
