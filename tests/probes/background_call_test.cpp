// The tester's side of a call: what it sent and what came back decide, with the server's
// report, what the call says; a report that contradicts them is refused.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "probes/CallTest.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& start) {
  for (const std::string& l : lines)
    if (l.rfind(start, 0) == 0) return true;
  return false;
}

TEST(BackgroundCall, the_report_is_checked_against_what_was_sent_and_what_came_back) {
  const std::string token = "0123456789abcdef.c5-5004";
  TBackgroundCall call;
  std::mutex lock;
  std::vector<call_wire::TPacket> sent;
  call.Start(
      [&](const std::string& bytes) {
        std::lock_guard<std::mutex> g(lock);
        sent.push_back(*call_wire::ParsePacket(bytes));
      },
      "127.0.0.1", token, 1);
  for (int i = 0; i < 500 && !call.SendingDone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(call.SendingDone());
  ASSERT_EQ(call.Sent(), 50);
  // The server's stream: 45 packets (without send times: no round trip to weigh); one forged from
  // elsewhere.
  for (uint32_t i = 0; i < 45; ++i) {
    call_wire::TPacket p;
    p.Index = i;
    p.Timestamp = 7;  // taken all at once: one timestamp, no jitter
    p.Token = token;
    EXPECT_TRUE(call.Take(call_wire::PacketBytes(p), "127.0.0.1", SteadyUs()));
  }
  call_wire::TPacket forged;
  forged.Index = 45;
  forged.Token = token;
  EXPECT_FALSE(call.Take(call_wire::PacketBytes(forged), "127.0.0.2", SteadyUs()));
  EXPECT_EQ(call.ReceivedSoFar(), 45);

  call_wire::TReport good;
  good.Received = 50;
  good.Sent = 45;
  good.JitterUs = 800;
  good.Map.assign(50, true);
  call_wire::TReport forgedCount = good;  // 6,000 received and sent back, of the 50 sent
  forgedCount.Received = forgedCount.Sent = 6000;
  forgedCount.Map.assign(6000, true);
  call_wire::TReport busy;
  busy.Busy = true;
  const std::string refused = "The server's call report does not add up (";
  struct Row {
    const char* name;
    const call_wire::TReport* report;  // none: no report came
    bool unreadable, stopped, whole;
    TCallNotTested why;
    bool up;                           // the sending quality is told
    std::vector<std::string> lines;    // lines that begin so
    std::vector<std::string> without;  // and none that begins so
  } rows[] = {
      {"a report that adds up", &good, false, false, true, TCallNotTested::None, true,
       {"Audio both ways", "Call quality sending: MOS 4.4", "Call quality receiving: MOS 4.4"}, {refused}},
      {"6,000 of 50", &forgedCount, false, false, true, TCallNotTested::None, false,
       {"Audio both ways", refused + "it received 6000 packets of the 50 sent): sending quality not told",
        "Call quality receiving: MOS 4.4 (R 93), 0.0 % lost"},
       {"Call quality sending"}},
      {"a report that does not read", nullptr, true, false, true, TCallNotTested::None, false,
       {"Audio both ways", refused + "it does not read): sending quality not told", "Call quality receiving"}, {}},
      {"no report, audio back", nullptr, false, false, false, TCallNotTested::None, false,
       {"Audio both ways", "The server's call report did not come: sending quality not told", "Call quality receiving"},
       {"Test call cut short"}},
      {"stopped before the report", nullptr, false, true, false, TCallNotTested::Stopped, false,
       {"Test call cut short: the run was stopped", "Call quality receiving"}, {"Audio both ways"}},
      {"busy", &busy, false, false, true, TCallNotTested::ServerBusy, false,
       {"Call not tested: the server has no room"}, {"Call quality"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TBackgroundCall::TEnd end;
    if (r.report) end.Report = *r.report;
    end.Unreadable = r.unreadable;
    end.Stopped = r.stopped;
    end.Whole = r.whole;
    end.Port = 5004;
    end.BurstCame = true;
    const TCallResult c = call.Result(end);
    EXPECT_EQ(c.NotTested, r.why);
    EXPECT_EQ(c.Up.has_value(), r.up);
    if (c.Up) {
      EXPECT_EQ(c.Up->Sent, 50) << "its own count of what it sent";
    }
    const auto lines = CallLines(c);
    for (const std::string& l : r.lines) EXPECT_TRUE(Has(lines, l)) << l;
    for (const std::string& l : r.without) EXPECT_FALSE(Has(lines, l)) << l;
  }
}

}  // namespace
