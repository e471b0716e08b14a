// The NAT layers' checks beside the run: how they are asked, an answer that comes too late; and
// the path's probes over real loopback sockets.
#include <gtest/gtest.h>

#include <thread>

#include "net/IdComponent.h"
#include "probes/NatLayersDiscovery.h"
#include "tests/support/Loopback.h"

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Fakes: UPnP names who asked whom, NAT-PMP is silent, the path notes where it went.
TNatLayerProbes Fakes(std::shared_ptr<std::string> pathAsked, std::shared_ptr<std::atomic<int>> routerAsked) {
  TNatLayerProbes p;
  p.Upnp = [routerAsked](const std::string& from, const std::string& gateway, int) {
    ++*routerAsked;
    return std::optional<TGatewayAnswer>(TGatewayAnswer{TGatewayProtocol::Upnp, from + ">" + gateway});
  };
  p.NatPmp = [routerAsked](const std::string&, const std::string&, int) {
    ++*routerAsked;
    return std::optional<TGatewayAnswer>();
  };
  p.Path = [pathAsked](const std::string& from, const std::string& to, const std::atomic<bool>*) {
    *pathAsked = from + ">" + to;  // before the result is taken
    return TPathTrace{{{1, "192.168.77.1"}}, 2};
  };
  return p;
}

TEST(NatLayersDiscovery, the_router_and_the_path_asked_from_the_runs_address) {
  auto path = std::make_shared<std::string>();
  auto router = std::make_shared<std::atomic<int>>(0);
  TBackgroundNatLayers layers(Fakes(path, router));
  EXPECT_FALSE(layers.Result(Sleep)) << "not started";
  layers.Start("192.168.77.2", "localhost", "192.168.77.1");
  const auto seen = layers.Result(Sleep);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*path, "192.168.77.2>127.0.0.1") << "to the server's address, not its name";
  EXPECT_EQ(seen->Path.DestinationTtl, 2);
  EXPECT_EQ(seen->Upnp, (TGatewayAnswer{TGatewayProtocol::Upnp, "192.168.77.2>192.168.77.1"}));
  EXPECT_FALSE(seen->NatPmp);
  EXPECT_EQ(*router, 2);
}

TEST(NatLayersDiscovery, an_answer_after_its_time_counts_as_none) {
  auto release = std::make_shared<std::atomic<bool>>(false), ended = std::make_shared<std::atomic<bool>>(false);
  TNatLayerProbes p = Fakes(std::make_shared<std::string>(), std::make_shared<std::atomic<int>>(0));
  p.Upnp = [release, ended](const std::string&, const std::string&, int) {
    // A library call that overstays its second: it ends when the test lets it.
    for (int i = 0; i < 2000 && !*release; ++i) Sleep(5);
    *ended = true;
    return std::optional<TGatewayAnswer>(TGatewayAnswer{TGatewayProtocol::Upnp, "203.0.113.7"});
  };
  {
    TBackgroundNatLayers layers(p);
    layers.Start("192.168.77.2", "203.0.113.2", "192.168.77.1");
    const auto seen = layers.Result(Sleep);
    ASSERT_TRUE(seen);
    EXPECT_FALSE(seen->Upnp);
    EXPECT_EQ(seen->Path.DestinationTtl, 2) << "what came in time is kept";
  }  // left to end on its own
  *release = true;
  EXPECT_TRUE(support::WaitUntil([&] { return ended->load(); }));
}

TEST(NatLayersDiscovery, the_path_on_loopback_is_the_server_itself) {
  const TIdComponent stack;
  const TPathTrace t = SystemNatLayerProbes().Path(support::TestAddress(0), support::TestAddress(1), nullptr);
  EXPECT_TRUE(t.Hops.empty());
  EXPECT_EQ(t.DestinationTtl, 1) << "its closed port answers the first probe";
}

}  // namespace
