// The STUN exchanges over real loopback sockets against a made-up server that acts as a NAT giving
// each destination a new port and letting in nothing it did not send to, and without any server.
// Runs against the echo server itself are the whole runs' (tests/app).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "probes/NatDiscovery.h"
#include "tests/support/Loopback.h"

namespace {

using support::TestAddress;
using namespace std::chrono_literals;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A STUN server on the two addresses and ports that answers as if a NAT in front of the client
// gave each of them a new public port, and never answers a request that asks for another
// source (the NAT would not let it in).
class SymmetricNatServer {
 public:
  SymmetricNatServer(const std::string& a1, const std::string& a2) {
    for (const std::string& a : {a1, a2})
      for (int port : {3478, 3479}) sockets_.emplace_back(a, port);
    other_ = {StunAddressOf(a2), 3479};
    thread_ = std::thread([this] { Serve(); });
  }
  ~SymmetricNatServer() {
    stop_ = true;
    thread_.join();
  }
  bool Ok() const {
    for (const auto& s : sockets_)
      if (!s.Ok()) return false;
    return true;
  }

 private:
  void Serve() {
    for (int round = 0; round < 2000 && !stop_; ++round) {
      for (size_t i = 0; i < sockets_.size(); ++i) {
        const auto d = sockets_[i].Receive(5ms);
        if (!d) continue;
        const auto m = stun::Parse(d->data);
        if (!m || m->Class != stun::TClass::Request || m->ChangeFlags) continue;
        stun::TMessage a;
        a.Class = stun::TClass::Success;
        a.Transaction = m->Transaction;
        a.XorMapped = stun::TEndpoint{StunAddressOf(d->fromIp), static_cast<uint16_t>(d->fromPort + 1 + i)};
        a.Other = other_;
        sockets_[i].SendTo(d->fromIp, d->fromPort, stun::Encode(a));
      }
    }
  }
  std::vector<support::UdpPeer> sockets_;
  stun::TEndpoint other_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(NatDiscovery, the_class_of_each_kind_of_server) {
  const std::string srv = TestAddress(0), other = TestAddress(2), me = TestAddress(1);
  using K = TNatKind;
  struct Case {
    const char* name;
    enum { Symmetric, Nobody } server;
    bool answered, oneAddress;
    std::optional<K> mapping, filtering;
    bool notPortDependent;  // both told apart from port dependence only
    std::optional<bool> portKept, hairpin;
  };
  const Case cases[] = {
      {"a new port per destination", Case::Symmetric, true, false, K::AddressAndPortDependent,
       K::AddressAndPortDependent, false, false, false},
      {"no server", Case::Nobody, false, false, std::nullopt, std::nullopt, false, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<SymmetricNatServer> fake;
    if (c.server == Case::Symmetric) {
      fake.emplace(srv, other);
      ASSERT_TRUE(fake->Ok());
    }
    TStunSockets sockets(me, 2);
    const TStunObservations o = DiscoverNat(sockets, {StunAddressOf(srv), 3478}, nullptr, NowMs);
    const TNatBehaviour b = ClassifyNat(o);
    EXPECT_EQ(b.Answered, c.answered);
    EXPECT_EQ(b.OneAddress, c.oneAddress);
    EXPECT_EQ(b.Mapping, c.mapping);
    EXPECT_EQ(b.Filtering, c.filtering);
    EXPECT_EQ(b.MappingNotPortDependent, c.notPortDependent);
    EXPECT_EQ(b.FilteringNotPortDependent, c.notPortDependent);
    EXPECT_EQ(b.PortPreserved, c.portKept);
    EXPECT_EQ(b.Hairpin, c.hairpin);
  }
}

}  // namespace
