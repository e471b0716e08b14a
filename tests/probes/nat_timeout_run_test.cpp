// The NAT time-out test's runner over real loopback sockets, against a made-up server that loses
// what a lossy link and a NAT would: copies of an idle datagram, a warm-up answer; and a forged
// datagram from another port that must count for nothing. Runs against the echo server itself
// are the whole runs' (tests/app).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "probes/NatTimeoutTest.h"
#include "tests/support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using nat_timeout::TKind;

constexpr int kPort = 5090;

// Answers every request at once, except busy seq 1 of the 2 s mapping; after each idle time
// sends the copies `copies` names for the new mapping of that idle time (all four for a busy
// one), and for the new 3 s mapping a forged copy from another port.
class ScriptedServer {
 public:
  ScriptedServer(const std::string& address, std::map<int, std::vector<int>> copies)
      : socket_(address, kPort), forger_(address, kPort + 1), copies_(std::move(copies)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool Ok() const { return socket_.Ok() && forger_.Ok(); }
  // Requests of a mapping, once stopped.
  int Requests(TKind kind, int idle) const {
    int n = 0;
    for (const auto& [key, count] : requests_)
      if (key.first == static_cast<int>(kind) && key.second == idle) n = count;
    return n;
  }

 private:
  struct Due {
    std::chrono::steady_clock::time_point at;
    std::string ip;
    int port;
    int mapping;
    bool forged;
  };
  void Serve() {
    std::vector<Due> dues;
    while (!stop_) {
      if (const auto d = socket_.Receive(10ms)) {
        const auto r = nat_timeout::ParseRequest(d->data);
        if (!r) continue;
        ++requests_[{static_cast<int>(r->Kind), r->IdleSecs}];
        if (!(r->Kind == TKind::Busy && r->IdleSecs == 2 && r->Seq == 1))
          socket_.SendTo(d->fromIp, d->fromPort, nat_timeout::ReplyText({r->Token, r->Mapping, true, r->Seq, 0}));
        token_ = r->Token;
        if (r->Kind == TKind::Refresh) continue;
        const auto at = std::chrono::steady_clock::now() + std::chrono::seconds(r->IdleSecs);
        std::erase_if(dues, [&](const Due& x) { return x.mapping == r->Mapping; });  // silence starts again
        for (int copy = 0; copy < nat_timeout::kIdleCopies; ++copy) {
          const auto& sent = copies_[r->IdleSecs];
          if (r->Kind == TKind::Busy || std::find(sent.begin(), sent.end(), copy) != sent.end())
            dues.push_back({at + copy * 250ms, d->fromIp, d->fromPort, r->Mapping, false});
        }
        if (r->Kind == TKind::New && r->IdleSecs == 3) dues.push_back({at, d->fromIp, d->fromPort, r->Mapping, true});
      }
      const auto now = std::chrono::steady_clock::now();
      for (auto it = dues.begin(); it != dues.end();) {
        if (it->at > now) {
          ++it;
          continue;
        }
        const std::string text = nat_timeout::ReplyText({token_, it->mapping, false, 0, 3000});
        (it->forged ? forger_ : socket_).SendTo(it->ip, it->port, text);
        it = dues.erase(it);
      }
    }
  }
  support::UdpPeer socket_, forger_;
  std::map<int, std::vector<int>> copies_;
  std::map<std::pair<int, int>, int> requests_;  // read once the test is over
  std::string token_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

TEST(NatTimeoutRun, OneCopyIsEnoughAForgedOneCountsForNothingAndABusyWarmUpWaitsForTwoSeconds) {
  const std::string srv = support::TestAddress(0), me = support::TestAddress(1);
  // The new 2 s mapping: one copy of four (the third); 3 and 4 s: none came.
  std::optional<ScriptedServer> server(std::in_place, srv, std::map<int, std::vector<int>>{{2, {2}}, {3, {}}, {4, {}}});
  ASSERT_TRUE(server->Ok());
  const nat_timeout::TPlan plan{{2, 3, 4}, 1, kPort};
  const std::string token = "tok" + nat_timeout::PlanSuffix(plan);
  TStunSockets sockets(me, 7);
  TTimeoutState last;
  RunNatTimeoutTest(sockets, {StunAddressOf(srv), kPort}, token, plan, nullptr, SteadyMs,
                    [&](const TTimeoutState& s) { last = s; });
  server->Stop();
  EXPECT_EQ(server->Requests(TKind::Busy, 2), 4) << "answered 1.5 s apart at first: warmed once more";
  EXPECT_EQ(server->Requests(TKind::Busy, 3), 3);
  EXPECT_TRUE(last.Done);
  EXPECT_EQ(last.Result.New.HeldSecs, 2) << "held on one copy of four";
  EXPECT_EQ(last.Result.New.GoneBySecs, 3) << "the forged copy from another port counted for nothing";
  EXPECT_FALSE(last.Result.New.Unsteady);
  EXPECT_EQ(last.Result.Busy.HeldSecs, 4);
  EXPECT_FALSE(last.Result.Busy.GoneBySecs);
}
