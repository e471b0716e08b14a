// The test sequence of a run in the window against a scripted stand-in for the echo server:
// greetings without a token, probes without an echo, late echoes, echoes changed or swallowed
// as a router's ALG would, and what the verdicts make of the NAT session test.
#include <gtest/gtest.h>

#include "proto/XorUnit.h"
#include "tests/app/RunSupport.h"

using namespace runs;
using standin::Datagram;
using standin::Echo;
using standin::ReplaceLine;
using standin::ScriptedServer;
using support::WaitUntil;

namespace {

class RunSequence : public RunTest {};

const UiState kIdle{true, false, false, ""};
const UiState kBusy{false, false, false, ""};
const UiState kNatOpen{false, true, false, ""};  // NAT INVITEs sent, no report yet

const std::string kPublic = "203.0.113.7";  // the address an ALG writes in (text only)

// The datagrams that are not NAT session test INVITEs, as "PROBE@peerport".
std::vector<std::string> Probes(const ScriptedServer& p) {
  std::vector<std::string> out;
  for (const Datagram& d : p.Datagrams())
    if (!d.NatTest()) out.push_back(std::string(d.Register() ? "REGISTER" : "INVITE") + "@" + std::to_string(d.port));
  return out;
}

// NAT session test INVITEs that reached the peer on `port`.
size_t NatInvites(const ScriptedServer& p, int port) {
  size_t n = 0;
  for (const Datagram& d : p.Datagrams()) n += d.NatTest() && d.port == port;
  return n;
}

TEST_F(RunSequence, greeting_without_token_ends_with_tcp_failure_lines) {
  struct Row {
    const char* name;
    std::string reply;  // scrambled bytes the peer answers with
  };
  const Row rows[] = {
      {"terminator alone", Scramble(std::string("@5060") + '\0')},
      {"no answer", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    ScriptedServer& p = StandIn();
    const std::string reply = row.reply;
    p.greetingReply = [reply] { return reply; };
    Rig& rig = Run();
    ASSERT_TRUE(rig.WaitRunEnd(8s));
    TForm1& f = *rig.form;
    EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::NoGreeting);
    const size_t afterConnect = ExpectStartLines(f.MemoSIP, 1, {"Using SIP port 5058", "Using SIP port 5060"});
    EXPECT_EQ(From(f.MemoSIP, afterConnect),
              (std::vector<std::string>{"No TCP packet received by remote server.",
                                        "Please, check your firewall settings."}));
    EXPECT_TRUE(f.Memo2->Lines().empty());
    EXPECT_EQ(f.MemoNat->Lines().size(), 1u);
    EXPECT_EQ(p.ControlBytes(), std::string("GET 5060") + '\0');
    EXPECT_TRUE(p.Datagrams().empty());
    EXPECT_TRUE(WaitUntil([&] { return p.Closed() == 1; }, 3s)) << "the tester disconnects";
    EXPECT_EQ(rig.states, (std::vector<UiState>{kIdle, kBusy, kIdle}));
    ASSERT_GE(rig.statuses.size(), 2u);
    EXPECT_EQ(rig.statuses.back(), "Link status: Disconnected.");
    EXPECT_TRUE(rig.front.boxes.empty());
  }
}

TEST_F(RunSequence, no_udp_echo_ends_with_udp_failure_lines_after_six_sends) {
  ScriptedServer& p = StandIn();
  p.script = [](const Datagram&, size_t) { return Echo{false, "", 0}; };
  Rig& rig = Run();
  ASSERT_TRUE(rig.WaitRunEnd(20s));
  TForm1& f = *rig.form;
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::NoEcho);
  const std::vector<Datagram> got = p.Datagrams();
  ASSERT_EQ(got.size(), 6u) << "sent three times, three more to be sure, then given up";
  for (const Datagram& d : got) {
    EXPECT_EQ(d.port, 5060);
    EXPECT_EQ(d.fromIp, me);
    EXPECT_EQ(d.fromPort, 5060);
    EXPECT_TRUE(d.Register());
    EXPECT_EQ(d.text, got[0].text);
  }
  const size_t afterConnect = ExpectStartLines(f.MemoSIP, 1, {"Using SIP port 5058", "Using SIP port 5060"});
  EXPECT_EQ(From(f.MemoSIP, afterConnect), (std::vector<std::string>{"No UDP packet received by remote server.",
                                                                    "Please, check your firewall settings."}));
  EXPECT_EQ(f.Memo2->Lines(), (std::vector<std::string>{".", "Checking from local port 5060 to remote port 5060 ...",
                                                       "No echo of the REGISTER after 6 sends"}));
  EXPECT_EQ(f.MemoNat->Lines().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return p.Closed() == 1; }, 3s));
  EXPECT_EQ(rig.states, (std::vector<UiState>{kIdle, kBusy, kIdle}));
  EXPECT_TRUE(rig.front.boxes.empty());
}

// Echoes that come after their 2000 ms wait: the repeated probe takes the late one, and the
// echo of the repeat, when a later exchange reads it, is logged once and dropped, also when the
// router rewrote its request line (the port it reached tells). Every probe is judged against
// its own echo, and each exchange logs its own server line.
TEST_F(RunSequence, late_echoes_are_never_judged_as_another_probes) {
  struct Row {
    const char* name;
    int firstDelayMs, laterDelayMs;
    bool rewrite5060;               // the request line of what goes to 5060 rewritten
    std::vector<std::string> late;  // the request lines of the late echoes logged, in order
    std::vector<std::string> verdicts;
  };
  const std::string reg5060 = "REGISTER sip:alg-test.invalid:5060 SIP/2.0";
  const std::vector<std::string> everyLate = {reg5060, "REGISTER sip:alg-test.invalid:5058 SIP/2.0",
                                              "INVITE sip:1234567890@alg-test.invalid:5060 SIP/2.0"};
  const std::vector<std::string> clean = {kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058};
  const std::string changed5060 = "ALG active on port 5060. 1 header(s) changed";
  const Row rows[] = {
      {"the first echo 2.3 s late", 2300, 0, false, {reg5060}, clean},
      {"every echo 2.5 s late", 2500, 2500, false, everyLate, clean},
      {"every echo 2.5 s late, the request line to 5060 rewritten", 2500, 2500, true, everyLate,
       {changed5060, kNoAlg5058, changed5060, kNoAlg5058}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    ScriptedServer& p = StandIn();
    const int first = row.firstDelayMs, later = row.laterDelayMs;
    const bool rewrite = row.rewrite5060;
    p.script = [first, later, rewrite](const Datagram& d, size_t index) {
      std::string text = d.text;
      if (rewrite && d.port == 5060 && !d.NatTest())
        text = ReplaceLine(text, d.Register() ? "REGISTER " : "INVITE ",
                           d.Register() ? "REGISTER sip:203.0.113.7 SIP/2.0" : "INVITE sip:1@203.0.113.7 SIP/2.0");
      return Echo{true, text, index == 0 ? first : later};
    };
    Rig& rig = Run();
    ASSERT_TRUE(rig.WaitSequence(30s));
    TForm1& f = *rig.form;
    const auto probes = Probes(p);
    ASSERT_GE(probes.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(probes.begin(), probes.begin() + 2),
              (std::vector<std::string>{"REGISTER@5060", "REGISTER@5060"}))
        << "the first REGISTER sent again after its wait";
    EXPECT_EQ(Verdicts(f.MemoSIP), row.verdicts);
    std::vector<std::string> late;
    for (const std::string& l : Starting(f.Memo2, "Late echo of an earlier probe dropped: "))
      late.push_back(l.substr(l.find(": ") + 2));
    EXPECT_EQ(late, row.late);
    std::vector<std::string> serverLines;
    for (const std::string& l : Starting(f.Memo2, "Received ")) serverLines.push_back(l.substr(0, l.find(" from ")));
    ASSERT_EQ(serverLines.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
      EXPECT_NE(serverLines[i].find(i % 2 ? "on UDP port 5058" : "on UDP port 5060"), std::string::npos) << i;
    // The sockets whose probes came back unchanged qualify: the NAT session test runs until stopped.
    EXPECT_EQ(Starting(f.Memo2, "Checking NAT timeout on port ").size(), row.rewrite5060 ? 1u : 2u);
    rig.ClickStop();
    EXPECT_TRUE(rig.WaitRunEnd(3s));
    EXPECT_TRUE(rig.front.boxes.empty());
  }
}

// Echoes changed the way an ALG changes them: the verdict names the changed lines, and only a
// socket whose REGISTER and INVITE both came back unchanged takes part in the NAT session
// test. When neither does, the run ends by itself; otherwise Stop is usable at once.
TEST_F(RunSequence, altered_echoes_give_verdicts_and_decide_the_nat_test) {
  using Alter = std::function<std::string(const Datagram&)>;
  struct Row {
    const char* name;
    Alter alter;
    std::vector<std::string> verdicts;
    size_t nat5060, nat5058;  // NAT INVITEs sent from each socket
  };
  auto via = [](const Datagram& d, const std::string& t) {
    return ReplaceLine(t, "Via: ", "Via: SIP/2.0/UDP " + kPublic + ":" + std::to_string(d.fromPort) +
                                             ";branch=z9hG4bK1694065387");
  };
  auto contact = [](const Datagram& d, const std::string& t) {
    return ReplaceLine(t, "Contact: ", "Contact: <sip:421421@" + kPublic + ":" + std::to_string(d.fromPort) + ">");
  };
  const Row rows[] = {
      {"Via and Contact of the 5060 REGISTER",
       [&](const Datagram& d) { return d.Register() && d.port == 5060 ? contact(d, via(d, d.text)) : d.text; },
       {"ALG active on port 5060. 2 header(s) changed", kNoAlg5058, kNoAlg5060, kNoAlg5058},
       0, 6},
      {"To and the SDP addresses of the 5058 INVITE",
       [&](const Datagram& d) {
         if (d.Register() || d.port != 5058) return d.text;
         std::string t = ReplaceLine(d.text, "To: ", "To: <sip:1234567890@alg-test.invalid>");
         t = ReplaceLine(t, "o=", "o=- 1439573762 1439573762 IN IP4 " + kPublic);
         return ReplaceLine(t, "c=", "c=IN IP4 " + kPublic);
       },
       {kNoAlg5060, kNoAlg5058, kNoAlg5060, "ALG active on port 5058. 3 header(s) changed"},
       6, 0},
      {"the 5058 INVITE swallowed", [&](const Datagram& d) { return !d.Register() && d.port == 5058 ? "" : d.text; },
       {kNoAlg5060, kNoAlg5058, kNoAlg5060, "ALG active on port 5058. INVITE dropped"},
       6, 0},
      {"every probe on both ports",
       [&](const Datagram& d) {
         if (d.Register() && d.port == 5060) return via(d, d.text);
         if (d.Register()) return ReplaceLine(contact(d, via(d, d.text)), "REGISTER ", "REGISTER sip:x SIP/2.0");
         if (d.port == 5060) return ReplaceLine(d.text, "m=", "m=audio 40000 RTP/AVP 8 18");
         return ReplaceLine(d.text, "Call-ID:", "Call-ID:rewritten@" + kPublic);
       },
       {"ALG active on port 5060. 1 header(s) changed", "ALG active on port 5058. 3 header(s) changed",
        "ALG active on port 5060. 1 header(s) changed", "ALG active on port 5058. 1 header(s) changed"},
       0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    ScriptedServer& p = StandIn();
    const Alter alter = row.alter;
    p.script = [alter](const Datagram& d, size_t) {
      const std::string echo = d.NatTest() ? d.text : alter(d);
      return Echo{!echo.empty(), echo, 0};  // no echo: the probe was lost on the way
    };
    Rig& rig = Run();
    ASSERT_TRUE(rig.WaitSequence());
    TForm1& f = *rig.form;
    EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);
    EXPECT_EQ(Verdicts(f.MemoSIP), row.verdicts);

    // Every changed line shows as a Sent line with its Rcvd line right after it.
    size_t changed = 0, dropped = 0;
    for (const std::string& v : row.verdicts) {
      if (v.find(" dropped") != std::string::npos)
        ++dropped;
      else if (v.rfind("ALG active", 0) == 0)
        changed += std::stoul(v.substr(v.find(". ") + 2));
    }
    EXPECT_EQ(Starting(f.Memo2, "No echo of the INVITE after 6 sends, while the REGISTER").size(), dropped);
    EXPECT_EQ(f.LastReport.AnyAlg(), changed + dropped > 0);
    const auto& log = f.Memo2->Lines();
    size_t sent = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      const size_t pos = log[i].find(" Sent:");
      if (pos == std::string::npos) continue;
      ++sent;
      ASSERT_LT(i + 1, log.size());
      EXPECT_EQ(log[i + 1].substr(0, pos + 6), log[i].substr(0, pos) + " Rcvd:");
    }
    EXPECT_EQ(sent, changed);

    EXPECT_TRUE(
        WaitUntil([&] { return NatInvites(p, 5060) >= row.nat5060 && NatInvites(p, 5058) >= row.nat5058; }, 3s));
    EXPECT_EQ(NatInvites(p, 5060), row.nat5060);
    EXPECT_EQ(NatInvites(p, 5058), row.nat5058);
    EXPECT_EQ(Starting(f.Memo2, "Checking NAT timeout on port 5060").size(), row.nat5060 ? 1u : 0u);
    EXPECT_EQ(Starting(f.Memo2, "Checking NAT timeout on port 5058").size(), row.nat5058 ? 1u : 0u);
    EXPECT_EQ(From(f.MemoNat, 1), Join(NatLeadIn(), NoStunLines(at)));

    if (row.nat5060 + row.nat5058 == 0) {
      ASSERT_TRUE(rig.WaitRunEnd(3s)) << "neither socket qualifies: the run is over";
      EXPECT_EQ(rig.states, (std::vector<UiState>{kIdle, kBusy, kIdle}));
      EXPECT_TRUE(WaitUntil([&] { return p.Closed() == 1; }, 3s));
    } else {
      EXPECT_EQ(rig.states, (std::vector<UiState>{kIdle, kBusy, kNatOpen}));
      EXPECT_FALSE(f.Timer1->Enabled());
      EXPECT_EQ(p.Closed(), 0);
      rig.ClickStop();
      EXPECT_EQ(rig.State(), kIdle);
      EXPECT_TRUE(WaitUntil([&] { return p.Closed() == 1; }, 3s));
    }
    EXPECT_TRUE(rig.front.boxes.empty());
  }
}

// The server closes the control connection while the sequence waits for an echo: the
// disconnection makes Start usable, and the error is shown once.
TEST_F(RunSequence, server_closing_mid_sequence_shows_one_box) {
  ScriptedServer& p = StandIn();
  p.script = [](const Datagram& d, size_t) {
    Echo e{true, d.text, 0};
    e.close = true;
    return e;
  };
  Rig& rig = Run();
  ASSERT_TRUE(rig.Spin([&] { return !rig.front.boxes.empty(); }, 8s));
  EXPECT_TRUE(rig.front.OneBox(true, "Connection Closed Gracefully."));
  EXPECT_EQ(rig.State(), kIdle);
  EXPECT_EQ(rig.statuses.back(), "Link status: Disconnected.");
  EXPECT_EQ(p.Datagrams().size(), 1u);
  EXPECT_TRUE(Verdicts(rig.form->MemoSIP).empty());
}

TEST_F(RunSequence, error_inside_the_sequence_ends_the_run) {
  // An answer that outgrows the line limit leaves the sequence with an error while the
  // connection is still up; the run must not stay open with both buttons disabled.
  ScriptedServer& p = StandIn();
  p.greetingReply = [] { return std::string(72 * 1024 + 100, 'a'); };  // no terminator in it, past the line limit
  Rig& rig = Run();
  ASSERT_TRUE(rig.Spin([&] { return !rig.front.boxes.empty(); }, 8s));
  EXPECT_TRUE(rig.front.OneBox(true, "Max line length exceeded."));
  EXPECT_EQ(rig.State(), kIdle);
  ASSERT_GE(rig.statuses.size(), 2u);
  EXPECT_EQ(rig.statuses[rig.statuses.size() - 2], "Link status: Disconnecting.");
  EXPECT_EQ(rig.statuses.back(), "Link status: Disconnected.");
  EXPECT_TRUE(WaitUntil([&] { return p.Closed() == 1; }, 3s)) << "the tester disconnects";
  EXPECT_TRUE(p.Datagrams().empty());
}

}  // namespace
