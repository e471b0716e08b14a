#include "probes/NatLayers.h"

#include "net/IdStack.h"

namespace {

using TWhy = TNatLayers::TWhy;

const TPathHop* FirstOf(const std::vector<const TPathHop*>& hops, TAddressKind kind) {
  for (const TPathHop* h : hops)
    if (AddressKindOf(h->Address) == kind) return h;
  return nullptr;
}

std::string Named(const std::string& what, const std::string& address) {
  return address.empty() ? what : what + " (" + address + ")";
}

// Who the layers are, for a count of two or three.
std::string Layers(const TNatLayers& l) {
  const std::string router = Named("this router", l.RouterAddress);
  const std::string carrier = Named("the provider's carrier-grade NAT", l.Carrier);
  const std::string unreachable = ": port forwarding cannot reach this computer";
  if (*l.Count >= 3)
    return router + ", " + Named("another router", l.Second) + " and " + carrier + unreachable;
  if (l.CarrierGrade == true) return router + " and " + carrier + unreachable;
  if (l.CarrierGrade == false) {
    const std::string then = l.Second.empty() ? "another" : l.Second;
    std::string line = "two routers in a chain (" + l.RouterAddress + ", then " + then + ")";
    if (l.Second.empty() && l.Router && l.Router->ExternalAddress)
      line += ": the router's external address " + *l.Router->ExternalAddress + " is private";
    return line;
  }
  return router + " and another NAT beyond it";
}

std::string AnswerLine(TGatewayProtocol p, const std::optional<TGatewayAnswer>& a) {
  const std::string head = std::string(GatewayProtocolText(p)) + " on the router: ";
  if (!a) return head + "no answer";
  if (!a->ExternalAddress) return head + "yes, with no external address to give (its own is private or shared)";
  return head + "yes (external address " + *a->ExternalAddress + ")";
}

std::vector<std::string> RouterLines(const TNatLayers& l) {
  if (l.Seen.Gateway.empty()) return {};
  return {AnswerLine(TGatewayProtocol::Upnp, l.Seen.Upnp), AnswerLine(TGatewayProtocol::NatPmp, l.Seen.NatPmp)};
}

std::optional<std::string> PathLine(const TPathTrace& p) {
  if (p.Hops.empty() && p.DestinationTtl == 1) return std::nullopt;  // no router on the way
  const std::string head = "Path to the echo server: ";
  if (p.Hops.empty() && !p.DestinationTtl) return head + "no answer up to " + std::to_string(kPathMaxTtl) + " hops";
  const int last = p.DestinationTtl ? *p.DestinationTtl - 1 : p.Hops.back().Ttl;
  std::string line;
  size_t next = 0;
  for (int ttl = 1; ttl <= last; ++ttl) {
    line += (ttl > 1 ? ", " : "") + std::to_string(ttl) + " ";
    if (next < p.Hops.size() && p.Hops[next].Ttl == ttl) {
      const auto kind = AddressKindOf(p.Hops[next].Address);
      line += p.Hops[next].Address + (kind ? std::string(" (") + AddressKindName(*kind) + ")" : "");
      ++next;
    } else {
      line += "no answer";
    }
  }
  if (p.DestinationTtl) return head + line + ", " + std::to_string(*p.DestinationTtl) + " the echo server";
  return head + line + (last < kPathMaxTtl ? ", nothing further up to " + std::to_string(kPathMaxTtl) : "");
}

}  // namespace

std::optional<TAddressKind> AddressKindOf(const std::string& address) {
  if (address.size() > 15 || !TIdStack::IsAddressText(address)) return std::nullopt;
  const TIdInAddr a = TIdStack::TextToAddress(address);
  if (TIdStack::AddressToText(a) != address) return std::nullopt;  // only the four-part form
  const uint8_t b0 = a.b[0], b1 = a.b[1];
  if (b0 == 10 || (b0 == 172 && (b1 & 0xF0) == 16) || (b0 == 192 && b1 == 168) || (b0 == 169 && b1 == 254))
    return TAddressKind::Private;
  if (b0 == 100 && (b1 & 0xC0) == 64) return TAddressKind::Shared;
  return TAddressKind::Public;
}

const char* AddressKindName(TAddressKind kind) {
  switch (kind) {
    case TAddressKind::Private: return "private";
    case TAddressKind::Shared: return "shared";
    case TAddressKind::Public: break;
  }
  return "public";
}

TNatLayers DecideNatLayers(const TNatLayersSeen& seen, const std::optional<std::string>& publicAddress, bool noNat) {
  TNatLayers l;
  l.Seen = seen;
  l.PublicAddress = publicAddress.value_or("");
  // The router's answer: one with an address first, UPnP before NAT-PMP.
  for (const auto* a : {&seen.Upnp, &seen.NatPmp})
    if (!l.Router && *a && (*a)->ExternalAddress) l.Router = **a;
  for (const auto* a : {&seen.Upnp, &seen.NatPmp})
    if (!l.Router && *a) l.Router = **a;

  // The router on the path, and the private and shared hops after it, up to the first public one.
  const std::vector<TPathHop>& hops = seen.Path.Hops;
  std::optional<int> routerTtl;
  l.RouterAddress = seen.Gateway;
  for (const TPathHop& h : hops)
    if (!routerTtl && h.Address == seen.Gateway) routerTtl = h.Ttl;
  if (seen.Gateway.empty() && !hops.empty() && hops.front().Ttl == 1) {
    l.RouterAddress = hops.front().Address;
    routerTtl = 1;
  }
  std::vector<const TPathHop*> beyond;
  const TPathHop* next = nullptr;  // the hop right after the router
  if (routerTtl) {
    for (const TPathHop& h : hops) {
      if (h.Ttl <= *routerTtl) continue;
      if (h.Ttl == *routerTtl + 1) next = &h;
      if (AddressKindOf(h.Address) == TAddressKind::Public) break;
      beyond.push_back(&h);
    }
  }
  const TPathHop* shared = FirstOf(beyond, TAddressKind::Shared);
  const TPathHop* privateHop = FirstOf(beyond, TAddressKind::Private);
  // Another router first, then the provider's: three.
  const bool three = shared && privateHop && privateHop->Ttl < shared->Ttl;
  const auto decide = [&](std::optional<int> count, std::optional<bool> carrierGrade, bool likely, TWhy why) {
    l.Count = count;
    l.CarrierGrade = carrierGrade;
    l.Likely = likely;
    l.Why = why;
    if (count && *count >= 2) {
      if (shared && carrierGrade != false) l.Carrier = shared->Address;
      if (privateHop && (carrierGrade == false || *count >= 3)) l.Second = privateHop->Address;
    }
    return l;
  };

  if (noNat) return decide(0, false, false, TWhy::NoNat);
  if (l.Router && l.Router->ExternalAddress) {
    const std::string& e = *l.Router->ExternalAddress;
    const auto kind = AddressKindOf(e);
    if (publicAddress && e == *publicAddress) return decide(1, false, false, TWhy::RouterIsPublic);
    if (kind == TAddressKind::Shared) return decide(2, true, false, TWhy::RouterShared);
    if (kind == TAddressKind::Private)
      return shared ? decide(3, true, true, TWhy::RouterPrivate) : decide(2, false, false, TWhy::RouterPrivate);
    if (publicAddress) return decide(2, std::nullopt, true, TWhy::RouterNotPublic);
    return decide(1, false, true, TWhy::RouterPublic);
  }
  if (l.Router && routerTtl == 1) {
    // No address to give while it is the first hop: its own is private or shared.
    if (three) return decide(3, true, true, TWhy::RouterNone);
    if (shared) return decide(2, true, false, TWhy::RouterNone);
    if (privateHop) return decide(2, false, false, TWhy::RouterNone);
    return decide(2, std::nullopt, false, TWhy::RouterNone);
  }
  if (!routerTtl) return decide(std::nullopt, std::nullopt, false, TWhy::Unknown);
  if (seen.Path.DestinationTtl == *routerTtl + 1) return decide(1, false, false, TWhy::ServerNext);
  if (next && AddressKindOf(next->Address) == TAddressKind::Public) {
    l.Second = next->Address;
    return decide(1, false, false, TWhy::PublicNext);
  }
  if (three) return decide(3, true, true, TWhy::PathPrivate);
  if (!beyond.empty()) return decide(2, shared != nullptr, true, TWhy::PathPrivate);
  return decide(std::nullopt, std::nullopt, false, TWhy::Unknown);
}

std::string NatLayersLine(const TNatLayers& l) {
  const std::string head = "NAT layers: ";
  if (!l.Count) return head + "could not be told (neither the router nor the path towards the echo server showed it)";
  if (*l.Count == 0) return head + "none (the echo server saw this computer's own address)";
  const std::string count = (l.Likely ? "likely " : "") + std::to_string(*l.Count);
  const std::string external = l.Router && l.Router->ExternalAddress ? *l.Router->ExternalAddress : "";
  switch (l.Why) {
    case TWhy::RouterIsPublic: return head + count + " (the router's external address " + external + " is the public address)";
    case TWhy::RouterPublic:
      return head + count + " (the router's external address " + external +
             " is public; the public address the server saw is unknown)";
    case TWhy::ServerNext: return head + count + " (the echo server is the next hop after the router)";
    case TWhy::PublicNext: return head + count + " (the next hop after the router, " + l.Second + ", is public)";
    case TWhy::RouterNotPublic:
      return head + count + ": " + Layers(l) + " (the router's external address " + external +
             " is not the public address " + l.PublicAddress + ")";
    case TWhy::RouterNone:
      return head + count + ": " + Layers(l) + (l.CarrierGrade.has_value() ? "" : " (the router has no public address to give)");
    case TWhy::PathPrivate:
      return head + count + ": " + Layers(l) +
             "; told from the path alone, where a provider's own routers may also use private addresses without "
             "translating";
    case TWhy::RouterShared:
    case TWhy::RouterPrivate: return head + count + ": " + Layers(l);
    case TWhy::NoNat:
    case TWhy::Unknown: break;
  }
  return head + count;
}

std::vector<std::string> NatLayersLines(const TNatLayers& l) {
  std::vector<std::string> out = {NatLayersLine(l)};
  if (const auto path = PathLine(l.Seen.Path)) out.push_back(*path);
  for (const std::string& line : RouterLines(l)) out.push_back(line);
  return out;
}

std::vector<std::string> NatLayersSummaryLines(const TNatLayers& l) {
  std::vector<std::string> out = {NatLayersLine(l)};
  for (const std::string& line : RouterLines(l)) out.push_back(line);
  return out;
}

std::vector<std::string> NatLayersAdvice(const TNatLayers& l) {
  std::vector<std::string> out;
  if (!l.Count || *l.Count < 2) return out;
  if (l.CarrierGrade == true)
    out.push_back(std::string(l.Likely ? "The path suggests a carrier-grade NAT of the provider beyond this router: if so, "
                                       : "The provider's carrier-grade NAT sits beyond this router: ") +
                  "port forwarding cannot reach this computer, and incoming calls arrive only while the phone's "
                  "keep-alives hold its mapping open; ask the provider for a public IPv4 address, or use IPv6 where "
                  "the provider offers it.");
  if (l.CarrierGrade == false || *l.Count >= 3)
    out.push_back(std::string(l.Likely ? "If two routers of yours translate addresses one behind the other, as the path "
                                         "suggests, "
                                       : "Two routers translate addresses one behind the other: ") +
                  "switch one of them to bridge (modem) mode, so that one NAT remains, and switch the SIP ALG off on "
                  "both.");
  if (!l.CarrierGrade)
    out.push_back("Another NAT sits beyond this router: where it is a second router of yours, switch one of them to "
                  "bridge (modem) mode and the SIP ALG off on both; where it is the provider's, port forwarding cannot "
                  "reach this computer: ask the provider for a public IPv4 address, or use IPv6 where it offers it.");
  return out;
}
