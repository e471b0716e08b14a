#pragma once
// Asking the router for its own external address, as programs do that want a port forwarded:
// UPnP IGD (GetExternalIPAddress) and NAT-PMP (the public address request). A router whose
// own WAN address is private or shared has none to give, and says so (an empty or zero
// address, or an error result).
#include <optional>
#include <string>

enum class TGatewayProtocol { Upnp, NatPmp };

struct TGatewayAnswer {
  TGatewayProtocol Protocol = TGatewayProtocol::Upnp;
  // nullopt: it answered, with no address to give.
  std::optional<std::string> ExternalAddress;
  bool operator==(const TGatewayAnswer&) const = default;
};

// "upnp", "nat-pmp".
const char* GatewayProtocolName(TGatewayProtocol p);
// "UPnP", "NAT-PMP".
const char* GatewayProtocolText(TGatewayProtocol p);

// Each asks the router at `gateway` (an IPv4 address text) from localIp ("" or "0.0.0.0": any)
// and gives up after budgetMs; nullopt: no answer.
std::optional<TGatewayAnswer> AskUpnp(const std::string& localIp, const std::string& gateway, int budgetMs);
std::optional<TGatewayAnswer> AskNatPmp(const std::string& localIp, const std::string& gateway, int budgetMs);

// The address a router named, as it goes into an answer: nullopt for "", "0.0.0.0" or what is
// no IPv4 address.
std::optional<std::string> ExternalAddressOf(const std::string& text);

// The SSDP search for an internet gateway device, as one datagram.
std::string SsdpSearch();
// The description URL (LOCATION) of a search's answer that came from `gateway` and names it as
// the host: nullopt for anything else (another device, another answer, another host named).
std::optional<std::string> SsdpLocation(const std::string& reply, const std::string& from, const std::string& gateway);
