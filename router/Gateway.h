#pragma once
// Finding the router in front of this host: the default gateway's IPv4 address and its
// Ethernet (MAC) address, as the start of a test run reports them.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

// Where the router and vendor steps write their report lines (the window's pane, a test's list).
using TLineSink = std::function<void(const std::string& line)>;

// Dotted-decimal text of an IPv4 address held in network byte order: the four bytes in memory
// order, each in decimal without leading zeros ("192.168.1.1", "0.0.0.0").
std::string IpToText(uint32_t address);

// Twelve uppercase hex digits, two per byte in buffer order, no separators ("001A2B3C4D5E").
std::string MacToText(const std::array<uint8_t, 6>& mac);

// The prefixes of a router MAC text that the vendor lookup tries, longest first: its first
// 9, 7 and 6 characters.
std::array<std::string, 3> MacPrefixes(const std::string& macText);

// The two lookups discovery needs from the system. Each is synchronous; a failure leaves the
// result zero.
struct TGatewayLookup {
  // Next hop of the route towards a destination (both in network byte order); 0 without one.
  std::function<uint32_t(uint32_t destination)> BestRouteNextHop;
  // Hardware address of a neighbour; `mac` comes in zeroed and stays so when not resolved.
  std::function<void(uint32_t address, std::array<uint8_t, 6>& mac)> NeighbourHardwareAddress;
};

// The lookups as the operating system answers them (RouterPlatform.h).
TGatewayLookup SystemGatewayLookup();

// What one discovery found.
struct TGatewayInfo {
  std::string RouterIP;  // the gateway's address, dotted decimal ("0.0.0.0" when none)
  std::string MacText;   // its hardware address, 12 uppercase hex digits (all "0" when unknown)
};

// One gateway discovery: route towards RouteProbeAddress, neighbour lookup of its next hop,
// then the lines "Router IP: ..." and "Router mac address: ..." to the sink.
TGatewayInfo DiscoverGateway(const TLineSink& sink, const TGatewayLookup& lookup = SystemGatewayLookup());
