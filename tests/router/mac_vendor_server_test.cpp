// The vendor step against this project's echo server, which serves the registry's list as
// Debian ships it, on the test's own address.
#include <gtest/gtest.h>

#include <filesystem>

#include "router/MacVendor.h"
#include "tests/router/VendorStep.h"
#include "tests/support/TempDir.h"
#include "tests/support/EchoServerGuard.h"

namespace {

using support::TempDir;

// The echo server on the test's own address, serving the vendor list only.
TEchoServerConfig ListServer() {
  TEchoServerConfig c;
  c.Address = support::TestAddress();
  c.SipPorts = {};
  c.RtpPort = 0;
  return c;
}

TEST(MacVendorServer, list_from_the_echo_server) {
  if (!std::filesystem::exists("/usr/share/ieee-data/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  support::EchoServerGuard server(ListServer());
  ASSERT_GT(server.Server().MacListEntries(), 45000u);
  TempDir dir;
  const std::string file = dir.File("MAC.CSV");
  const std::string url = "http://" + support::TestAddress() + "/download/MAC.CSV";
  auto run = [&](const std::string& mac) { return vendor_test::VendorLines(url, file, mac); };
  EXPECT_EQ(run("001A2B3C4D5E"), (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list",
                                                           "Ayecom Technology Co., Ltd."}));
  EXPECT_EQ(server.Server().Counters().HttpRequests, 2u);
  EXPECT_EQ(server.Server().Counters().Connections, 1u);  // HEAD and GET on one connection

  // The next start finds its list fresh: only the HEAD goes out.
  EXPECT_EQ(run("70B3D5719ABC"), (std::vector<std::string>{"Downloading MAC list... ", "2M Technology"}));
  EXPECT_EQ(server.Server().Counters().HttpRequests, 3u);
  EXPECT_EQ(run("208593B12345"), (std::vector<std::string>{"Downloading MAC list... ", "IOG Products LLC"}));
}

TEST(MacVendorServer, wrong_path_is_an_exception_line) {
  const TEchoServerConfig config = ListServer();
  support::EchoServerGuard server(config);
  TempDir dir;
  EXPECT_EQ(vendor_test::VendorLines("http://" + config.Address + "/download/OTHER.CSV", dir.File("MAC.CSV")),
            (std::vector<std::string>{"Downloading MAC list... ", "Exception in HTTP connection with " + config.Address}));
}

}  // namespace
