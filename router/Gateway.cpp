#include "router/Gateway.h"

#include <cstring>

#include "router/RouterPlatform.h"

std::string IpToText(uint32_t address) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  std::string out;
  for (int i = 0; i < 4; ++i) {
    if (i) out += '.';
    out += std::to_string(b[i]);
  }
  return out;
}

std::string MacToText(const std::array<uint8_t, 6>& mac) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(12);
  for (uint8_t byte : mac) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

std::array<std::string, 3> MacPrefixes(const std::string& macText) {
  return {macText.substr(0, 9), macText.substr(0, 7), macText.substr(0, 6)};
}

TGatewayLookup SystemGatewayLookup() {
  TGatewayLookup lookup;
  lookup.BestRouteNextHop = [](uint32_t destination) { return PlatformBestRouteNextHop(destination); };
  lookup.NeighbourHardwareAddress = [](uint32_t address, std::array<uint8_t, 6>& mac) {
    PlatformNeighbourHardwareAddress(address, mac);
  };
  return lookup;
}

TGatewayInfo DiscoverGateway(const TLineSink& sink, const TGatewayLookup& lookup) {
  uint32_t probe;
  std::memcpy(&probe, RouteProbeAddress.data(), 4);
  std::array<uint8_t, 6> mac{};
  uint32_t gateway = 0;
  if (lookup.BestRouteNextHop) gateway = lookup.BestRouteNextHop(probe);
  // No gateway: nothing to ask the neighbour table; the MAC stays all zero.
  if (gateway != 0 && lookup.NeighbourHardwareAddress) lookup.NeighbourHardwareAddress(gateway, mac);

  TGatewayInfo info;
  info.MacText = MacToText(mac);
  info.RouterIP = IpToText(gateway);
  if (sink) {
    sink("Router IP: " + info.RouterIP);
    sink("Router mac address: " + info.MacText);
  }
  return info;
}
