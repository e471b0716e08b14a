// Asking a made-up router on loopback: its search answer, description and control over UPnP,
// and its public address over NAT-PMP, each beside a forged answer from another address.
#include <gtest/gtest.h>

#include <thread>

#include "router/GatewayAsk.h"
#include "tests/support/Loopback.h"

namespace {

using support::TestAddress;
using namespace std::chrono_literals;

std::string Http(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

const std::string kDescription =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
    "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><deviceList><device>"
    "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><deviceList><device>"
    "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType><serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
    "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL>"
    "</service></serviceList></device></deviceList></device></deviceList></device></root>";

std::string ExternalAnswer(const std::string& address) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
         "<u:GetExternalIPAddressResponse xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
         "<NewExternalIPAddress>" + address + "</NewExternalIPAddress></u:GetExternalIPAddressResponse>"
         "</s:Body></s:Envelope>";
}

// One HTTP request on the listener, answered with `reply`; its request line.
std::string ServeOne(support::TcpListener& l, const std::string& reply) {
  support::TcpConn c(l.Accept());
  const auto head = c.ReadUntil("\r\n\r\n");
  if (!head) return "";
  const size_t at = head->find("Content-Length:");
  if (at != std::string::npos) c.ReadExactly(std::stoul(head->substr(at + 15)));
  c.Send(reply);
  return head->substr(0, head->find("\r\n"));
}

TEST(GatewayServers, upnp_external_address_from_the_routers_answer) {
  for (const std::string external : {"203.0.113.7", ""}) {
    SCOPED_TRACE(external);
    const std::string gw = TestAddress(0), me = TestAddress(1);
    support::UdpPeer ssdp(gw, 1900), other(TestAddress(2), 1900);
    support::TcpListener http(gw);
    ASSERT_TRUE(ssdp.Ok() && other.Ok() && http.Ok());
    std::vector<std::string> requests;
    std::thread router([&] {
      const auto search = ssdp.Receive();
      if (!search) return;
      // Another device answers first, naming itself.
      other.SendTo(search->fromIp, search->fromPort,
                   "HTTP/1.1 200 OK\r\nLOCATION: http://" + other.Ip() + ":1/rootDesc.xml\r\n\r\n");
      ssdp.SendTo(search->fromIp, search->fromPort,
                  "HTTP/1.1 200 OK\r\nLOCATION: http://" + gw + ":" + std::to_string(http.Port()) + "/rootDesc.xml\r\n\r\n");
      requests.push_back(search->fromIp + " " + search->data.substr(0, 8));
      requests.push_back(ServeOne(http, Http("200 OK", kDescription)));
      requests.push_back(ServeOne(http, Http("200 OK", ExternalAnswer(external))));
    });
    const auto answer = AskUpnp(me, gw, 1000);
    router.join();
    EXPECT_EQ(answer, (TGatewayAnswer{TGatewayProtocol::Upnp, ExternalAddressOf(external)}));
    EXPECT_EQ(requests, (std::vector<std::string>{me + " M-SEARCH", "GET /rootDesc.xml HTTP/1.1",
                                                  "POST /ctl/IPConn HTTP/1.1"}));
  }
}

TEST(GatewayServers, natpmp_public_address_or_none_to_give) {
  struct Row {
    uint16_t result;
    std::array<uint8_t, 4> address;
    std::optional<TGatewayAnswer> answer;
  };
  const std::vector<Row> rows = {
      {0, {203, 0, 113, 7}, TGatewayAnswer{TGatewayProtocol::NatPmp, "203.0.113.7"}},
      {0, {0, 0, 0, 0}, TGatewayAnswer{TGatewayProtocol::NatPmp, std::nullopt}},
      {3, {0, 0, 0, 0}, TGatewayAnswer{TGatewayProtocol::NatPmp, std::nullopt}},  // network failure
  };
  for (const Row& r : rows) {
    const std::string gw = TestAddress(3), me = TestAddress(4);
    support::UdpPeer pmp(gw, 5351);
    ASSERT_TRUE(pmp.Ok());
    std::string from;
    std::thread router([&] {
      const auto q = pmp.Receive();
      if (!q || q->data != std::string("\0\0", 2)) return;
      from = q->fromIp;
      std::string reply = {0, static_cast<char>(128), 0, static_cast<char>(r.result), 0, 0, 0, 9};
      reply.append(r.address.begin(), r.address.end());
      pmp.SendTo(q->fromIp, q->fromPort, reply);
    });
    EXPECT_EQ(AskNatPmp(me, gw, 1000), r.answer) << r.result;
    router.join();
    EXPECT_EQ(from, me) << "asked from the run's address";
  }
  // Nothing listens: the router's refusal ends it at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(AskNatPmp(TestAddress(6), TestAddress(5), 1000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
}

}  // namespace
