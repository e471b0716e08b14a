// How many NATs: the decision, row by row on each side of its rules, its lines and its advice.
#include <gtest/gtest.h>

#include "probes/NatLayers.h"

namespace {

const std::string G = "192.168.77.1", P = "203.0.113.7";  // the gateway, the public address
const TPathHop R{1, G};                                    // the gateway answering the first probe
const std::optional<TGatewayAnswer> kNone;

TGatewayAnswer Upnp(std::optional<std::string> a) { return {TGatewayProtocol::Upnp, std::move(a)}; }
TGatewayAnswer Pmp(std::optional<std::string> a) { return {TGatewayProtocol::NatPmp, std::move(a)}; }
TNatLayersSeen Seen(std::optional<TGatewayAnswer> upnp, std::vector<TPathHop> hops, std::optional<int> serverTtl,
                    std::optional<TGatewayAnswer> pmp = kNone, std::string gateway = G) {
  return {std::move(gateway), std::move(upnp), std::move(pmp), {std::move(hops), serverTtl}};
}

TEST(NatLayers, address_kinds_at_the_edges_of_each_range) {
  using K = TAddressKind;
  const std::vector<std::pair<std::string, std::optional<K>>> rows = {
      {"9.255.255.255", K::Public}, {"10.0.0.0", K::Private}, {"11.0.0.0", K::Public}, {"172.15.255.255", K::Public},
      {"172.16.0.0", K::Private}, {"172.31.255.255", K::Private}, {"172.32.0.0", K::Public},
      {"192.167.255.255", K::Public}, {"192.168.0.0", K::Private}, {"192.169.0.0", K::Public},
      {"169.254.0.1", K::Private}, {"100.63.255.255", K::Public}, {"100.64.0.0", K::Shared},
      {"100.127.255.255", K::Shared}, {"100.128.0.0", K::Public}, {"", std::nullopt}, {"10.1", std::nullopt},
      {"010.0.0.1", std::nullopt}};
  for (const auto& [address, kind] : rows) EXPECT_EQ(AddressKindOf(address), kind) << address;
}

TEST(NatLayers, decision_table) {
  struct Row {
    const char* name;
    TNatLayersSeen seen;
    std::optional<int> count;
    std::optional<bool> carrierGrade;
    bool likely;
    std::string line;  // after "NAT layers: "
  };
  const std::string cgn = "this router (192.168.77.1) and the provider's carrier-grade NAT (100.64.0.1): port "
                          "forwarding cannot reach this computer";
  const std::string three = "likely 3: this router (192.168.77.1), another router (10.0.0.1) and the provider's "
                            "carrier-grade NAT (100.64.0.1): port forwarding cannot reach this computer";
  const std::string chain = "2: two routers in a chain (192.168.77.1, then 10.0.0.1)";
  const std::string path = "; told from the path alone, where a provider's own routers may also use private "
                           "addresses without translating";
  const std::string unknown = "could not be told (neither the router nor the path towards the echo server showed it)";
  const std::vector<Row> rows = {
      {"the router's address is the public one", Seen(Upnp(P), {R, {2, "100.64.0.1"}}, 3), 1, false, false,
       "1 (the router's external address 203.0.113.7 is the public address)"},
      {"... another public one", Seen(Upnp("198.51.100.7"), {R}, 2), 2, std::nullopt, true,
       "likely 2: this router (192.168.77.1) and another NAT beyond it (the router's external address "
       "198.51.100.7 is not the public address 203.0.113.7)"},
      {"... shared", Seen(Upnp("100.64.0.2"), {R, {2, "100.64.0.1"}}, 3), 2, true, false, "2: " + cgn},
      {"... shared, the path silent", Seen(Upnp("100.127.0.2"), {}, {}), 2, true, false,
       "2: this router (192.168.77.1) and the provider's carrier-grade NAT: port forwarding cannot reach this "
       "computer"},
      {"... private", Seen(Upnp("10.0.0.2"), {R, {2, "10.0.0.1"}}, 3), 2, false, false, chain},
      {"... private, the path silent", Seen(Upnp("10.0.0.2"), {R}, {}), 2, false, false,
       "2: two routers in a chain (192.168.77.1, then another): the router's external address 10.0.0.2 is private"},
      {"... private, a shared hop beyond", Seen(Upnp("10.0.0.2"), {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), 3, true,
       true, three},
      {"none to give, a shared hop next", Seen(Upnp(std::nullopt), {R, {2, "100.64.0.1"}}, 3), 2, true, false, "2: " + cgn},
      {"... a private hop next", Seen(kNone, {R, {2, "10.0.0.1"}}, 3, Pmp(std::nullopt)), 2, false, false, chain},
      {"... nothing beyond", Seen(Upnp(std::nullopt), {R}, {}), 2, std::nullopt, false,
       "2: this router (192.168.77.1) and another NAT beyond it (the router has no public address to give)"},
      {"... private, then shared", Seen(Upnp(std::nullopt), {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), 3, true, true, three},
      {"... the router not the first hop", Seen(Upnp(std::nullopt), {{1, "192.168.1.1"}}, 2), {}, {}, false, unknown},
      {"no answer, the server next", Seen(kNone, {R}, 2), 1, false, false,
       "1 (the echo server is the next hop after the router)"},
      {"... the server after a silent hop", Seen(kNone, {R}, 3), {}, {}, false, unknown},
      {"... a public hop next", Seen(kNone, {R, {2, "198.51.100.1"}, {3, "10.9.9.9"}}, 5), 1, false, false,
       "1 (the next hop after the router, 198.51.100.1, is public)"},
      {"... a public hop after a silent one", Seen(kNone, {R, {3, "198.51.100.1"}}, 5), {}, {}, false, unknown},
      {"... a private hop next", Seen(kNone, {R, {2, "10.0.0.1"}}, 3), 2, false, true, "likely " + chain + path},
      {"... shared, then public", Seen(kNone, {R, {2, "100.64.0.1"}, {3, "198.51.100.1"}}, 4), 2, true, true,
       "likely 2: " + cgn + path},
      {"... private, then shared", Seen(kNone, {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, {}), 3, true, true, three + path},
      {"no router found: the first hop", Seen(kNone, {{1, "192.168.1.1"}, {2, "10.0.0.1"}}, 3, kNone, ""), 2, false, true,
       "likely 2: two routers in a chain (192.168.1.1, then 10.0.0.1)" + path},
      {"nothing answered", Seen(kNone, {}, {}), {}, {}, false, unknown},
      {"NAT-PMP's address where UPnP gave none", Seen(Upnp(std::nullopt), {R}, {}, Pmp(P)), 1, false, false,
       "1 (the router's external address 203.0.113.7 is the public address)"},
      {"UPnP's address before NAT-PMP's", Seen(Upnp("10.0.0.2"), {R}, {}, Pmp(P)), 2, false, false,
       "2: two routers in a chain (192.168.77.1, then another): the router's external address 10.0.0.2 is private"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const TNatLayers l = DecideNatLayers(r.seen, P, false);
    EXPECT_EQ(l.Count, r.count);
    EXPECT_EQ(l.CarrierGrade, r.carrierGrade);
    EXPECT_EQ(l.Likely, r.likely);
    EXPECT_EQ(NatLayersLine(l), "NAT layers: " + r.line);
  }
  // Without the server's address, and when it was this computer's own.
  EXPECT_EQ(NatLayersLine(DecideNatLayers(Seen(Upnp("198.51.100.7"), {R}, 2), std::nullopt, false)),
            "NAT layers: likely 1 (the router's external address 198.51.100.7 is public; the public address the "
            "server saw is unknown)");
  const TNatLayers own = DecideNatLayers(Seen(Upnp("100.64.0.2"), {R}, 2), P, true);
  EXPECT_EQ(own.Count, 0);
  EXPECT_EQ(NatLayersLine(own), "NAT layers: none (the echo server saw this computer's own address)");
}

TEST(NatLayers, pane_lines_name_the_path_and_each_answer) {
  const TNatLayers l = DecideNatLayers(Seen(Upnp(std::nullopt), {R, {2, "100.64.0.1"}}, 3, Pmp("100.64.0.2")), P, false);
  const std::vector<std::string> answers = {
      "UPnP on the router: yes, with no external address to give (its own is private or shared)",
      "NAT-PMP on the router: yes (external address 100.64.0.2)"};
  EXPECT_EQ(NatLayersSummaryLines(l), (std::vector<std::string>{NatLayersLine(l), answers[0], answers[1]}));
  EXPECT_EQ(NatLayersLines(l)[1], "Path to the echo server: 1 192.168.77.1 (private), 2 100.64.0.1 (shared), 3 the "
                                  "echo server");
  const auto paneTail = [](std::vector<TPathHop> hops, std::optional<int> server, std::string gateway) {
    const auto lines = NatLayersLines(DecideNatLayers(Seen(kNone, std::move(hops), server, kNone, gateway), {}, false));
    return std::vector<std::string>(lines.begin() + 1, lines.end());
  };
  EXPECT_EQ(paneTail({R, {3, "198.51.100.1"}}, {}, G),
            (std::vector<std::string>{"Path to the echo server: 1 192.168.77.1 (private), 2 no answer, 3 198.51.100.1 "
                                      "(public), nothing further up to 8",
                                      "UPnP on the router: no answer", "NAT-PMP on the router: no answer"}));
  EXPECT_EQ(paneTail({}, {}, ""), std::vector<std::string>{"Path to the echo server: no answer up to 8 hops"});
  EXPECT_EQ(paneTail({}, 2, ""), std::vector<std::string>{"Path to the echo server: 1 no answer, 2 the echo server"});
  EXPECT_EQ(paneTail({}, 1, ""), std::vector<std::string>{}) << "no router on the way, none asked";
}

TEST(NatLayers, advice_for_each_kind_of_second_nat) {
  const auto expect = [](const TNatLayersSeen& seen, const std::vector<std::string>& beginnings) {
    const auto advice = NatLayersAdvice(DecideNatLayers(seen, P, false));
    ASSERT_EQ(advice.size(), beginnings.size());
    for (size_t i = 0; i < advice.size(); ++i) EXPECT_EQ(advice[i].rfind(beginnings[i], 0), 0u) << advice[i];
  };
  const std::string cgn = "The provider's carrier-grade NAT sits", cgnLikely = "The path suggests a carrier-grade";
  const std::string two = "Two routers translate", twoLikely = "If two routers of yours";
  expect(Seen(Upnp("100.64.0.2"), {R}, 3), {cgn});
  expect(Seen(kNone, {R, {2, "100.64.0.1"}}, 3), {cgnLikely});
  expect(Seen(Upnp("10.0.0.2"), {R}, 3), {two});
  expect(Seen(kNone, {R, {2, "10.0.0.1"}}, 3), {twoLikely});
  expect(Seen(kNone, {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), {cgnLikely, twoLikely});
  expect(Seen(Upnp(std::nullopt), {R}, {}), {"Another NAT sits beyond this router"});
  expect(Seen(Upnp(P), {R}, 2), {});
  expect(Seen(kNone, {}, {}), {});
}

}  // namespace
