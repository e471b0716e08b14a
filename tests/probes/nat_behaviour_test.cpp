// The NAT's class read from STUN answers, as a table of answers; the NAT pane's lines and the
// summary's advice that follow from it.
#include <gtest/gtest.h>

#include <algorithm>

#include "probes/NatBehaviour.h"
#include "probes/RunSummary.h"

namespace {

using stun::TEndpoint;
using K = TNatKind;

constexpr uint32_t kS1 = 0xC6336401, kS2 = 0xC6336402;  // the server's addresses
constexpr uint32_t kPub = 0xCB007101;                   // the NAT's public address
const TEndpoint kLocal{0xC0A80114, 40000};
const TEndpoint kServer{kS1, 3478};

// Answers of a NAT behind which the mapping socket got `first` (and `second`, `third` from the
// server's other address, then the other address and port), with the filtering answers.
TStunObservations Seen(TEndpoint first, std::optional<TEndpoint> second, std::optional<TEndpoint> third,
                       std::optional<bool> filterBoth, std::optional<bool> filterPort, std::optional<bool> hairpin,
                       TEndpoint other = {kS2, 3479}) {
  TStunObservations o;
  o.Server = kServer;
  o.Local = kLocal;
  o.Mapped = first;
  o.Other = other;
  o.MappedOtherAddress = second;
  o.MappedOtherBoth = third;
  o.FilterOtherBoth = filterBoth;
  o.FilterOtherPort = filterPort;
  o.Hairpin = hairpin;
  return o;
}

TEST(NatBehaviour, answers_read_as_the_class_and_its_lines) {
  const TEndpoint kept{kPub, 40000}, moved{kPub, 50000}, moved2{kPub, 50001};
  const TEndpoint oneAddressOther{kS1, 3479};
  struct Case {
    const char* name;
    TStunObservations seen;
    std::optional<K> mapping, filtering;
    bool relayAdvice;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"full cone, port kept", Seen(kept, kept, kept, true, true, true), K::EndpointIndependent, K::EndpointIndependent, false,
       {"NAT mapping: endpoint-independent (port kept)", "NAT filtering: endpoint-independent", "NAT hairpinning: yes",
        "NAT public address: 203.0.113.1:40000"}},
      {"address-restricted cone", Seen(moved, moved, moved, false, true, false), K::EndpointIndependent, K::AddressDependent,
       false,
       {"NAT mapping: endpoint-independent (port changed)", "NAT filtering: address-dependent", "NAT hairpinning: no",
        "NAT public address: 203.0.113.1:50000"}},
      {"port-restricted cone", Seen(kept, kept, kept, false, false, false), K::EndpointIndependent,
       K::AddressAndPortDependent, false,
       {"NAT mapping: endpoint-independent (port kept)", "NAT filtering: address and port dependent",
        "NAT hairpinning: no", "NAT public address: 203.0.113.1:40000"}},
      {"a new port per address", Seen(kept, moved, moved, false, false, false), K::AddressDependent,
       K::AddressAndPortDependent, false,
       {"NAT mapping: address-dependent (port kept)", "NAT filtering: address and port dependent",
        "NAT hairpinning: no", "NAT public address: 203.0.113.1:40000"}},
      {"symmetric: a new port per address and port", Seen(moved, moved2, TEndpoint{kPub, 50002}, false, false, false),
       K::AddressAndPortDependent, K::AddressAndPortDependent, true,
       {"NAT mapping: address and port dependent (port changed)", "NAT filtering: address and port dependent",
        "NAT hairpinning: no", "NAT public address: 203.0.113.1:50000"}},
      {"the other address never answered", Seen(kept, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt),
       std::nullopt, std::nullopt, false,
       {"NAT mapping: not found (port kept)", "NAT filtering: not found", "NAT public address: 203.0.113.1:40000"}},
      {"one-address server, one mapping",
       Seen(kept, kept, std::nullopt, std::nullopt, true, true, oneAddressOther), std::nullopt, std::nullopt, false,
       {"NAT mapping: endpoint-independent or address-dependent (port kept) (the server has one address: these two "
        "are not told apart)",
        "NAT filtering: endpoint-independent or address-dependent (the server has one address: these two are not "
        "told apart)",
        "NAT hairpinning: yes", "NAT public address: 203.0.113.1:40000"}},
      {"one-address server, a new port for the other port",
       Seen(kept, moved, std::nullopt, std::nullopt, false, false, oneAddressOther), K::AddressAndPortDependent,
       K::AddressAndPortDependent, true,
       {"NAT mapping: address and port dependent (port kept)", "NAT filtering: address and port dependent",
        "NAT hairpinning: no", "NAT public address: 203.0.113.1:40000"}},
      {"no NAT: the server sees the local address", Seen(kLocal, kLocal, kLocal, true, true, true),
       K::EndpointIndependent, K::EndpointIndependent, false,
       {"NAT mapping: endpoint-independent (port kept)", "NAT filtering: endpoint-independent", "NAT hairpinning: yes",
        "NAT public address: 192.168.1.20:40000 (this computer's own address: no NAT on the way)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TNatBehaviour b = ClassifyNat(c.seen);
    EXPECT_TRUE(b.Answered);
    EXPECT_EQ(b.Mapping, c.mapping);
    EXPECT_EQ(b.Filtering, c.filtering);
    EXPECT_EQ(NatBehaviourLines(b, "198.51.100.1:3478"), c.lines);
    TRunSummary s;
    s.Behaviour = b;
    const auto advice = AdviceLines(s);
    const bool relay = std::any_of(advice.begin(), advice.end(),
                                   [](const std::string& l) { return l.find("media relay") != std::string::npos; });
    EXPECT_EQ(relay, c.relayAdvice);
  }
  // The summary's sentence.
  TRunSummary s;
  s.Behaviour = ClassifyNat(cases[4].seen);
  const auto lines = SummaryLines(s);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "NAT behaviour: mapping address and port dependent, filtering address and port dependent, port "
                      "changed, hairpinning no, public address 203.0.113.1:50000"),
            lines.end());
  s.Behaviour = ClassifyNat(cases[8].seen);
  const auto noNat = SummaryLines(s);
  EXPECT_TRUE(std::any_of(noNat.begin(), noNat.end(), [](const std::string& l) {
    return l.find("public address 192.168.1.20:40000 (no NAT on the way)") != std::string::npos;
  }));

  TStunObservations none;
  none.Server = kServer;
  const TNatBehaviour b = ClassifyNat(none);
  EXPECT_FALSE(b.Answered || b.Mapping || b.Filtering || b.PortPreserved || b.Hairpin || b.Public);
  EXPECT_EQ(NatBehaviourLines(b, "198.51.100.1:3478"),
            std::vector<std::string>{"NAT behaviour: no STUN answer from 198.51.100.1:3478"});
}

// Refused (an error answer, 420 for a change the server cannot make) and missing answers: a
// class is claimed only from both of its answers.
TEST(NatBehaviour, refused_and_missing_answers_claim_no_class) {
  const TEndpoint kept{kPub, 40000}, moved{kPub, 50000};
  const TEndpoint one{kS1, 3479}, noPort{kS2, 0};
  const std::nullopt_t no = std::nullopt;
  struct Row {
    const char* name;
    TStunObservations seen;
    std::optional<K> mapping, filtering;
    bool notPortDependent = false;  // filtering, with a one-address server
  };
  const Row rows[] = {
      {"other address and port refused, other port came", Seen(kept, kept, kept, no, true, no), K::EndpointIndependent, no},
      {"other address and port refused, other port not", Seen(kept, kept, kept, no, false, no), K::EndpointIndependent, no},
      {"other port refused, other address and port not", Seen(kept, kept, kept, false, no, no), K::EndpointIndependent, no},
      {"other port refused, other address and port came", Seen(kept, kept, kept, true, no, no), K::EndpointIndependent,
       K::EndpointIndependent},
      {"a new port, the other address and port's answer missing", Seen(kept, moved, no, false, false, no), no,
       K::AddressAndPortDependent},
      {"the other address's answer missing", Seen(kept, no, moved, false, false, no), no, K::AddressAndPortDependent},
      {"one address: the other port refused", Seen(kept, no, no, no, no, no, one), no, no},
      {"one address: the other port's answer came", Seen(kept, no, no, no, true, no, one), no, no, true},
      {"no other port", Seen(kept, kept, kept, true, true, no, noPort), no, no},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const TNatBehaviour b = ClassifyNat(r.seen);
    EXPECT_EQ(b.Mapping, r.mapping);
    EXPECT_EQ(b.Filtering, r.filtering);
    EXPECT_EQ(b.FilteringNotPortDependent, r.notPortDependent);
    EXPECT_FALSE(b.MappingNotPortDependent);
  }
  stun::TMessage refused, success;
  refused.Class = stun::TClass::Error;
  refused.ErrorCode = 420;
  success.Class = stun::TClass::Success;
  EXPECT_EQ(FilterAnswerCame(std::nullopt), false);
  EXPECT_EQ(FilterAnswerCame(success), true);
  EXPECT_EQ(FilterAnswerCame(refused), std::nullopt);
}

}  // namespace
