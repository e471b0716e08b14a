// The path's probes against a made-up network on a made-up clock: which answers count, what is
// sent again, and when it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "probes/PathTrace.h"

namespace {

const std::string kServer = "203.0.113.2";

// Routers at the times to live of `routers`, the server beyond them; `answer` may drop or alter
// what comes back for a send (the n-th of its time to live) and add forged answers.
struct FakePath : TPathSocket {
  std::vector<std::string> routers;
  std::function<std::vector<TPathAnswer>(TPathAnswer real, int ttl, int nth)> answer =
      [](TPathAnswer a, int, int) { return std::vector<TPathAnswer>{a}; };
  int64_t now = 0;
  std::vector<std::pair<int64_t, int>> sent;  // (when, time to live)
  std::deque<TPathAnswer> queue;

  bool Send(const std::string& address, uint16_t port, int ttl, const std::string&) override {
    sent.emplace_back(now, ttl);
    EXPECT_EQ(port, kPathBasePort + ttl);
    const bool atServer = ttl > static_cast<int>(routers.size());
    const TPathAnswer real{atServer ? TPathAnswer::TKind::Unreachable : TPathAnswer::TKind::TimeExceeded,
                           atServer ? address : routers[ttl - 1], address, port};
    for (const TPathAnswer& a : answer(real, ttl, Sends(ttl))) queue.push_back(a);
    return true;
  }
  std::optional<TPathAnswer> Receive(int timeoutMs) override {
    EXPECT_GE(timeoutMs, 1);
    if (queue.empty()) {
      now += timeoutMs;
      return std::nullopt;
    }
    TPathAnswer a = queue.front();
    queue.pop_front();
    return a;
  }
  int Sends(int ttl) const {
    return static_cast<int>(std::count_if(sent.begin(), sent.end(), [&](const auto& s) { return s.second == ttl; }));
  }
};

TEST(PathTrace, forged_answers_are_dropped_and_a_lost_one_is_asked_again) {
  FakePath net;
  net.routers = {"192.168.77.1", "100.64.0.1"};
  net.answer = [](TPathAnswer a, int ttl, int nth) -> std::vector<TPathAnswer> {
    using K = TPathAnswer::TKind;
    if (ttl == 2 && nth == 1) return {};  // the first answer of the second router is lost
    if (ttl != 1) return {a};
    return {{K::TimeExceeded, "198.51.100.9", "198.51.100.9", a.ToPort},           // about another host
            {K::TimeExceeded, "198.51.100.9", kServer, kPathBasePort + kPathMaxTtl + 1},  // a port not probed
            {K::TimeExceeded, "198.51.100.9", kServer, kPathBasePort},
            {K::Unreachable, "10.1.1.1", kServer, kPathBasePort + 2},                // not from the server
            {K::TimeExceeded, kServer, kServer, kPathBasePort + 2},                  // the server, expiring it
            {K::TimeExceeded, "10.0.0.1", kServer, kPathBasePort + 5},               // beyond the server
            a};
  };
  const TPathTrace t = TracePath(net, kServer, [&] { return net.now; });
  EXPECT_EQ(t.Hops, (std::vector<TPathHop>{{1, "192.168.77.1"}, {2, "100.64.0.1"}}));
  EXPECT_EQ(t.DestinationTtl, 3);
  EXPECT_EQ(net.Sends(2), 2) << "sent again after its answer was lost";
  for (int ttl : {1, 3, kPathMaxTtl}) EXPECT_EQ(net.Sends(ttl), 1) << ttl;
  EXPECT_LT(net.now, kPathMs) << "ends once every hop below the server answered";
}

TEST(PathTrace, silence_is_asked_again_until_the_time_is_up) {
  FakePath net;
  net.answer = [](TPathAnswer, int, int) { return std::vector<TPathAnswer>{}; };
  const TPathTrace t = TracePath(net, kServer, [&] { return net.now; });
  EXPECT_TRUE(t.Hops.empty());
  EXPECT_FALSE(t.DestinationTtl);
  EXPECT_GE(net.now, kPathMs);
  EXPECT_LE(net.now, kPathMs + 100);
  EXPECT_EQ(net.Sends(1), (kPathMs + kPathResendMs - 1) / kPathResendMs);
  EXPECT_EQ(net.sent.size(), static_cast<size_t>(kPathMaxTtl * net.Sends(1)));
}

}  // namespace
