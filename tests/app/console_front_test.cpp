// The console front as a program, found beside this test program: its exit status for each way a
// run ends, its lines, its JSON summary, and its usage errors. The echo server runs as a program
// too, or a scripted stand-in runs in this process.
#include <gtest/gtest.h>

#include <regex>

#include "app/CliConsole.h"
#include "app/CliFront.h"
#include "app/CliJson.h"
#include "run/TestRun.h"
#include "app/Unit_1_client.h"
#include "probes/CallTest.h"
#include "proto/XorUnit.h"
#include "tests/app/CliSupport.h"
#include "tests/app/RunSupport.h"
#include "tests/support/Process.h"

using namespace cli;
using namespace runs;
using standin::Datagram;
using standin::Echo;
using standin::ReplaceLine;
using standin::ScriptedServer;

namespace {

class ConsoleFront : public RunTest {};

// The echo server program, serving on `address` until the object goes.
class ServerProcess {
 public:
  ServerProcess(const std::string& address, const QStringList& options) {
    p_.setProgram(QString::fromStdString(BinDir() + "/sip-alg-echo-server"));
    p_.setArguments(QStringList{"--address", QString::fromStdString(address)} + options);
    EndWithTest(p_);
    p_.start();
    if (!p_.waitForStarted(5000)) return;
    bool ended = false;
    ready_ = support::WaitUntil([&] {
      ended = p_.state() != QProcess::Running;
      return ended || support::TcpConn::Connect(address, 80).Ok();
    }) && !ended;
  }
  ~ServerProcess() {
    p_.terminate();
    if (!p_.waitForFinished(5000)) {
      p_.kill();
      p_.waitForFinished(3000);
    }
  }
  bool Ready() const { return ready_; }

 private:
  QProcess p_;
  bool ready_ = false;
};

// {"verdict": ..., "changed": n} of one check.
std::string Check(const QJsonObject& root, const char* port, const char* kind, const char* alg = "alg") {
  const QJsonObject c = root[alg].toObject()[port].toObject()[kind].toObject();
  return c["verdict"].toString().toStdString() + "/" + std::to_string(c["changed"].toInt(-1));
}

// A clean run against the echo server program. The console front's control connection leaves
// from 127.0.0.1 (it names no local address for it), and the server sends NAT session reports
// only to an address that holds a control connection, so the run tests from 127.0.0.1; its
// ports fall back when another test holds them there.
TEST_F(ConsoleFront, clean_run_exits_0_with_its_json_summary) {
  const std::string srv = at;
  // The server serves the vendor list too: a build without a list URL of its own asks the
  // server it is given.
  const std::string other = support::TestAddress(13);  // the server's second address, for STUN
  ServerProcess server(srv, {"--sip-port", "5060=1000,2000", "--sip-port", "5058=1000", "--rtp-port", "0",
                             "--rtp-packets", "5", "--rtp-interval", "10", "--other-address", QString::fromStdString(other),
                             "--nat-timeout-idle", "2,3", "--nat-timeout-refresh", "1", "--call-max-seconds", "2"});
  ASSERT_TRUE(server.Ready());
  const CliRun r = RunCli({"--json", "--local-ip", "127.0.0.1", "--max-seconds", "30", QString::fromStdString(srv)},
                          40000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(r.Lines().size(), 1u) << "one JSON object, nothing else: " << r.out;
  std::string error;
  const QJsonObject root = ParseJson(r.out, error);
  ASSERT_EQ(error, "") << r.out;
  EXPECT_EQ(root["schema_version"].toInt(-1), kJsonSchemaVersion);
  EXPECT_EQ(root["exit_status"].toInt(-1), 0);
  EXPECT_EQ(root["server"].toString().toStdString(), srv);
  EXPECT_EQ(root["server_address"].toString().toStdString(), srv);
  EXPECT_TRUE(root["not_reached"].isNull());
  EXPECT_EQ(root["server_sip_port"].toInt(), 5060);
  for (const char* port : {"5060", "5058"})
    for (const char* kind : {"register", "invite"}) {
      EXPECT_EQ(Check(root, port, kind), "no_alg/0") << port << kind;
      EXPECT_EQ(Check(root, port, kind, "alg_tcp"), "no_alg/0") << "over TCP " << port << kind;
    }
  const QJsonObject nat = root["nat"].toObject();
  EXPECT_TRUE(nat["5060"].toObject()["started"].toBool());
  EXPECT_TRUE(nat["5058"].toObject()["started"].toBool());
  EXPECT_EQ(nat["5060"].toObject()["last_ok_seconds"].toInt(-1), 2);
  EXPECT_TRUE(nat["5060"].toObject()["next_seconds"].isNull());
  EXPECT_EQ(nat["5058"].toObject()["last_ok_seconds"].toInt(-1), 1);
  // The burst for the 5058 socket's INVITE always reaches this run's RTP port.
  EXPECT_GE(root["rtp"].toObject()["packets"].toInt(), 5);
  EXPECT_GE(root["rtp"].toObject()["port"].toInt(), 5004);
  EXPECT_TRUE(root["router"].toObject().contains("ip"));
  EXPECT_TRUE(Strings(root["errors"]).empty());
  const auto sip = Strings(root["panes"].toObject()["sip"]);
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "No ALG detected on port 5060. "), 2);
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "No ALG detected on port 5058. "), 2);
  // Over TCP, after them.
  const auto udpLast = std::find(sip.rbegin(), sip.rend(), "No ALG detected on port 5058. ");
  const auto tcpFirst = std::find(sip.begin(), sip.end(), "No ALG detected on TCP port 5060.");
  EXPECT_LT(udpLast.base() - sip.begin(), tcpFirst - sip.begin());
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "No ALG detected on TCP port 5060."), 2);
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "No ALG detected on TCP port 5058."), 2);
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "Downloading new mac file list"), 1) << "the list from the server";
  // Large SIP messages both ways, after the checks over TCP: loopback has no fragments.
  const QJsonObject large = root["large_sip"].toObject();
  for (const char* port : {"5060", "5058"}) {
    const QJsonObject udp = large["udp"].toObject()[port].toObject();
    for (const char* way : {"up", "down"}) {
      const QJsonObject w = udp[way].toObject();
      EXPECT_EQ(w["result"].toString().toStdString(), "arrived") << port << way;
      EXPECT_EQ(w["bytes"].toInt(), 4000) << port << way;
      EXPECT_EQ(w["fragments"].toInt(), 3) << port << way;
      EXPECT_EQ(w["sizes"].toArray().size(), 2) << port << way;
    }
    EXPECT_EQ(large["tcp"].toObject()[port].toObject()["up"].toObject()["result"].toString().toStdString(), "arrived");
  }
  EXPECT_LT(std::find(sip.begin(), sip.end(), "No ALG detected on TCP port 5058.") - sip.begin(),
            std::find(sip.begin(), sip.end(), "Large SIP over UDP to port 5060: 4,000 bytes (3 fragments) arrived unchanged") -
                sip.begin());
  EXPECT_EQ(std::count(sip.begin(), sip.end(), "Large SIP from the server to port 5058: 4,000 bytes arrived"), 1);
  for (const std::string& l : sip) EXPECT_EQ(l.find("Exception in HTTP connection"), std::string::npos) << l;
  const auto natLines = Strings(root["panes"].toObject()["nat"]);
  ASSERT_FALSE(natLines.empty());
  EXPECT_EQ(natLines.front(), "NAT Sessions timeout:");
  const auto timeOut = std::find(natLines.begin(), natLines.end(), "NAT session on port 5060 ok after 2s");
  EXPECT_NE(timeOut, natLines.end());
  // The NAT's class, before the time-out lines: no NAT on loopback.
  const auto mapping = std::find(natLines.begin(), natLines.end(), "NAT mapping: endpoint-independent (port kept)");
  EXPECT_LT(mapping, timeOut);
  EXPECT_NE(std::find(mapping, timeOut, "NAT filtering: endpoint-independent"), timeOut);
  const QJsonObject behaviour = root["nat_behaviour"].toObject();
  EXPECT_EQ(behaviour["mapping"].toString().toStdString(), "endpoint_independent");
  EXPECT_EQ(behaviour["filtering"].toString().toStdString(), "endpoint_independent");
  EXPECT_TRUE(behaviour["port_preserved"].toBool(false));
  EXPECT_TRUE(behaviour["hairpin"].toBool(false));
  EXPECT_EQ(behaviour["public"].toObject()["address"].toString().toStdString(), "127.0.0.1");
  EXPECT_GT(behaviour["public"].toObject()["port"].toInt(), 0);
  // No router on loopback: the server itself answers the first probe of the path.
  const QJsonObject layers = root["nat_layers"].toObject();
  EXPECT_EQ(layers["count"].toInt(-1), 0);
  EXPECT_FALSE(layers["carrier_grade"].toBool(true));
  EXPECT_TRUE(layers["gateway"].toObject()["protocol"].isNull());
  EXPECT_TRUE(layers["hops"].toArray().isEmpty());
  EXPECT_EQ(layers["server_ttl"].toInt(-1), 1);
  const auto status = Strings(root["status"]);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.back(), "Link status: Disconnected.");
  EXPECT_EQ(root["end"].toString().toStdString(), "countdown");
  // The summary: the schedule's last reports announce none, so the mappings held at least that long.
  const QJsonObject summary = root["summary"].toObject();
  const auto summaryLines = Strings(summary["lines"]);
  EXPECT_NE(std::find(summaryLines.begin(), summaryLines.end(), "NAT time-out on port 5060: held at least 2 s"),
            summaryLines.end());
  EXPECT_EQ(summaryLines.back(), "Exit status 0: the checks ran and none saw an ALG");
  const std::string classLine = "NAT behaviour: mapping endpoint-independent, filtering endpoint-independent, port kept, "
                                "hairpinning yes, public address 127.0.0.1:";
  EXPECT_EQ(std::count_if(summaryLines.begin(), summaryLines.end(),
                          [&](const std::string& l) { return l.rfind(classLine, 0) == 0; }),
            1);
  EXPECT_EQ(summary["alg"].toObject()["5058"].toString().toStdString(), "none");
  EXPECT_EQ(summary["alg_tcp"].toObject()["5060"].toString().toStdString(), "none");
  EXPECT_NE(std::find(summaryLines.begin(), summaryLines.end(),
                      "SIP ALG on TCP port 5058: none seen (REGISTER and INVITE came back unchanged)"),
            summaryLines.end());
  EXPECT_EQ(summary["nat_timeout_by_port"].toObject()["5058"].toObject()["held_seconds"].toInt(-1), 1);
  EXPECT_TRUE(summary["nat_timeout_by_port"].toObject()["5058"].toObject()["gone_by_seconds"].isNull());
  // The time-out test on mappings of its own: nothing expires on loopback.
  EXPECT_EQ(QJsonDocument(summary["nat_timeout"].toObject()).toJson(QJsonDocument::Compact).toStdString(),
            R"({"busy":{"gone_by_seconds":null,"held_seconds":3,"unsteady":false},"idle_seconds_tested":[2,3],)"
            R"("inbound_refresh":null,"new":{"gone_by_seconds":null,"held_seconds":3,"unsteady":false},"port":3480,)"
            R"("sip_port_longer":null})");
  // The test call, as long as the server takes: nothing lost either way, after the burst's lines.
  const QJsonObject call = root["call"].toObject();
  EXPECT_TRUE(call["not_tested"].isNull());
  EXPECT_EQ(call["seconds"].toInt(), 2);
  EXPECT_EQ(call["audio"].toString().toStdString(), "both_ways");
  for (const char* way : {"up", "down"}) {
    const QJsonObject d = call[way].toObject();
    EXPECT_EQ(d["sent"].toInt(), 100) << way;
    EXPECT_EQ(d["received"].toInt(), 100) << way;
    EXPECT_GT(d["mos"].toDouble(), 4.3) << way;
  }
  EXPECT_LE(call["rtt_ms"].toObject()["median"].toDouble(-1), call["rtt_ms"].toObject()["p95"].toDouble(-1));
  const auto rtpLines = Strings(root["panes"].toObject()["rtp"]);
  const auto burst = std::find(rtpLines.begin(), rtpLines.end(), "RTP (audio) port " + std::to_string(root["rtp"].toObject()["port"].toInt()) + " working");
  const auto both = std::find_if(rtpLines.begin(), rtpLines.end(), [](const std::string& l) { return l.rfind("Audio both ways", 0) == 0; });
  EXPECT_LT(burst, both);
  EXPECT_NE(both, rtpLines.end());
  // No NAT on loopback: nothing to do but to test against a server outside.
  EXPECT_EQ(Strings(root["advice"]), std::vector<std::string>{"Run the test against an echo server on the internet, outside this network: the package "
        "sip-alg-echo-server runs one on a machine there."});
  // No NAT on loopback: the server saw each socket at its own address and port.
  for (const char* port : {"5060", "5058"}) {
    const QJsonObject pub = root["public"].toObject()[port].toObject();
    EXPECT_EQ(pub["address"].toString().toStdString(), "127.0.0.1") << port;
    EXPECT_GT(pub["port"].toInt(), 0) << port;
    EXPECT_TRUE(pub["port_kept"].toBool()) << port;
  }
}

// The console front needs no display and no part of the toolkit's desktop side: it links QtCore
// alone, and a whole run goes as usual with no display or platform named.
TEST_F(ConsoleFront, runs_without_a_display_on_qtcore_alone) {
  QProcess ldd;
  ldd.start("ldd", {QString::fromStdString(BinDir() + "/nat-sip-alg-tester-cli")});
  ASSERT_TRUE(ldd.waitForFinished(10000));
  const std::string libraries = ldd.readAllStandardOutput().toStdString();
  EXPECT_NE(libraries.find("libQt6Core"), std::string::npos) << libraries;
  for (const char* gui : {"libQt6Gui", "libQt6Widgets", "libQt6Charts"})
    EXPECT_EQ(libraries.find(gui), std::string::npos) << gui << "\n" << libraries;

  Serve(ShortConfig(at));
  const CliRun r = RunCli({"--json", "--local-ip", QString::fromStdString(me), "--call-seconds", "0",
                           QString::fromStdString(at)},
                          30000, NoDisplay());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  std::string error;
  const QJsonObject root = ParseJson(r.out, error);
  ASSERT_EQ(error, "") << r.out;
  EXPECT_EQ(root["end"].toString().toStdString(), "countdown");
  EXPECT_EQ(Strings(root["panes"].toObject()["sip"]).front(), "SIP ALG Test:");
  EXPECT_EQ(Check(root, "5058", "invite"), "no_alg/0");
}

TEST_F(ConsoleFront, exit_status_per_outcome) {
  using Script = std::function<void(ScriptedServer&)>;
  struct Row {
    const char* name;
    Script setUp;  // null: nothing listens at the server's address
    QStringList options;
    int status;
    std::vector<std::string> lines;  // lines the output holds
    std::string lastLine;             // of the run, before its summary
    std::string exitLine;             // the summary's last [RESULT] line
  };
  auto viaRewritten = [](ScriptedServer& p) {
    p.script = [](const Datagram& d, size_t) {
      return Echo{true, d.Register() ? ReplaceLine(d.text, "Via: ", "Via: SIP/2.0/UDP 203.0.113.7:5060") : d.text, 0};
    };
  };
  const Row rows[] = {
      {"an ALG on both ports", viaRewritten, {}, 1,
       {"[SIP] SIP ALG Test:", "[NAT] NAT Sessions timeout:", "[RTP] RTP port open/closed:",
        "[STATUS] Link status: Connected.", "[SIP] ALG active on port 5060. 1 header(s) changed",
        "[SIP] ALG active on port 5058. 1 header(s) changed", "[LOG] Via check:         OK",
        "[NAT]  Checking NAT session timeout",
        "[RESULT] SIP ALG on port 5060: active (REGISTER: 1 header(s) changed, INVITE unchanged)",
        "[RESULT] NAT time-out on port 5058: not measured (the port showed an ALG)",
        "[RESULT] RTP (audio) port 5004: not tested",
        "[SIP] No ALG verdict on TCP port 5060. REGISTER not sent: the port is not reachable (the connection was "
        "refused)",
        "[RESULT] SIP ALG on TCP port 5058: not checked",
        "[ADVICE] Where the ALG cannot be switched off, SIP over TLS avoids it: the router cannot read encrypted "
        "messages."},
       "[STATUS] Link status: Disconnected.", "[RESULT] Exit status 1: a check saw an ALG"},
      {"greeting answered with the terminator alone",
       [](ScriptedServer& p) { p.greetingReply = [] { return Scramble(std::string("@5060") + '\0'); }; }, {}, 2,
       {"[SIP] No TCP packet received by remote server.", "[SIP] Please, check your firewall settings."},
       "[STATUS] Link status: Disconnected.", "[RESULT] Exit status 2: the echo server was not reached"},
      {"the server says it is busy",
       [](ScriptedServer& p) { p.greetingReply = [] { return Scramble(std::string("@5060\0busy\0", 11)); }; }, {}, 2,
       {"[SIP] The test server is busy. Try again in a few minutes.",
        "[RESULT] Echo server: busy, it could not take the test; try again in a few minutes"},
       "[STATUS] Link status: Disconnected.", "[RESULT] Exit status 2: the echo server is busy"},
      {"connection refused", nullptr, {}, 2, {"[RESULT] Echo server: not reached"}, "",
       "[RESULT] Exit status 2: the echo server was not reached"},
      {"time up while the NAT session test waits", [](ScriptedServer&) {}, {"--max-seconds", "4"}, 3,
       {"[SIP] No ALG detected on port 5058. ", "[LOG] Checking NAT timeout on port 5058. Up to 5 minutes needed..."},
       "[STATUS] Link status: Disconnected.", "[RESULT] Exit status 3: the time limit ran out before the run ended"},
      // The stand-in sends no NAT session report at all.
      {"no NAT session report after the NAT INVITEs", [](ScriptedServer&) {}, {"--max-seconds", "120"}, 4,
       {"[NAT] No NAT session report within 60 s after the NAT session test INVITEs: UDP from the server does not "
        "come back through the router"},
       "[RTP] No RTP (audio) datagram from the server reached port 5004: the router lets no audio in that this "
       "computer has not sent out first, which can leave calls with one-way audio; forward the port, or let the phone "
       "send audio first",
       "[RESULT] Exit status 4: no NAT report came back: UDP from the server does not get through the router"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    if (row.setUp) {
      ScriptedServer& p = StandIn();
      row.setUp(p);
      p.Start();
    }
    const CliRun r = RunCli(QStringList{"--local-ip", QString::fromStdString(me)} + row.options +
                                QStringList{QString::fromStdString(at)},
                            (kNoNatReportSeconds + 30) * 1000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    for (const std::string& l : row.lines) EXPECT_TRUE(r.Has(l)) << l << "\n" << r.out;
    // The run's lines, then its summary.
    auto lines = r.Lines();
    const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[RESULT] ", 0) == 0; });
    EXPECT_TRUE(std::all_of(summary, lines.end(), [](const std::string& l) {
      return l.rfind("[RESULT] ", 0) == 0 || l.rfind("[ADVICE] ", 0) == 0;
    })) << r.out;
    EXPECT_TRUE(r.Has(row.exitLine)) << r.out;
    lines.erase(summary, lines.end());
    ASSERT_FALSE(lines.empty());
    if (!row.lastLine.empty()) {
      EXPECT_EQ(lines.back(), row.lastLine);
    }
    // Every line is tagged by where it appeared, also the pieces of an error text.
    const std::regex tagged(R"(^\[(SIP|NAT|RTP|LOG|STATUS|ERROR|WAIT)\] [^\r]*)");
    for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, tagged)) << l;
  }
}

TEST_F(ConsoleFront, json_counts_the_changed_lines_of_an_alg) {
  ScriptedServer& p = StandIn();
  p.script = [](const Datagram& d, size_t) {
    std::string t = d.text;
    if (d.Register() && d.port == 5060) {
      t = ReplaceLine(t, "Via: ", "Via: SIP/2.0/UDP 203.0.113.7:5060");
      t = ReplaceLine(t, "Contact: ", "Contact: <sip:421421@203.0.113.7:5060>");
    } else if (!d.Register() && d.port == 5058) {
      t = ReplaceLine(t, "c=", "c=IN IP4 203.0.113.7");
    }
    return Echo{!(!d.Register() && d.port == 5060), t, 0};  // the INVITE to 5060 is swallowed
  };
  p.Start();
  const CliRun r = RunCli({"--json", "--local-ip", QString::fromStdString(me), QString::fromStdString(at)}, 20000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  std::string error;
  const QJsonObject root = ParseJson(r.out, error);
  ASSERT_EQ(error, "") << r.out;
  EXPECT_EQ(root["exit_status"].toInt(-1), 1);
  EXPECT_EQ(Check(root, "5060", "register"), "alg/2");
  EXPECT_EQ(Check(root, "5060", "invite"), "dropped/0");
  EXPECT_EQ(Check(root, "5058", "register"), "no_alg/0");
  EXPECT_EQ(Check(root, "5058", "invite"), "alg/1");
  for (const char* port : {"5060", "5058"}) {
    const QJsonObject n = root["nat"].toObject()[port].toObject();
    EXPECT_FALSE(n["started"].toBool(true)) << port << ": neither socket qualified";
    EXPECT_TRUE(n["last_ok_seconds"].isNull()) << port;
  }
  EXPECT_EQ(root["end"].toString().toStdString(), "no_nat_test");
  EXPECT_EQ(root["public"].toObject()["5060"].toObject()["address"].toString().toStdString(), me);
  EXPECT_EQ(root["rtp"].toObject()["packets"].toInt(-1), 0);
  // The stand-in server has no STUN side: the class is not found, and the JSON says so.
  EXPECT_EQ(Strings(root["panes"].toObject()["nat"]),
            (std::vector<std::string>{"NAT Sessions timeout:", std::string(29, '-'), " Checking NAT session timeout",
                                      std::string(29, ' '), "NAT behaviour: no STUN answer from " + at + ":3478",
                                      "NAT layers: none (the echo server saw this computer's own address)"}));
  const QJsonObject behaviour = root["nat_behaviour"].toObject();
  for (const char* key : {"mapping", "filtering", "port_preserved", "hairpin"}) EXPECT_TRUE(behaviour[key].isNull()) << key;
  EXPECT_TRUE(behaviour["public"].toObject()["address"].isNull());
  const auto log = Strings(root["panes"].toObject()["log"]);
  EXPECT_NE(std::find(log.begin(), log.end(), "Via Rcvd:Via: SIP/2.0/UDP 203.0.113.7:5060"), log.end());
  EXPECT_TRUE(Strings(root["errors"]).empty());
}

// A control connection that cannot be made: the server was not reached. One line names the
// server and what failed, instead of the socket error; exit status 2, and the JSON says so.
TEST_F(ConsoleFront, server_not_reached_exits_2_with_one_line) {
  struct Row {
    const char* name;
    std::function<std::string()> setUp;  // returns the host to name; may hold a listener open
    std::string reason;
  };
  std::optional<support::FullBacklogListener> silent;
  const Row rows[] = {
      {"nothing listens", [&] { return at; }, "the connection was refused"},
      {"an unknown name", [] { return std::string("no-such-host.invalid"); }, "the host name is unknown"},
      {"the connection is never answered",
       [&] {
         silent.emplace(at, 80);
         return silent->Full() ? at : std::string();
       },
       "the connection timed out"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NextRow();
    silent.reset();
    const std::string host = row.setUp();
    if (host.empty()) {
      ADD_FAILURE() << "could not fill the listener's accept queue";
      continue;
    }
    for (const bool json : {false, true}) {
      QStringList args{"--local-ip", QString::fromStdString(me), "--max-seconds", "60", QString::fromStdString(host)};
      if (json) args.prepend("--json");
      const CliRun r = RunCli(args, 40000);
      ASSERT_TRUE(r.finished);
      EXPECT_EQ(r.status, 2) << r.out << r.err;
      const std::string line = "The server " + host + " was not reached on TCP port 80: " + row.reason + ".";
      if (!json) {
        EXPECT_TRUE(r.Has("[ERROR] " + line)) << r.out;
        EXPECT_EQ(r.out.find("[ERROR] Socket Error"), std::string::npos) << r.out;
        continue;
      }
      std::string error;
      const QJsonObject root = ParseJson(r.out, error);
      ASSERT_EQ(error, "") << r.out;
      EXPECT_EQ(root["end"].toString().toStdString(), "server_not_reached");
      EXPECT_EQ(root["not_reached"].toString().toStdString(), row.reason);
      EXPECT_TRUE(root["server_address"].isNull());
      EXPECT_EQ(Strings(root["errors"]), (std::vector<std::string>{line}));
    }
  }
}

// A list server that takes the request and never answers: --max-seconds still ends the run,
// well before the vendor step's own limits would (30 s without 1,000 bytes).
TEST_F(ConsoleFront, max_seconds_bounds_a_stalled_vendor_list) {
  ScriptedServer& p = StandIn();
  p.httpReply = "";  // the request is held without answer
  p.Start();
  const CliRun r = RunCli({"--json", "--local-ip", QString::fromStdString(me), "--max-seconds", "3",
                           QString::fromStdString(at)},
                          25000);
  ASSERT_TRUE(r.finished) << "the run went on past its time";
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_GE(p.HttpRequests(), 1);
  std::string error;
  const QJsonObject root = ParseJson(r.out, error);
  ASSERT_EQ(error, "") << r.out;
  EXPECT_EQ(root["end"].toString().toStdString(), "time_limit");
  const auto sip = Strings(root["panes"].toObject()["sip"]);
  EXPECT_NE(std::find(sip.begin(), sip.end(), "Exception in HTTP connection with " + at), sip.end());
}

// The JSON object from a run's result: one keying by nominal port for alg, public and nat,
// whether each port's NAT test started, null for what the router discovery did not find.
TEST_F(ConsoleFront, json_fields_from_the_result) {
  struct Row {
    const char* name;
    std::function<void(TRunReport&)> setUp;
    std::vector<std::pair<std::string, std::string>> expected;  // path, compact JSON of the value
  };
  const Row rows[] = {
      {"an unknown router",
       [](TRunReport& f) {
         f.Result.RouterIP = "0.0.0.0";
         f.Result.RouterMac = "000000000000";
       },
       {{"router/ip", "null"}, {"router/mac", "null"}, {"router/vendor", "null"}}},
      {"a known router",
       [](TRunReport& f) {
         f.Result.RouterIP = "192.168.77.1";
         f.Result.RouterMac = "70B3D5F2F123";
         f.Result.Vendor = "TELEPLATFORMS";
       },
       {{"router/ip", "\"192.168.77.1\""}, {"router/mac", "\"70B3D5F2F123\""}, {"router/vendor", "\"TELEPLATFORMS\""}}},
      {"a custom SIP port: the NAT results of the 5060 socket under 5060",
       [](TRunReport& f) {
         f.ServerPort = 5070;
         f.Result.Sequence.Nat5060 = true;
         f.Result.Nat[5060].HeldSecs = {2, 20};
         f.Result.Nat[5060].NextSecs = 40;
       },
       {{"nat/5060", R"({"last_ok_seconds":20,"next_seconds":40,"started":true})"},
        {"nat/5058", R"({"last_ok_seconds":null,"next_seconds":null,"started":false})"},
        {"server_sip_port", "5070"}}},
      {"verdicts of every kind",
       [](TRunReport& f) {
         auto& q = f.Result.Sequence;
         q.Register5060 = {true, -2};
         q.Register5058 = {true, 0};
         q.Invite5060 = {true, 0, true};
         q.Invite5058 = {true, 0, false, true};
       },
       {{"alg/5060", R"({"invite":{"changed":0,"verdict":"dropped"},"register":{"changed":2,"verdict":"alg"}})"},
        {"alg/5058", R"({"invite":{"changed":0,"verdict":"lost"},"register":{"changed":0,"verdict":"no_alg"}})"}}},
      {"verdicts over TCP of every kind",
       [](TRunReport& f) {
         auto& q = f.Result.Sequence;
         q.TcpRegister5060 = {true, -2};
         q.TcpInvite5060 = {true, 0, true};
         q.TcpRegister5058 = {true, 0, false, false, true, "the connection was refused", true};
         q.TcpInvite5058 = {true, 0, false, true};
       },
       {{"alg_tcp/5060", R"({"invite":{"changed":0,"verdict":"swallowed"},"register":{"changed":2,"verdict":"alg"}})"},
        {"alg_tcp/5058",
         R"({"invite":{"changed":0,"verdict":"lost"},"register":{"changed":0,"verdict":"not_reachable"}})"},
        {"alg/5060", R"({"invite":null,"register":null})"}}},
      {"a one-address server: the mapping class it cannot tell apart named so",
       [](TRunReport& f) {
         f.Result.Sequence.Behaviour = TNatBehaviour{};
         f.Result.Sequence.Behaviour->Answered = f.Result.Sequence.Behaviour->MappingNotPortDependent = true;
         f.Result.Sequence.Behaviour->Public = stun::TEndpoint{0xCB007109, 5060};
       },
       {{"nat_behaviour/mapping", "\"endpoint_independent_or_address_dependent\""}, {"nat_behaviour/filtering", "null"}}},
      {"nothing run", [](TRunReport&) {},
       {{"alg/5060", R"({"invite":null,"register":null})"}, {"alg_tcp/5058", R"({"invite":null,"register":null})"},
        {"public/5058", "null"}, {"end", "null"}, {"summary/nat_timeout", "null"}, {"large_sip", "null"},
        {"schema_version", "4"}, {"call", "null"}, {"nat_layers", "null"}}},
      {"large SIP: the largest size decides, a size not tested has no result",
       [](TRunReport& f) {
         TLargeSipReport& l = f.Result.Sequence.Large;
         l.Ran = true;
         TLargeSize arrived{2000, TLargeResult::Arrived, 0, 2000}, cut{4000, TLargeResult::Changed, 3, 2960, true};
         TLargeSize lost{4000, TLargeResult::Lost}, untested{2000};
         untested.Why = "the request for it did not reach the server";
         l.Udp = {{5060, {{arrived, cut}}, {{untested, lost}}}};
         l.Tcp = {{5058, {{lost}}, {}}};
       },
       {{"large_sip/udp/5060/up/result", "\"changed\""},
        {"large_sip/udp/5060/up/received_bytes", "2960"},
        {"large_sip/udp/5060/up/fragments", "3"},
        {"large_sip/udp/5060/down/result", "\"lost\""},
        {"large_sip/udp/5060/down/received_bytes", "null"},
        {"large_sip/tcp/5058/up",
         R"({"bytes":4000,"changed_lines":0,"fragments":null,"not_tested":null,"received_bytes":null,"result":"lost",)"
         R"("sizes":[{"bytes":4000,"changed_lines":0,"fragments":null,"not_tested":null,"received_bytes":null,"result":"lost"}]})"}}},
      {"a call the server had no room for",
       [](TRunReport& f) { f.Result.Call = CallNotBegun(TCallNotTested::ServerBusy, 15, 5004); },
       {{"call/not_tested", "\"server_busy\""}, {"call/audio", "null"}, {"call/up", "null"}}},
      {"a call the server does not offer",
       [](TRunReport& f) { f.Result.Call = CallNotBegun(TCallNotTested::NoCallOffered, 0, 5004); },
       {{"call/not_tested", "\"no_call_offered\""}, {"call/audio", "null"}}},
      {"one-way audio: no figures for the way nothing came",
       [](TRunReport& f) {
         TCallResult c;
         c.Started = true;
         c.Audio = TCallAudio::OneWayOut;
         c.Up = CallDirection(std::vector<bool>(750, true), 750, 0, {}, 0);
         c.Down = CallDirection({}, 750, 0, {}, 0);
         f.Result.Call = c;
       },
       {{"call/not_tested", "null"}, {"call/audio", "\"one_way_out\""}, {"call/down/received", "0"},
        {"call/down/mos", "null"}, {"call/down/r_factor", "null"}, {"call/up/received", "750"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRunReport report;
    row.setUp(report);
    report.Summary = SummariseRun(report.Result, {report.ServerPort, report.RtpPort, 0, report.LocalIp});
    std::string error;
    const QJsonObject root = ParseJson(CliJson(report, TCliRecord(), 0), error);
    ASSERT_EQ(error, "");
    for (const auto& [path, value] : row.expected) {
      QJsonValue v = root;
      for (const QString& key : QString::fromStdString(path).split('/')) v = v.toObject()[key];
      const QJsonDocument doc = v.isObject() ? QJsonDocument(v.toObject()) : QJsonDocument(QJsonArray{v});
      std::string text = doc.toJson(QJsonDocument::Compact).toStdString();
      if (!v.isObject()) text = text.substr(1, text.size() - 2);  // the value alone, without its array
      EXPECT_EQ(text, value) << path;
    }
  }
}

TEST_F(ConsoleFront, every_output_line_carries_its_tag) {
  struct Row {
    TCliLine line;
    std::string out;
  };
  const Row rows[] = {
      {{"SIP", "No ALG detected on port 5060. "}, "[SIP] No ALG detected on port 5060. \n"},
      {{"STATUS", ""}, "[STATUS] \n"},
      {{"ERROR", "Socket Error # 10061\r\nConnection refused."},
       "[ERROR] Socket Error # 10061\n[ERROR] Connection refused.\n"},
      {{"ERROR", "a\nb\rc\r\n"}, "[ERROR] a\n[ERROR] b\n[ERROR] c\n"},
      {{"ERROR", "a\r\n\r\nb"}, "[ERROR] a\n[ERROR] \n[ERROR] b\n"},
  };
  for (const Row& row : rows) EXPECT_EQ(CliOutput(row.line), row.out) << row.line.Text;
}

TEST_F(ConsoleFront, usage_errors_and_help) {
  struct Row {
    QStringList args;
    int status;
    std::string err;  // the message on the error stream ("" for none)
    std::string out;  // text the standard output holds
    bool usage = true;  // the usage text follows the message
  };
  const QString a = QString::fromStdString(me), b = QString::fromStdString(at);
  const Row rows[] = {
      {{"--max-seconds", "0"}, 3, "--max-seconds needs a whole number above 0, not '0'", ""},
      {{"--max-seconds", "ten"}, 3, "--max-seconds needs a whole number above 0, not 'ten'", ""},
      {{"--local-ip"}, 3, "--local-ip needs a value", ""},
      {{"--bogus"}, 3, "unknown option --bogus", ""},
      {{a, b}, 3, "only one endpoint may be given (" + me + ", " + at + ")", ""},
      {{"-x"}, 3, "unknown option -x", ""},
      // Not this computer's: said at once, with no bind attempted.
      {{"--local-ip", "192.0.2.77", b}, 3, "--local-ip 192.0.2.77 is not an address of this computer; its addresses: ",
       "", false},
      {{"--call-seconds", "-1"}, 3, "--call-seconds needs a whole number from 0 to 3600, not '-1'", ""},
      {{"--help"}, 0, "", "usage: nat-sip-alg-tester-cli [--local-ip ADDR] [--max-seconds N] [--call-seconds N]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.join(' ').toStdString());
    const CliRun r = RunCli(row.args, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.status, row.status);
    if (row.err.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.rfind("nat-sip-alg-tester-cli: " + row.err, 0), 0u) << r.err;
      EXPECT_EQ(r.err.find("usage: nat-sip-alg-tester-cli") != std::string::npos, row.usage) << r.err;
      EXPECT_EQ(r.out, "");
    }
    if (!row.out.empty()) {
      EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    }
  }
}

}  // namespace
