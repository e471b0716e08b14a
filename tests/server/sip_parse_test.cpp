// What the server reads from SIP datagrams, as routers may hand them over.
#include <gtest/gtest.h>

#include "probes/SipProbe.h"
#include "server/RtpPacket.h"
#include "server/ServerOptions.h"
#include "server/SipParse.h"

namespace {

TEST(SipParse, call_id_token_table) {
  struct Case {
    std::string datagram;
    std::string token;
  };
  const Case cases[] = {
      {"REGISTER sip:x SIP/2.0\r\nCall-ID:abc@10.0.0.2\r\n\r\n", "abc"},
      {"REGISTER sip:x SIP/2.0\r\ncall-id:  abc@10.0.0.2 \r\n\r\n", "abc"},
      {"REGISTER sip:x SIP/2.0\r\ni: abc@1.2.3.4\r\n\r\n", "abc"},
      {"REGISTER sip:x SIP/2.0\nCall-ID: abc\n\n", "abc"},
      {"REGISTER sip:x SIP/2.0\r\nTo: <sip:a@b>\r\n\r\n", ""},
      {"REGISTER sip:x SIP/2.0\r\n\r\nCall-ID: inbody@x\r\n", ""},  // only the header block
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CallIdToken(c.datagram), c.token) << c.datagram;
}

TEST(SipParse, nat_test_invites_and_audio_port) {
  TSipProbe p;
  p.BuildInvite("t", "5060", "10.0.0.2", "5060", true, 5006);
  EXPECT_TRUE(IsNatTestInvite(p.InviteMsg));
  EXPECT_EQ(SdpAudioPort(p.InviteMsg), 5006);
  p.BuildInvite("t", "5060", "10.0.0.2", "5060", false, 5004);
  EXPECT_FALSE(IsNatTestInvite(p.InviteMsg));
  EXPECT_EQ(SdpAudioPort(p.InviteMsg), 7004);
  p.BuildRegister("t", "5060", "10.0.0.2", "5060");
  EXPECT_FALSE(IsNatTestInvite(p.RegisterMsg));
  EXPECT_FALSE(SdpAudioPort(p.RegisterMsg));

  struct Case {
    std::string datagram;
    bool natTest;
  };
  const Case cases[] = {
      {"INVITE sip:x SIP/2.0\r\nt: <sip:check_nat_timeout@h>\r\n\r\n", true},
      {"INVITE sip:x SIP/2.0\r\nTO: \"V\" <SIP:check_nat_timeout@h>;tag=1\r\n\r\n", true},
      {"INVITE sip:x SIP/2.0\r\nTo: <sip:check_nat_timeout_not@h>\r\n\r\n", false},
      {"INVITE sip:x SIP/2.0\r\nFrom: <sip:check_nat_timeout@h>\r\n\r\n", false},
      {"REGISTER sip:x SIP/2.0\r\nTo: <sip:check_nat_timeout@h>\r\n\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNatTestInvite(c.datagram), c.natTest) << c.datagram;

  const std::string head = "INVITE sip:x SIP/2.0\r\n\r\n";
  EXPECT_EQ(SdpAudioPort(head + "v=0\r\nm=audio 0 RTP/AVP 8\r\n"), std::nullopt);
  EXPECT_EQ(SdpAudioPort(head + "m=audio 70000 RTP/AVP 8\r\n"), std::nullopt);
  EXPECT_EQ(SdpAudioPort(head + "m=audio 12x RTP/AVP 8\r\n"), std::nullopt);
  EXPECT_EQ(SdpAudioPort(head + "m=video 9 RTP/AVP 8\r\nm=audio 9000/2 RTP/AVP 8\r\n"), 9000);
}

TEST(RtpPacket, alaw_codes) {
  struct Case {
    int16_t sample;
    uint8_t code;
  };
  const Case cases[] = {{0, 0xD5}, {-1, 0x55}, {32767, 0xAA}, {-32768, 0x2A},
                        {8, 0xD5}, {256, 0xC5}, {-256, 0x5A}, {4096, 0x85}};
  for (const auto& c : cases) EXPECT_EQ(LinearToALaw(c.sample), c.code) << c.sample;
  EXPECT_EQ(ToneFrameALaw().size(), 160u);
}

TEST(ServerOptions, command_line_table) {
  struct Case {
    std::vector<const char*> args;
    TOptionsOutcome outcome;
  };
  const Case cases[] = {
      {{"--address", "127.0.0.9", "--control-port", "8080"}, TOptionsOutcome::Run},
      {{"--sip-port", "5070=1000,2000", "--sip-port", "5072="}, TOptionsOutcome::Run},
      {{"--help"}, TOptionsOutcome::Help},
      {{"--address", "127.0.0.9", "--version"}, TOptionsOutcome::Version},
      {{"--address", "1.2.3"}, TOptionsOutcome::Error},
      {{"--address", "1.2.3.256"}, TOptionsOutcome::Error},
      {{"--control-port", "0"}, TOptionsOutcome::Error},
      {{"--control-port", "80x"}, TOptionsOutcome::Error},
      {{"--sip-port", "5060", "--sip-port", "5060"}, TOptionsOutcome::Error},
      {{"--sip-port", "5060=10,-5"}, TOptionsOutcome::Error},
      {{"--rtp-port", "5060"}, TOptionsOutcome::Error},
      {{"--control-port"}, TOptionsOutcome::Error},
      {{"--bogus", "1"}, TOptionsOutcome::Error},
      // Old command lines still start the server.
      {{"--idle-timeout", "60000", "--max-per-address", "32"}, TOptionsOutcome::Run},
      {{"--max-per-address", "0", "--checks-timeout", "45000"}, TOptionsOutcome::Run},
      {{"--checks-timeout", "0"}, TOptionsOutcome::Error},
      {{"--protected-per-network", "0"}, TOptionsOutcome::Run},
      {{"--protected-per-network", "-1"}, TOptionsOutcome::Error},
      {{"--nat-timeout-idle", "none"}, TOptionsOutcome::Run},
      {{"--nat-timeout-idle", "5,10,3600", "--nat-timeout-refresh", "3600"}, TOptionsOutcome::Run},
      {{"--nat-timeout-idle", "10,5"}, TOptionsOutcome::Error},
      {{"--nat-timeout-idle", "5,3601"}, TOptionsOutcome::Error},
      {{"--nat-timeout-idle", "1,5"}, TOptionsOutcome::Error},
      {{"--nat-timeout-idle", "5,,10"}, TOptionsOutcome::Error},
      {{"--nat-timeout-idle", ""}, TOptionsOutcome::Error},
      {{"--nat-timeout-refresh", "0"}, TOptionsOutcome::Error},
      {{"--nat-timeout-port", "0"}, TOptionsOutcome::Run},
      {{"--nat-timeout-port", "65535"}, TOptionsOutcome::Run},
      {{"--nat-timeout-port", "65536"}, TOptionsOutcome::Error},
      {{"--call-max-seconds", "0", "--max-calls", "1"}, TOptionsOutcome::Run},
      {{"--call-max-seconds", "120"}, TOptionsOutcome::Run},
      {{"--call-max-seconds", "121"}, TOptionsOutcome::Error},
      {{"--max-calls", "0"}, TOptionsOutcome::Error},
      {{"--max-calls-per-network", "5", "--max-calls-per-address", "1"}, TOptionsOutcome::Run},
      {{"--max-calls-per-network", "0"}, TOptionsOutcome::Error},
      {{"--max-calls-per-address", "0"}, TOptionsOutcome::Error},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"sip-alg-echo-server"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    TEchoServerConfig config;
    std::string message;
    EXPECT_EQ(ParseServerOptions(static_cast<int>(argv.size()), argv.data(), config, message),
              c.outcome)
        << c.args.front() << " " << message;
    if (c.outcome == TOptionsOutcome::Error) {
      EXPECT_FALSE(message.empty());
    }
  }
  // A port without a schedule takes the default of its position.
  const char* argv[] = {"s", "--sip-port", "5070", "--sip-port", "5072", "--sip-port", "5074"};
  TEchoServerConfig config;
  std::string message;
  ASSERT_EQ(ParseServerOptions(7, argv, config, message), TOptionsOutcome::Run);
  ASSERT_EQ(config.SipPorts.size(), 3u);
  EXPECT_EQ(config.SipPorts[0].ScheduleMs, (std::vector<int>{10000, 20000, 40000, 80000}));
  EXPECT_EQ(config.SipPorts[1].ScheduleMs, (std::vector<int>{15000, 30000, 60000}));
  EXPECT_TRUE(config.SipPorts[2].ScheduleMs.empty());
  EXPECT_TRUE(config.SipPorts[0].Adaptive && config.SipPorts[1].Adaptive);
  // The longest session: the checks and the large SIP checks, then a time-out mapping's warm-up,
  // the longest idle time and five refresh gaps past it (longer than 5060's reports), the
  // tester's countdown and the margin; a call of 30 s begun at its last moment, 2 s of grace and
  // the margin.
  EXPECT_EQ(TEchoServerConfig().LongestSessionMs(), 45000 + 30000 + 10000 + 240000 + 3000 + 10000 + 42000);
  TEchoServerConfig noTimeout;
  noTimeout.TimeoutIdleSecs.clear();
  noTimeout.CallMaxSeconds = 0;
  EXPECT_EQ(noTimeout.LongestSessionMs(), 45000 + 30000 + 2000 + 150000 + 3000 + 10000);
  // Calls at once: as many as asked, while the RTP rate carries them at 50 packets a second.
  TEchoServerConfig calls;
  calls.MaxCalls = 400;
  EXPECT_EQ(calls.CallsAtOnce(), 400u);
  calls.RtpPacketsPerSecond = 19999;
  EXPECT_EQ(calls.CallsAtOnce(), 399u);
}

TEST(ServerOptions, a_networks_and_an_addresss_share_of_the_calls) {
  struct Row {
    size_t maxCalls, perNetwork, perAddress;  // as given (0: the default)
    size_t network, address;                  // in force
  } rows[] = {
      {300, 0, 0, 18, 4},     // a sixteenth, rounded down; a quarter of that
      {303, 0, 0, 18, 4},
      {40, 0, 0, 2, 1},       // the least a network may have
      {20, 0, 0, 2, 1},
      {1, 0, 0, 1, 1},        // never more than there are calls
      {300, 5, 0, 5, 1},
      {300, 0, 7, 18, 7},
      {300, 3, 7, 3, 3},      // an address never more than its network
      {2, 9, 9, 2, 2},
  };
  for (const Row& r : rows) {
    TEchoServerConfig c;
    c.MaxCalls = r.maxCalls;
    c.MaxCallsPerNetwork = r.perNetwork;
    c.MaxCallsPerAddress = r.perAddress;
    EXPECT_EQ(c.CallsPerNetwork(), r.network) << r.maxCalls << " " << r.perNetwork << " " << r.perAddress;
    EXPECT_EQ(c.CallsPerAddress(), r.address) << r.maxCalls << " " << r.perNetwork << " " << r.perAddress;
  }
  const char* argv[] = {"s", "--max-calls-per-network", "6", "--max-calls-per-address", "3"};
  TEchoServerConfig config;
  std::string message;
  ASSERT_EQ(ParseServerOptions(5, argv, config, message), TOptionsOutcome::Run);
  EXPECT_EQ(config.CallsPerNetwork(), 6u);
  EXPECT_EQ(config.CallsPerAddress(), 3u);
}

}  // namespace

TEST(ServerOptions, nat_report_plan_decided_by_the_ports_tested) {
  TEchoServerConfig config;
  config.FirstReportMs = 2;
  config.SinglePortScheduleMs = {5, 6};
  const TSipPortPlan adaptive{5060, {10, 20}, true}, given{5070, {30, 40}, false}, none{5072, {}, true};
  struct Row {
    const char* name;
    const TSipPortPlan& plan;
    std::optional<size_t> portsTested;
    std::vector<int> gaps;
    bool decided;
  };
  const Row rows[] = {
      {"default, at its start: the first gap alone", adaptive, std::nullopt, {2}, false},
      {"default, two ports tested", adaptive, 2, {2, 10, 20}, true},
      {"default, tested alone", adaptive, 1, {2, 5, 6}, true},
      {"given, at its start", given, std::nullopt, {30, 40}, true},
      {"given, tested alone", given, 1, {30, 40}, true},
      {"none", none, std::nullopt, {}, true},
  };
  for (const Row& r : rows) {
    const TNatReportPlan plan = NatReportPlan(config, r.plan, r.portsTested);
    EXPECT_EQ(plan.GapsMs, r.gaps) << r.name;
    EXPECT_EQ(plan.Decided, r.decided) << r.name;
  }
}
