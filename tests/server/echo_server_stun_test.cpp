// The STUN side over real loopback sockets: a standard client that Debian packages reads the
// class of a path without NAT from it, and a flood from one source is cut off without locking
// out anyone else.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "proto/StunMessage.h"
#include "tests/server/ServerTest.h"

using namespace servertest;
using support::TestAddress;

namespace {

class EchoServerStun : public ServerTest {
 protected:
  const std::string other = TestAddress(2);  // the server's second address
  TEchoServerConfig StunConfig() const {
    TEchoServerConfig c = Config();
    c.OtherAddress = other;
    return c;
  }
};

// What a command printed (stdout and stderr); it runs for at most 20 s.
std::string Output(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("timeout 20 " + command + " 2>&1").c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer{};
  for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0 && out.size() < (1 << 20);)
    out.append(buffer.data(), n);
  return out;
}

TEST_F(EchoServerStun, a_standard_client_finds_no_nat_on_loopback) {
  Serve(StunConfig());
  const std::string out = Output("/usr/bin/turnutils_natdiscovery -m -f -L " + me + " " + srv);
  // Mapping needs the answers from the other address, filtering the changed address and port.
  EXPECT_NE(out.find("NAT with Endpoint Independent Mapping"), std::string::npos) << out;
  EXPECT_NE(out.find("NAT with Endpoint Independent Filtering"), std::string::npos) << out;
  EXPECT_NE(out.find("Response origin: : " + other + ":3479"), std::string::npos) << out;
}

TEST_F(EchoServerStun, a_flood_from_one_source_locks_out_nobody_else) {
  Serve(StunConfig());
  stun::TMessage m;
  m.Transaction = stun::NewTransaction(1, 2);
  const std::string request = stun::Encode(m);
  const UdpPeer flood = Udp(me), bystander = Udp(TestAddress(3));
  constexpr int kSent = 400;
  for (int i = 0; i < kSent; ++i) flood.SendTo(srv, 3478, request);
  ASSERT_TRUE(bystander.SendTo(srv, 3478, request));
  const auto answer = bystander.Receive();
  ASSERT_TRUE(answer) << "a bystander is answered during a flood";
  const auto parsed = stun::Parse(answer->data);
  ASSERT_TRUE(parsed && parsed->XorMapped);
  EXPECT_EQ(stun::ToText(*parsed->XorMapped), bystander.Ip() + ":" + std::to_string(bystander.Port()));
  int answered = 0;
  while (answered < kSent && flood.Receive(std::chrono::milliseconds(300))) ++answered;
  const double burst = Config().DatagramBurst;
  EXPECT_GE(answered, burst * 0.9);
  EXPECT_LT(answered, kSent / 2) << "the flood is cut to about the burst";
}

}  // namespace
