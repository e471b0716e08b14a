#pragma once
// Routing-table and neighbour-table lookups of the operating system. Implemented per platform
// (RouterPlatformLinux.cpp); nothing here ever sends a packet to the addresses it is asked about.
#include <array>
#include <cstdint>

// A fixed address on the public internet. Only the next hop of the route the system would use
// towards it is read; no packet is ever sent to it.
constexpr std::array<uint8_t, 4> RouteProbeAddress = {8, 8, 8, 8};

// Next hop (gateway) of the best route towards `destination`; both in network byte order.
// 0 when there is no route or the route has no gateway.
uint32_t PlatformBestRouteNextHop(uint32_t destination);

// Hardware address of the neighbour `address` (network byte order) into `mac`, which is left
// untouched when it cannot be resolved. When the neighbour table has no usable entry yet and
// the process may change the table, the kernel is asked to resolve it (an ARP request on the
// link, never IP traffic to the neighbour) and the table is watched for at most `waitMs`.
void PlatformNeighbourHardwareAddress(uint32_t address, std::array<uint8_t, 6>& mac, int waitMs = 1000);
