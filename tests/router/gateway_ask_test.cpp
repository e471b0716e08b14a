// The router's answers, read: the search's answer that names the description, and the
// external address a router gives.
#include <gtest/gtest.h>

#include "router/GatewayAsk.h"

namespace {

TEST(GatewayAsk, only_the_routers_own_answer_names_its_description) {
  const std::string gw = "192.168.77.1";
  const std::string ok = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: "
                         "urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nLocation: "
                         "http://192.168.77.1:5000/rootDesc.xml\r\n\r\n";
  struct Row {
    const char* name;
    std::string reply, from;
    std::optional<std::string> location;
  };
  const std::vector<Row> rows = {
      {"the router's answer, any case", ok, gw, "http://192.168.77.1:5000/rootDesc.xml"},
      {"without a port", "HTTP/1.1 200 OK\r\nLOCATION:http://192.168.77.1/d.xml \r\n\r\n", gw,
       "http://192.168.77.1/d.xml"},
      {"from another device", ok, "192.168.77.9", std::nullopt},
      {"naming another host", "HTTP/1.1 200 OK\r\nLOCATION: http://192.168.77.10:5000/d.xml\r\n\r\n", gw, std::nullopt},
      {"a notification", "NOTIFY * HTTP/1.1\r\nLOCATION: http://192.168.77.1:5000/d.xml\r\n\r\n", gw, std::nullopt},
      {"an error", "HTTP/1.1 404 Not Found\r\nLOCATION: http://192.168.77.1:5000/d.xml\r\n\r\n", gw, std::nullopt},
      {"without a location", "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n\r\n", gw, std::nullopt},
      {"not over HTTP", "HTTP/1.1 200 OK\r\nLOCATION: https://192.168.77.1/d.xml\r\n\r\n", gw, std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(SsdpLocation(r.reply, r.from, gw), r.location) << r.name;
}

TEST(GatewayAsk, an_empty_or_zero_address_is_none_to_give) {
  for (const std::string a : {"203.0.113.7", "100.64.0.2", "1.0.0.0"}) EXPECT_EQ(ExternalAddressOf(a), a);
  for (const std::string a : {"", "0.0.0.0", "10.1", "203.0.113.07", "203.0.113.256", "203.0.113.7 ", "none"})
    EXPECT_FALSE(ExternalAddressOf(a)) << a;
}

}  // namespace
