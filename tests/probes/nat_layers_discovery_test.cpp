// The NAT layers' checks beside the run: what reaches the result, what is not asked, an answer
// that comes too late; and the path's probes over real loopback sockets.
#include <gtest/gtest.h>

#include <thread>

#include "net/IdComponent.h"
#include "probes/NatLayersDiscovery.h"
#include "tests/support/Loopback.h"

namespace {

using namespace std::chrono_literals;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Fakes that note how they were asked.
struct Asked {
  std::atomic<int> upnp{0}, natPmp{0};
  std::string pathFrom, pathTo;  // written by the path's thread before its result is taken
};

TNatLayerProbes Fakes(std::shared_ptr<Asked> asked) {
  TNatLayerProbes p;
  p.Upnp = [asked](const std::string& from, const std::string& gateway, int budgetMs) {
    ++asked->upnp;
    EXPECT_EQ(budgetMs, kGatewayAskMs);
    return std::optional<TGatewayAnswer>(TGatewayAnswer{TGatewayProtocol::Upnp, from + "/" + gateway});
  };
  p.NatPmp = [asked](const std::string&, const std::string&, int) {
    ++asked->natPmp;
    return std::optional<TGatewayAnswer>();
  };
  p.Path = [asked](const std::string& from, const std::string& to, const std::atomic<bool>*) {
    asked->pathFrom = from;
    asked->pathTo = to;
    return TPathTrace{{{1, "192.168.77.1"}}, 2};
  };
  return p;
}

TEST(NatLayersDiscovery, the_router_and_the_path_are_asked_from_the_runs_address) {
  auto asked = std::make_shared<Asked>();
  TBackgroundNatLayers layers(Fakes(asked));
  EXPECT_FALSE(layers.Result(Sleep)) << "not started";
  layers.Start("192.168.77.2", "localhost", "192.168.77.1");
  const auto seen = layers.Result(Sleep);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->Gateway, "192.168.77.1");
  EXPECT_EQ(seen->Upnp, (TGatewayAnswer{TGatewayProtocol::Upnp, "192.168.77.2/192.168.77.1"}));
  EXPECT_FALSE(seen->NatPmp);
  EXPECT_EQ(asked->natPmp, 1);
  EXPECT_EQ(seen->Path.DestinationTtl, 2);
  EXPECT_EQ(asked->pathFrom, "192.168.77.2");
  EXPECT_EQ(asked->pathTo, "127.0.0.1") << "the server's address, not its name";
}

TEST(NatLayersDiscovery, no_router_found_is_not_asked) {
  auto asked = std::make_shared<Asked>();
  TBackgroundNatLayers layers(Fakes(asked));
  layers.Start("192.168.77.2", "203.0.113.2", "0.0.0.0");
  const auto seen = layers.Result(Sleep);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->Gateway, "");
  EXPECT_EQ(asked->upnp + asked->natPmp, 0);
  EXPECT_EQ(asked->pathTo, "203.0.113.2");
}

TEST(NatLayersDiscovery, an_answer_after_its_time_counts_as_none) {
  auto asked = std::make_shared<Asked>();
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto ended = std::make_shared<std::atomic<bool>>(false);
  TNatLayerProbes p = Fakes(asked);
  p.Upnp = [release, ended](const std::string&, const std::string&, int) {
    // A library call that overstays its second: it ends when the test lets it.
    for (int i = 0; i < 2000 && !*release; ++i) Sleep(5);
    *ended = true;
    return std::optional<TGatewayAnswer>(TGatewayAnswer{TGatewayProtocol::Upnp, "203.0.113.7"});
  };
  const auto start = std::chrono::steady_clock::now();
  {
    TBackgroundNatLayers layers(p);
    layers.Start("192.168.77.2", "203.0.113.2", "192.168.77.1");
    const auto seen = layers.Result(Sleep);
    ASSERT_TRUE(seen);
    EXPECT_FALSE(seen->Upnp);
    EXPECT_EQ(seen->Path.DestinationTtl, 2) << "what came in time is kept";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kNatLayersMs + kNatLayersSlackMs + 500));
  }  // left running on its own
  *release = true;
  EXPECT_TRUE(support::WaitUntil([&] { return ended->load(); })) << "the late call ends by itself";
}

TEST(NatLayersDiscovery, the_path_on_loopback_is_the_server_itself) {
  const TIdComponent stack;
  const TPathTrace t = SystemNatLayerProbes().Path(support::TestAddress(0), support::TestAddress(1), nullptr);
  EXPECT_TRUE(t.Hops.empty());
  EXPECT_EQ(t.DestinationTtl, 1) << "its closed port answers the first probe";
}

}  // namespace
