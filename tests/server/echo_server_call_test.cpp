// The test call's side of the echo server: when a call sends, skips and ends, and the call over
// real loopback sockets: the stream back, who gets none, the busy answer and the report.
#include <gtest/gtest.h>

#include <algorithm>

#include "probes/SipProbe.h"
#include "proto/CallWire.h"
#include "proto/NatTimeoutWire.h"
#include "server/ServerContext.h"
#include "server/SessionPolicy.h"
#include "tests/server/ServerTest.h"

using namespace servertest;

namespace {

TEST(CallStep, SendsWhileItHasCreditSkipsWithoutAndEndsWhenTheStreamStops) {
  const TServerTime first;
  const auto s = [](int ms) { return std::chrono::milliseconds(ms); };
  const TServerTime longest = first + std::chrono::seconds(5) + s(kCallGraceMs);  // 5 s calls
  struct Row {
    const char* name;
    int received, sent;
    TServerTime now, latest;
    TCallStep step;
  } rows[] = {
      {"more received than sent", 3, 2, first + s(60), first + s(40), TCallStep::Send},
      {"as many sent as received", 3, 3, first + s(60), first + s(40), TCallStep::Skip},
      {"just before a second of silence", 3, 2, first + s(40 + kCallSilenceMs - 1), first + s(40), TCallStep::Send},
      {"a second of silence", 3, 2, first + s(40 + kCallSilenceMs), first + s(40), TCallStep::End},
      {"just before the longest call's end", 300, 10, longest - s(1), longest - s(20), TCallStep::Send},
      {"at the longest call's end, the stream still on", 300, 10, longest, longest - s(20), TCallStep::End},
  };
  for (const Row& r : rows) EXPECT_EQ(CallStep(r.received, r.sent, r.now, first, r.latest, 5), r.step) << r.name;
}

class EchoServerCall : public ServerTest {
 protected:
  // A server that takes calls of up to 10 s on an RTP port of the system's choice.
  TEchoServerConfig CallConfig() const {
    TEchoServerConfig c = Config();
    c.RtpPort = 0;
    c.CallMaxSeconds = 10;
    return c;
  }
  uint16_t RtpPort() { return server->Server().RtpPort(); }

  // The tester's packet of tick i: sequence, timestamp and index follow the tick.
  static std::string Packet(const std::string& token, uint32_t i) {
    call_wire::TPacket p;
    p.Seq = static_cast<uint16_t>(i);
    p.Timestamp = i * call_wire::kTimestampStep;
    p.Ssrc = 77;
    p.Index = i;
    p.TimeUs = 1000000 + i;  // our send time, told apart by its tick
    p.Token = token;
    return call_wire::PacketBytes(p);
  }

  // A call from `rtp`: `ticks` ticks 20 ms apart, of which those that `sent` keeps go out; then
  // until 500 ms pass without one. What came back to `rtp`, as sent.
  std::vector<support::Datagram> Call(const UdpPeer& rtp, const std::string& token, int ticks,
                                      const std::function<bool(int)>& sent = nullptr) {
    std::vector<support::Datagram> back;
    const auto start = support::Clock::now();
    for (int i = 0; i < ticks; ++i) {
      if (!sent || sent(i)) {
        rtp.SendTo(srv, RtpPort(), Packet(token, static_cast<uint32_t>(i)));
        lastSent = support::Clock::now();
      }
      const auto next = start + (i + 1) * 20ms;
      for (int n = 0; n < 100 && support::Clock::now() < next; ++n)
        if (auto d = rtp.Receive(std::chrono::duration_cast<std::chrono::milliseconds>(next - support::Clock::now())))
          back.push_back(*d);
    }
    for (int n = 0; n < 1000; ++n) {
      auto d = rtp.Receive(500ms);
      if (!d) break;
      back.push_back(*d);
    }
    return back;
  }
  support::Clock::time_point lastSent;

  // The next frame on the session that is a call report (echoes before it are passed over).
  static std::optional<call_wire::TReport> NextReport(Session& s, std::chrono::milliseconds deadline = 5000ms) {
    for (int i = 0; i < 20; ++i) {
      const auto frame = NextEcho(s, deadline);
      if (!frame) return std::nullopt;
      if (frame->rfind("CALL-REPORT ", 0) == 0) return call_wire::ParseReport(*frame);
    }
    return std::nullopt;
  }
};

TEST_F(EchoServerCall, stream_latched_back_skips_what_did_not_come_and_the_report_follows_its_stop) {
  ASSERT_TRUE(Open(CallConfig()));
  // The token announces the call and the port actually bound.
  ASSERT_EQ(call_wire::PlanFromToken(session->token), (call_wire::TPlan{10, RtpPort()}));
  auto rtp = Udp(me);
  // Of every four ticks, the middle two are lost on the way up.
  const auto kept = [](int i) { return i % 4 == 0 || i % 4 == 3; };
  const auto back = Call(rtp, session->token, 40, kept);

  ASSERT_GE(back.size(), 10u);
  ASSERT_LE(back.size(), 20u) << "no more than came";
  uint32_t longestStep = 0;
  for (size_t i = 0; i < back.size(); ++i) {
    const auto p = call_wire::ParsePacket(back[i].data), q = call_wire::ParsePacket(back[i ? i - 1 : 0].data);
    ASSERT_TRUE(p && q);
    EXPECT_EQ(back[i].fromIp + ":" + std::to_string(back[i].fromPort), srv + ":" + std::to_string(RtpPort()));
    EXPECT_EQ(p->Token, session->token);
    EXPECT_TRUE(p->TimeUs >= 1000000u && p->TimeUs < 1000040u) << "the send time of one of ours";
    EXPECT_EQ(p->Index, i);
    // Skipped ticks advance the timestamp, never the sequence.
    EXPECT_EQ(p->Seq, static_cast<uint16_t>(q->Seq + (i ? 1 : 0)));
    EXPECT_EQ((p->Timestamp - q->Timestamp) % call_wire::kTimestampStep, 0u);
    longestStep = std::max(longestStep, p->Timestamp - q->Timestamp);
  }
  EXPECT_GE(longestStep, 2u * call_wire::kTimestampStep) << "a tick without credit was skipped";
  // The stream's stop ends the call: the report comes a second after it, not at the longest.
  const auto report = NextReport(*session);
  const auto after = support::Clock::now() - lastSent;
  ASSERT_TRUE(report);
  EXPECT_EQ(report->Received, 20);
  EXPECT_EQ(report->Sent, static_cast<int>(back.size()));
  ASSERT_EQ(report->Map.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(report->Map[static_cast<size_t>(i)], kept(i)) << i;
  EXPECT_GE(after, 900ms);
  EXPECT_LT(after, 5000ms);
  // A session that reached its checks logs its call in its own line.
  auto sip = Udp(me);
  TSipProbe probe;
  probe.BuildRegister(session->token, "5060", me, std::to_string(sip.Port()));
  sip.SendTo(srv, 5060, probe.RegisterMsg);
  ASSERT_TRUE(NextEcho(*session));
  session->conn.Close();
  EXPECT_TRUE(server->WaitForLine("call 20 received, " + std::to_string(back.size()) + " sent, jitter "));
}

TEST_F(EchoServerCall, packets_from_another_address_or_without_a_session_token_get_nothing) {
  ASSERT_TRUE(Open(CallConfig()));
  auto stranger = Udp(support::TestAddress(2));
  auto rtp = Udp(me);
  // The session's token from an address without its control connection; a token of no session;
  // a datagram that is no call packet.
  stranger.SendTo(srv, RtpPort(), Packet(session->token, 0));
  rtp.SendTo(srv, RtpPort(), Packet("0123456789abcdef0123456789abcdef", 0));
  rtp.SendTo(srv, RtpPort(), std::string(172, 'x'));
  EXPECT_FALSE(stranger.Receive(300ms));
  EXPECT_FALSE(rtp.Receive(10ms));
  EXPECT_TRUE(server->WaitForLine("dropped: not from its session's address"));
  EXPECT_TRUE(server->WaitForLine("dropped: no session"));
  EXPECT_TRUE(server->WaitForLine("dropped: not a call packet"));
  // None of them took the session's call: its own stream still gets one.
  EXPECT_FALSE(Call(rtp, session->token, 3).empty());
  EXPECT_EQ(server->Server().Counters().Calls, 1u);
}

TEST_F(EchoServerCall, a_call_past_the_cap_is_told_busy_once_and_gets_nothing) {
  TEchoServerConfig config = CallConfig();
  config.MaxCalls = 1;
  ASSERT_TRUE(Open(config));
  const std::string there = support::TestAddress(2);
  auto second = Greet(there);
  ASSERT_TRUE(second);
  auto rtp = Udp(me), rtp2 = Udp(there);
  // The first call runs; the second session's begins within its second of silence.
  for (uint32_t i = 0; i < 3; ++i) rtp.SendTo(srv, RtpPort(), Packet(session->token, i));
  ASSERT_TRUE(rtp.Receive());
  for (uint32_t i = 0; i < 5; ++i) rtp2.SendTo(srv, RtpPort(), Packet(second->token, i));
  const auto busy = NextReport(*second);
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->Busy);
  EXPECT_FALSE(rtp2.Receive(500ms));
  EXPECT_FALSE(NextEcho(*second, 1500ms)) << "told once";
  // Its call is used up: once the first call is over, the refused session still takes none.
  rtp2.SendTo(srv, RtpPort(), Packet(second->token, 5));
  EXPECT_FALSE(rtp2.Receive(500ms));
  EXPECT_EQ(server->Server().Counters().CallsBusy, 1u);
}

// An address of the loopback range in another /24 than `address`.
std::string OtherNetwork(const std::string& address) {
  const size_t second = address.find('.', address.find('.') + 1), third = address.find('.', second + 1);
  const int c = std::stoi(address.substr(second + 1, third - second - 1));
  return address.substr(0, second + 1) + std::to_string(c ^ 1) + address.substr(third);
}

TEST_F(EchoServerCall, one_address_holds_its_share_of_the_calls_and_a_tester_from_elsewhere_gets_one) {
  TEchoServerConfig config = CallConfig();
  config.MaxCalls = 3;
  config.MaxCallsPerAddress = 2;  // its network's share is 2 as well (the least a network has)
  Serve(config);
  // An attacker at one address opens sessions and keeps their calls alive, one packet at a time.
  const std::string attacker = support::TestAddress(2);
  std::vector<Session> held;
  std::vector<std::unique_ptr<UdpPeer>> streams;
  uint32_t index = 0;
  const auto feed = [&] {
    for (size_t i = 0; i < held.size(); ++i) streams[i]->SendTo(srv, RtpPort(), Packet(held[i].token, index));
    ++index;
  };
  for (int i = 0; i < 3; ++i) {
    auto s = Greet(attacker);
    ASSERT_TRUE(s);
    held.push_back(std::move(*s));
    streams.push_back(std::make_unique<UdpPeer>(attacker, 0));
  }
  feed();
  // Two calls run; the third session of the address is told busy, though a slot is free.
  ASSERT_TRUE(streams[0]->Receive());
  ASSERT_TRUE(streams[1]->Receive());
  const auto third = NextReport(held[2]);
  ASSERT_TRUE(third);
  EXPECT_TRUE(third->Busy);
  // Another address of its network: the network holds its share.
  const std::string neighbour = support::TestAddress(3);
  auto n = Greet(neighbour);
  ASSERT_TRUE(n);
  auto nRtp = Udp(neighbour);
  feed();
  nRtp.SendTo(srv, RtpPort(), Packet(n->token, 0));
  const auto busy = NextReport(*n);
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->Busy);
  // A tester from another network gets the free slot while the attacker's calls go on.
  const std::string elsewhere = OtherNetwork(me);
  auto tester = Greet(elsewhere);
  ASSERT_TRUE(tester);
  auto rtp = Udp(elsewhere);
  feed();
  rtp.SendTo(srv, RtpPort(), Packet(tester->token, 0));
  const auto back = rtp.Receive();
  ASSERT_TRUE(back);
  EXPECT_EQ(call_wire::ParsePacket(back->data)->Token, tester->token);
  EXPECT_EQ(server->Server().Counters().Calls, 3u);
  EXPECT_EQ(server->Server().Counters().CallsBusy, 2u);
  // Neither running call was cut for it: both still answer.
  feed();
  for (int i = 0; i < 2; ++i) {
    bool answered = false;
    for (int k = 0; k < 10 && !answered; ++k) {
      const auto d = streams[i]->Receive();
      if (!d) break;
      answered = call_wire::ParsePacket(d->data)->Index >= 1;
    }
    EXPECT_TRUE(answered) << "call " << i;
  }
}

TEST_F(EchoServerCall, a_flood_of_lone_datagrams_is_summed_and_the_log_stays_within_its_bound) {
  TEchoServerConfig config = CallConfig();
  config.TimeoutIdleSecs = {10, 15};
  config.LogSummaryMs = 60000;   // one period: the server's stop closes it
  config.LogLinesPerPeriod = 4;  // testers' own lines
  config.MaxCallsPerAddress = 1;
  Serve(config);
  // 30 sessions from one address, each sending one datagram: a time-out request, a call packet
  // (one call per address; the rest are told busy) or a REGISTER, one of the checks.
  auto udp = Udp(me);
  std::vector<Session> sessions;
  for (int i = 0; i < 30; ++i) {
    auto s = Greet(me);
    ASSERT_TRUE(s);
    switch (i % 3) {
      case 0:
        udp.SendTo(srv, 5060, nat_timeout::RequestText({s->token, 1, nat_timeout::TKind::New, 10, 1}));
        ASSERT_TRUE(udp.Receive()) << "its answer";
        break;
      case 1:
        udp.SendTo(srv, RtpPort(), Packet(s->token, 0));
        if (i == 1) {
          ASSERT_TRUE(udp.Receive()) << "the call's first packet back";
        } else {
          const auto busy = NextReport(*s);
          ASSERT_TRUE(busy && busy->Busy);
        }
        break;
      default: {
        TSipProbe probe;
        probe.BuildRegister(s->token, "5060", me, std::to_string(udp.Port()));
        udp.SendTo(srv, 5060, probe.RegisterMsg);
        ASSERT_TRUE(NextEcho(*s));
      }
    }
    sessions.push_back(std::move(*s));
  }
  server->Server().Stop();
  ASSERT_TRUE(server->WaitForLine("20 sessions from 1 network ended without a probe in the last minute"));
  ASSERT_TRUE(server->WaitForLine("6 testers' lines from 1 network not logged one by one in the last minute"));
  size_t bytes = 0, own = 0;
  for (const auto& line : server->Lines()) {
    EXPECT_LE(line.size(), TServerContext::kMaxLogLine);
    bytes += line.size();
    if (line.rfind("session ", 0) == 0) {
      ++own;
      EXPECT_NE(line.find(" 1 echoes, "), std::string::npos) << "only the checked ones: " << line;
    }
  }
  EXPECT_EQ(own, 4u);
  // The testers' lines of the period, the stranger lines of a period and a handful of fixed ones.
  EXPECT_LE(bytes, (config.LogLinesPerPeriod + TServerContext::kStrangerLines + 1 + 8) * TServerContext::kMaxLogLine);
}

TEST_F(EchoServerCall, the_call_ends_the_session_burst_still_running) {
  TEchoServerConfig config = CallConfig();
  config.RtpPackets = 500;  // 5 s at 10 ms
  ASSERT_TRUE(Open(config));
  auto rtp = Udp(me);
  auto sip = Udp(me);
  TSipProbe p;
  p.BuildInvite(session->token, "5060", me, std::to_string(sip.Port()), true, static_cast<uint16_t>(rtp.Port()));
  sip.SendTo(srv, 5060, p.InviteMsg);
  const auto first = rtp.Receive();
  ASSERT_TRUE(first);
  ASSERT_EQ(static_cast<uint8_t>(first->data[1]) & 0x7F, 8) << "the burst's PCMA";
  const auto back = Call(rtp, session->token, 5);
  // From the call's first packet on, no more of the burst.
  const auto isCall = [](const support::Datagram& d) { return call_wire::ParsePacket(d.data).has_value(); };
  const auto call = std::find_if(back.begin(), back.end(), isCall);
  ASSERT_NE(call, back.end());
  EXPECT_TRUE(std::all_of(call, back.end(), isCall));
  EXPECT_LT(call - back.begin(), 499);
}

}  // namespace
