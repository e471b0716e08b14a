// Gateway discovery against real routing and neighbour tables in namespaces made here.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "netns_lab.h"
#include "router/Gateway.h"

namespace {

constexpr const char* kRouterMac = "00:1a:2b:3c:4d:5e";

// Makes the lab or skips the test.
#define MAKE_LAB_OR_SKIP(lab)                                                              \
  do {                                                                                     \
    std::string why;                                                                       \
    if (!(lab).Make(why))                                                                  \
      GTEST_SKIP() << "network namespaces cannot be made here (needs root and ip): " << why; \
    ASSERT_FALSE(HasFatalFailure());                                                       \
  } while (0)

// The host side 10.77.0.2/24, the router side 10.77.0.1/24 with a known MAC.
void Address(netns_lab::Lab& lab) {
  lab.RouterIp(std::string("link set dev gwr address ") + kRouterMac);
  lab.HostIp("addr add 10.77.0.2/24 dev gwh");
  lab.RouterIp("addr add 10.77.0.1/24 dev gwr");
}

// Discovery run in the host namespace; its two lines, "\n"-joined.
std::string Discover(netns_lab::Lab& lab, bool dropNetAdmin = false) {
  return lab.RunInHost(
      [](int fd) {
        std::string text;
        DiscoverGateway([&](const std::string& line) { text += line + "\n"; });
        (void)!::write(fd, text.data(), text.size());
      },
      dropNetAdmin);
}

TEST(GatewayNamespace, default_route_gateway_resolved) {
  netns_lab::Lab lab;
  MAKE_LAB_OR_SKIP(lab);
  Address(lab);
  lab.HostIp("route add default via 10.77.0.1");
  ASSERT_FALSE(HasFatalFailure());
  // The gateway is not in the neighbour table yet: discovery has to get it resolved.
  ASSERT_EQ(lab.HostIpOutput("neigh show 10.77.0.1"), "");
  EXPECT_EQ(Discover(lab), "Router IP: 10.77.0.1\nRouter mac address: 001A2B3C4D5E\n");
  EXPECT_NE(lab.HostIpOutput("neigh show 10.77.0.1").find(kRouterMac), std::string::npos);
}

TEST(GatewayNamespace, no_route_gives_zeros) {
  netns_lab::Lab lab;
  MAKE_LAB_OR_SKIP(lab);
  Address(lab);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Discover(lab), "Router IP: 0.0.0.0\nRouter mac address: 000000000000\n");
}

TEST(GatewayNamespace, silent_gateway_gives_zero_mac) {
  netns_lab::Lab lab;
  MAKE_LAB_OR_SKIP(lab);
  Address(lab);
  lab.RouterIp("link set dev gwr arp off");  // never answers ARP
  lab.HostIp("route add default via 10.77.0.1");
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Discover(lab), "Router IP: 10.77.0.1\nRouter mac address: 000000000000\n");
}

TEST(GatewayNamespace, without_net_admin_table_entry_used) {
  netns_lab::Lab lab;
  MAKE_LAB_OR_SKIP(lab);
  Address(lab);
  lab.HostIp("route add default via 10.77.0.1");
  lab.HostIp("neigh add 10.77.0.1 lladdr 02:00:5e:10:20:30 dev gwh nud permanent");
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Discover(lab, true), "Router IP: 10.77.0.1\nRouter mac address: 02005E102030\n");
}

TEST(GatewayNamespace, without_net_admin_empty_table_not_resolved) {
  netns_lab::Lab lab;
  MAKE_LAB_OR_SKIP(lab);
  Address(lab);
  lab.HostIp("route add default via 10.77.0.1");
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Discover(lab, true), "Router IP: 10.77.0.1\nRouter mac address: 000000000000\n");
  // Nothing was asked of the kernel, so nothing was resolved behind the tester's back.
  EXPECT_EQ(lab.HostIpOutput("neigh show 10.77.0.1"), "");
}

}  // namespace
