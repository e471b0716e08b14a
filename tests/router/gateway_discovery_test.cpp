#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "router/Gateway.h"
#include "router/RouterPlatform.h"

namespace {

uint32_t Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

TEST(GatewayText, ip_to_text) {
  struct Row { uint32_t addr; const char* text; };
  const Row rows[] = {
      {Addr(0xC0, 0xA8, 0x01, 0x01), "192.168.1.1"},
      {Addr(0, 0, 0, 0), "0.0.0.0"},
      {Addr(10, 0, 0, 1), "10.0.0.1"},
      {Addr(255, 255, 255, 255), "255.255.255.255"},
      {Addr(1, 20, 100, 9), "1.20.100.9"},
  };
  for (const Row& r : rows) EXPECT_EQ(IpToText(r.addr), r.text);
}

TEST(GatewayText, mac_to_text) {
  EXPECT_EQ(MacToText({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), "001A2B3C4D5E");
  EXPECT_EQ(MacToText({0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}), "0A0B0C0D0E0F");
  EXPECT_EQ(MacToText({0xFF, 0xa0, 0x01, 0x10, 0x00, 0xee}), "FFA0011000EE");
  EXPECT_EQ(MacToText({}), "000000000000");
  const auto p = MacPrefixes("001A2B3C4D5E");
  EXPECT_EQ(p[0], "001A2B3C4");
  EXPECT_EQ(p[1], "001A2B3");
  EXPECT_EQ(p[2], "001A2B");
}

// Discovery steps with scripted lookups: what is asked, what is written.
TEST(GatewayDiscovery, discovery_lines) {
  struct Row {
    uint32_t gateway;
    std::array<uint8_t, 6> mac;
    const char* ip;
    const char* macText;
    bool neighbourAsked;
  };
  const Row rows[] = {
      {Addr(192, 168, 1, 1), {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "192.168.1.1", "001A2B3C4D5E", true},
      {Addr(10, 0, 0, 1), {}, "10.0.0.1", "000000000000", true},
      {0, {1, 2, 3, 4, 5, 6}, "0.0.0.0", "000000000000", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.ip);
    uint32_t askedRoute = 0, askedNeighbour = 0;
    bool neighbourCalled = false;
    TGatewayLookup lookup;
    lookup.BestRouteNextHop = [&](uint32_t dest) { askedRoute = dest; return r.gateway; };
    lookup.NeighbourHardwareAddress = [&](uint32_t a, std::array<uint8_t, 6>& mac) {
      neighbourCalled = true;
      askedNeighbour = a;
      for (uint8_t b : mac) EXPECT_EQ(b, 0) << "buffer not zeroed";
      mac = r.mac;
    };
    std::vector<std::string> lines;
    const TGatewayInfo info = DiscoverGateway([&](const std::string& l) { lines.push_back(l); }, lookup);
    uint32_t probe;
    std::memcpy(&probe, RouteProbeAddress.data(), 4);
    EXPECT_EQ(askedRoute, probe);
    EXPECT_EQ(neighbourCalled, r.neighbourAsked);
    if (r.neighbourAsked) {
      EXPECT_EQ(askedNeighbour, r.gateway);
    }
    EXPECT_EQ(info.RouterIP, r.ip);
    EXPECT_EQ(info.MacText, r.macText);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("Router IP: ") + r.ip);
    EXPECT_EQ(lines[1], std::string("Router mac address: ") + r.macText);
  }
}

}  // namespace
