// How many NATs: the decision, row by row on each side of its rules, its lines and its advice.
#include <gtest/gtest.h>

#include "probes/NatLayers.h"

namespace {

const std::string G = "192.168.77.1";  // the gateway
const TPathHop R{1, G};               // ... answering the first probe

TGatewayAnswer Upnp(std::optional<std::string> a) { return {TGatewayProtocol::Upnp, std::move(a)}; }
TGatewayAnswer Pmp(std::optional<std::string> a) { return {TGatewayProtocol::NatPmp, std::move(a)}; }

TNatLayersSeen Seen(std::optional<TGatewayAnswer> upnp, std::vector<TPathHop> hops, std::optional<int> serverTtl,
                    std::optional<TGatewayAnswer> pmp = std::nullopt, std::string gateway = G) {
  return {std::move(gateway), std::move(upnp), std::move(pmp), {std::move(hops), serverTtl}};
}

TEST(NatLayers, address_kinds_at_the_edges_of_each_range) {
  using K = TAddressKind;
  const std::vector<std::pair<std::string, std::optional<K>>> rows = {
      {"9.255.255.255", K::Public},   {"10.0.0.0", K::Private},        {"10.255.255.255", K::Private},
      {"11.0.0.0", K::Public},        {"172.15.255.255", K::Public},   {"172.16.0.0", K::Private},
      {"172.31.255.255", K::Private}, {"172.32.0.0", K::Public},       {"192.167.255.255", K::Public},
      {"192.168.0.0", K::Private},    {"192.169.0.0", K::Public},      {"169.254.0.1", K::Private},
      {"100.63.255.255", K::Public},  {"100.64.0.0", K::Shared},       {"100.127.255.255", K::Shared},
      {"100.128.0.0", K::Public},     {"203.0.113.7", K::Public},      {"", std::nullopt},
      {"10.1", std::nullopt},         {"010.0.0.1", std::nullopt},     {"256.1.1.1", std::nullopt},
  };
  for (const auto& [address, kind] : rows) EXPECT_EQ(AddressKindOf(address), kind) << address;
}

TEST(NatLayers, decision_table) {
  struct Row {
    const char* name;
    TNatLayersSeen seen;
    std::optional<std::string> publicAddress;
    bool noNat;
    std::optional<int> count;
    std::optional<bool> carrierGrade;
    bool likely;
    std::string line;
  };
  const std::string cgn = "this router (192.168.77.1) and the provider's carrier-grade NAT (100.64.0.1): port "
                          "forwarding cannot reach this computer";
  const std::string fromPath = "; told from the path alone, where a provider's own routers may also use private "
                               "addresses without translating";
  const std::string p = "203.0.113.7";
  const std::vector<Row> rows = {
      {"the server saw this computer itself", Seen(Upnp("100.64.0.2"), {R}, 2), p, true, 0, false, false,
       "none (the echo server saw this computer's own address)"},
      {"the router's address is the public one", Seen(Upnp(p), {R, {2, "100.64.0.1"}}, 3), p, false, 1, false, false,
       "1 (the router's external address 203.0.113.7 is the public address)"},
      {"... another public one", Seen(Upnp("198.51.100.7"), {R}, 2), p, false, 2, std::nullopt, true,
       "likely 2: this router (192.168.77.1) and another NAT beyond it (the router's external address "
       "198.51.100.7 is not the public address 203.0.113.7)"},
      {"... public, the server's unknown", Seen(Upnp("198.51.100.7"), {R}, 2), std::nullopt, false, 1, false, true,
       "likely 1 (the router's external address 198.51.100.7 is public; the public address the server saw is "
       "unknown)"},
      {"... shared", Seen(Upnp("100.64.0.2"), {R, {2, "100.64.0.1"}}, 3), p, false, 2, true, false, "2: " + cgn},
      {"... shared, the path silent", Seen(Upnp("100.127.0.2"), {}, std::nullopt), p, false, 2, true, false,
       "2: this router (192.168.77.1) and the provider's carrier-grade NAT: port forwarding cannot reach this "
       "computer"},
      {"... private", Seen(Upnp("10.0.0.2"), {R, {2, "10.0.0.1"}}, 3), p, false, 2, false, false,
       "2: two routers in a chain (192.168.77.1, then 10.0.0.1)"},
      {"... private, the path silent", Seen(Upnp("10.0.0.2"), {R}, std::nullopt), p, false, 2, false, false,
       "2: two routers in a chain (192.168.77.1, then another): the router's external address 10.0.0.2 is "
       "private"},
      {"... private, and a shared hop beyond", Seen(Upnp("10.0.0.2"), {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), p,
       false, 3, true, true,
       "likely 3: this router (192.168.77.1), another router (10.0.0.1) and the provider's carrier-grade NAT "
       "(100.64.0.1): port forwarding cannot reach this computer"},
      {"no address to give, a shared hop next", Seen(Upnp(std::nullopt), {R, {2, "100.64.0.1"}}, 3), p, false, 2,
       true, false, "2: " + cgn},
      {"... a private hop next", Seen(std::nullopt, {R, {2, "10.0.0.1"}}, 3, Pmp(std::nullopt)), p, false, 2,
       false, false, "2: two routers in a chain (192.168.77.1, then 10.0.0.1)"},
      {"... nothing beyond it answered", Seen(Upnp(std::nullopt), {R}, std::nullopt), p, false, 2, std::nullopt,
       false, "2: this router (192.168.77.1) and another NAT beyond it (the router has no public address to give)"},
      {"... a private and then a shared hop", Seen(Upnp(std::nullopt), {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), p,
       false, 3, true, true,
       "likely 3: this router (192.168.77.1), another router (10.0.0.1) and the provider's carrier-grade NAT "
       "(100.64.0.1): port forwarding cannot reach this computer"},
      {"... while the router is not the first hop", Seen(Upnp(std::nullopt), {{1, "192.168.1.1"}}, 2), p, false,
       std::nullopt, std::nullopt, false,
       "could not be told (neither the router nor the path towards the echo server showed it)"},
      {"no answer: the server next", Seen(std::nullopt, {R}, 2), p, false, 1, false, false,
       "1 (the echo server is the next hop after the router)"},
      {"... the server one hop later, the hop between silent", Seen(std::nullopt, {R}, 3), p, false, std::nullopt,
       std::nullopt, false, "could not be told (neither the router nor the path towards the echo server showed it)"},
      {"... a public hop next", Seen(std::nullopt, {R, {2, "198.51.100.1"}, {3, "10.9.9.9"}}, 5), p, false, 1, false,
       false, "1 (the next hop after the router, 198.51.100.1, is public)"},
      {"... a public hop after a silent one", Seen(std::nullopt, {R, {3, "198.51.100.1"}}, 5), p, false, std::nullopt,
       std::nullopt, false, "could not be told (neither the router nor the path towards the echo server showed it)"},
      {"... a private hop next", Seen(std::nullopt, {R, {2, "10.0.0.1"}}, 3), p, false, 2, false, true,
       "likely 2: two routers in a chain (192.168.77.1, then 10.0.0.1)" + fromPath},
      {"... a shared hop, then a public one", Seen(std::nullopt, {R, {2, "100.64.0.1"}, {3, "198.51.100.1"}}, 4), p,
       false, 2, true, true, "likely 2: " + cgn + fromPath},
      {"... private, then shared", Seen(std::nullopt, {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, std::nullopt), p, false,
       3, true, true,
       "likely 3: this router (192.168.77.1), another router (10.0.0.1) and the provider's carrier-grade NAT "
       "(100.64.0.1): port forwarding cannot reach this computer" + fromPath},
      {"no router found: the first hop stands for it", Seen(std::nullopt, {{1, "192.168.1.1"}, {2, "10.0.0.1"}}, 3, {}, ""),
       p, false, 2, false, true, "likely 2: two routers in a chain (192.168.1.1, then 10.0.0.1)" + fromPath},
      {"nothing answered", Seen(std::nullopt, {}, std::nullopt), p, false, std::nullopt, std::nullopt, false,
       "could not be told (neither the router nor the path towards the echo server showed it)"},
      {"NAT-PMP's address where UPnP gave none", Seen(Upnp(std::nullopt), {R}, std::nullopt, Pmp(p)), p, false, 1,
       false, false, "1 (the router's external address 203.0.113.7 is the public address)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const TNatLayers l = DecideNatLayers(r.seen, r.publicAddress, r.noNat);
    EXPECT_EQ(l.Count, r.count);
    EXPECT_EQ(l.CarrierGrade, r.carrierGrade);
    EXPECT_EQ(l.Likely, r.likely);
    EXPECT_EQ(NatLayersLine(l), "NAT layers: " + r.line);
  }
}

TEST(NatLayers, the_answer_taken_prefers_an_address_and_then_upnp) {
  EXPECT_EQ(DecideNatLayers(Seen(Upnp(std::nullopt), {}, {}, Pmp("10.0.0.2")), {}, false).Router, Pmp("10.0.0.2"));
  EXPECT_EQ(DecideNatLayers(Seen(Upnp("10.0.0.3"), {}, {}, Pmp("10.0.0.2")), {}, false).Router, Upnp("10.0.0.3"));
  EXPECT_EQ(DecideNatLayers(Seen(std::nullopt, {}, {}, Pmp(std::nullopt)), {}, false).Router, Pmp(std::nullopt));
}

TEST(NatLayers, pane_lines_name_the_path_and_each_answer) {
  const TNatLayers cgn = DecideNatLayers(Seen(Upnp(std::nullopt), {R, {2, "100.64.0.1"}}, 3, Pmp("100.64.0.2")),
                                         "203.0.113.7", false);
  const std::vector<std::string> answers = {"UPnP on the router: yes, with no external address to give (its own is "
                                            "private or shared)",
                                            "NAT-PMP on the router: yes (external address 100.64.0.2)"};
  EXPECT_EQ(NatLayersSummaryLines(cgn), (std::vector<std::string>{NatLayersLine(cgn), answers[0], answers[1]}));
  EXPECT_EQ(NatLayersLines(cgn),
            (std::vector<std::string>{NatLayersLine(cgn),
                                      "Path to the echo server: 1 192.168.77.1 (private), 2 100.64.0.1 (shared), 3 the "
                                      "echo server",
                                      answers[0], answers[1]}));
  const auto pathLine = [](std::vector<TPathHop> hops, std::optional<int> server, std::string gateway) {
    const auto lines = NatLayersLines(DecideNatLayers(Seen(std::nullopt, std::move(hops), server, {}, gateway), {}, false));
    return std::vector<std::string>(lines.begin() + 1, lines.end());
  };
  EXPECT_EQ(pathLine({R, {3, "198.51.100.1"}}, std::nullopt, G),
            (std::vector<std::string>{"Path to the echo server: 1 192.168.77.1 (private), 2 no answer, 3 198.51.100.1 "
                                      "(public), nothing further up to 8",
                                      "UPnP on the router: no answer", "NAT-PMP on the router: no answer"}));
  EXPECT_EQ(pathLine({}, std::nullopt, ""), std::vector<std::string>{"Path to the echo server: no answer up to 8 hops"});
  EXPECT_EQ(pathLine({}, 2, ""), std::vector<std::string>{"Path to the echo server: 1 no answer, 2 the echo server"});
  EXPECT_EQ(pathLine({}, 1, ""), std::vector<std::string>{}) << "no router on the way";
}

TEST(NatLayers, advice_for_each_kind_of_second_nat) {
  const auto expect = [](const TNatLayersSeen& seen, const std::vector<std::string>& beginnings) {
    const auto advice = NatLayersAdvice(DecideNatLayers(seen, "203.0.113.7", false));
    ASSERT_EQ(advice.size(), beginnings.size());
    for (size_t i = 0; i < advice.size(); ++i) EXPECT_EQ(advice[i].rfind(beginnings[i], 0), 0u) << advice[i];
  };
  const std::string cgn = "The provider's carrier-grade NAT sits", cgnLikely = "The path suggests a carrier-grade";
  const std::string two = "Two routers translate", twoLikely = "If two routers of yours";
  expect(Seen(Upnp("100.64.0.2"), {R}, 3), {cgn});
  expect(Seen(std::nullopt, {R, {2, "100.64.0.1"}}, 3), {cgnLikely});
  expect(Seen(Upnp("10.0.0.2"), {R}, 3), {two});
  expect(Seen(std::nullopt, {R, {2, "10.0.0.1"}}, 3), {twoLikely});
  expect(Seen(std::nullopt, {R, {2, "10.0.0.1"}, {3, "100.64.0.1"}}, 4), {cgnLikely, twoLikely});
  expect(Seen(Upnp(std::nullopt), {R}, std::nullopt), {"Another NAT sits beyond this router"});
  expect(Seen(Upnp("203.0.113.7"), {R}, 2), {});
  expect(Seen(std::nullopt, {}, std::nullopt), {});
  EXPECT_NE(NatLayersAdvice(DecideNatLayers(Seen(Upnp("100.64.0.2"), {R}, 3), "203.0.113.7", false))[0].find(
                "keep-alives hold its mapping open; ask the provider for a public IPv4 address, or use IPv6"),
            std::string::npos);
}

}  // namespace
