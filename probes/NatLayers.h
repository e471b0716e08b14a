#pragma once
// How many NATs lie between this computer and the internet, and whether one of them is the
// provider's carrier-grade NAT (the shared address space 100.64.0.0/10): told from what the
// router says of its own external address, from the routers on the path towards the echo
// server, and from the public address the server saw. Plain code: the decision, its lines and
// its advice.
#include <optional>
#include <string>
#include <vector>

#include "probes/PathTrace.h"
#include "router/GatewayAsk.h"

// Private: RFC 1918 (and link-local); shared: 100.64.0.0/10; public: the rest, documentation
// ranges included.
enum class TAddressKind { Private, Shared, Public };
// nullopt for a text that is no IPv4 address.
std::optional<TAddressKind> AddressKindOf(const std::string& address);
// "private", "shared", "public".
const char* AddressKindName(TAddressKind kind);

// What the checks saw.
struct TNatLayersSeen {
  std::string Gateway;  // the default gateway; "" when none was found (the router was not asked)
  std::optional<TGatewayAnswer> Upnp, NatPmp;  // nullopt: no answer, or not asked
  TPathTrace Path;      // towards the echo server
};

struct TNatLayers {
  // How the count was told, for its line.
  enum class TWhy {
    Unknown,           // nothing to go on
    NoNat,             // the server saw this computer's own address
    RouterIsPublic,    // the router's external address is the public address
    RouterPublic,      // ... is public, and the public address the server saw is unknown
    RouterNotPublic,   // ... is public, and another than the one the server saw
    RouterShared,      // ... is in the shared space: the provider's carrier-grade NAT is next
    RouterPrivate,     // ... is private: another router is next
    RouterNone,        // the router, the first hop, has no external address to give
    ServerNext,        // the echo server is the next hop after the router
    PublicNext,        // the next hop after the router is public
    PathPrivate,       // private or shared hops after the router: likely another NAT
  };
  TNatLayersSeen Seen;
  std::optional<int> Count;          // 0 to 3; nullopt: could not be told
  std::optional<bool> CarrierGrade;  // one of them is the provider's; nullopt: could not be told
  bool Likely = false;               // told from the path alone (or a router that contradicts the server)
  TWhy Why = TWhy::Unknown;
  std::optional<TGatewayAnswer> Router;  // the router's answer the decision took
  std::string RouterAddress;  // this router: the gateway, or the first hop when none was found
  std::string Second;         // the next NAT's address where the path shows it (a router, or the provider's)
  std::string Carrier;        // the carrier-grade NAT's address where the path shows it
  std::string PublicAddress;  // what the server saw ("" when unknown)
};

// seen: what the checks saw; publicAddress: the address the server and STUN saw; noNat: that
// address is this computer's own.
TNatLayers DecideNatLayers(const TNatLayersSeen& seen, const std::optional<std::string>& publicAddress, bool noNat);

// The count in one line ("NAT layers: 2: ...").
std::string NatLayersLine(const TNatLayers& l);
// The NAT pane's lines: the count, the path (where a router answered, or nothing did), and the
// router's UPnP and NAT-PMP answers (where it was asked).
std::vector<std::string> NatLayersLines(const TNatLayers& l);
// The summary's: the count and the router's answers.
std::vector<std::string> NatLayersSummaryLines(const TNatLayers& l);
// What to do about a second NAT: empty with one.
std::vector<std::string> NatLayersAdvice(const TNatLayers& l);
