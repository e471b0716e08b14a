// The bind rule of a binding: one port, or a scan of a port range from its top.
#include "tests/net/udp_test_support.h"

using namespace udptest;

namespace {

class UdpBind : public UdpTest {};

TEST_F(UdpBind, udp_bind_port_range) {
  const std::string ip = TestAddress();
  // Three neighbouring free ports: lo, lo+1, lo+2 (the system's choice, then its neighbours).
  int lo = 0;
  for (int attempt = 0; attempt < 50 && lo == 0; ++attempt) {
    const int p = FreePort(ip);
    if (p > 65533) continue;
    TIdSocketHandle a, b;
    a.OpenSocket(Id_SOCK_DGRAM);
    b.OpenSocket(Id_SOCK_DGRAM);
    if (SocketStack->SockBind(a.Handle(), Id_PF_INET, p + 1, ip) == 0 &&
        SocketStack->SockBind(b.Handle(), Id_PF_INET, p + 2, ip) == 0)
      lo = p;
  }
  ASSERT_NE(lo, 0);

  struct Row {
    const char* name;
    int min, max;
    std::vector<int> held;  // ports taken by other sockets first
    int bound;              // port expected, 0: an exception
    std::string message;
  };
  const std::string range = "(" + std::to_string(lo) + " - " + std::to_string(lo + 2) + ")";
  const Row rows[] = {
      {"top free", lo, lo + 2, {}, lo + 2, ""},
      {"top held", lo, lo + 2, {lo + 2}, lo + 1, ""},
      {"only bottom free", lo, lo + 2, {lo + 2, lo + 1}, lo, ""},
      {"all held", lo, lo + 2, {lo, lo + 1, lo + 2}, 0, "Can not bind in port range " + range},
      {"one port", lo + 1, lo + 1, {}, lo + 1, ""},
      {"reversed", lo + 2, lo, {}, 0, "Invalid Port Range (" + std::to_string(lo + 2) + " - " + std::to_string(lo) + ")"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const support::HeldPorts held(ip, r.held);
    ASSERT_TRUE(held.Ok());
    TIdSocketHandle h;
    h.OpenSocket(Id_SOCK_DGRAM);
    h.IP = ip;
    h.ClientPortMin = r.min;
    h.ClientPortMax = r.max;
    if (r.bound) {
      h.BindLocal();
      EXPECT_EQ(h.Port, r.bound);
      std::string localIp;
      int localPort = 0;
      SocketStack->LocalAddress(h.Handle(), localIp, localPort);
      EXPECT_EQ(localPort, r.bound);
    } else {
      try {
        h.BindLocal();
        ADD_FAILURE() << "bound " << h.Port;
      } catch (const EIdCanNotBindPortInRange& e) {
        EXPECT_EQ(e.what(), r.message);
      } catch (const EIdInvalidPortRange& e) {
        EXPECT_EQ(e.what(), r.message);
      }
    }
  }
}

TEST_F(UdpBind, udp_bind_fixed_port_ignores_the_range) {
  const std::string ip = TestAddress();
  UdpPeer holder(ip);
  TIdSocketHandle h;
  h.OpenSocket(Id_SOCK_DGRAM);
  h.IP = ip;
  h.Port = holder.Port();
  h.ClientPortMin = 1;
  h.ClientPortMax = 65535;
  EXPECT_THROW(h.BindLocal(), EIdCouldNotBindSocket);  // one attempt, no scan
  h.Port = 0;
  h.ClientPortMax = 0;  // a range needs both ends: the system chooses
  h.BindLocal();
  EXPECT_NE(h.Port, 0);
  EXPECT_EQ(h.IP, ip);
}

}  // namespace
