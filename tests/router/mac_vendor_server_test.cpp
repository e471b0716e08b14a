// The vendor step against this project's echo server, which serves the registry's list as
// Debian ships it, on 127.0.73.x.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "router/MacVendor.h"
#include "server/EchoServer.h"
#include "temp_dir.h"

namespace {

// The echo server on its own thread for the life of the object.
class Server {
 public:
  explicit Server(const std::string& address) : server_(Config(address), [](const std::string&) {}) {
    thread_ = std::thread([this] { server_.Run(); });
  }
  ~Server() {
    server_.Stop();
    thread_.join();
  }
  TEchoServer& Get() { return server_; }

 private:
  static TEchoServerConfig Config(const std::string& address) {
    TEchoServerConfig c;
    c.Address = address;
    c.ControlPort = 80;
    c.SipPorts = {};
    c.RtpPort = 0;
    return c;
  }
  TEchoServer server_;
  std::thread thread_;
};

TEST(MacVendorServer, list_from_the_echo_server) {
  if (!std::filesystem::exists("/usr/share/ieee-data/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  Server server("127.0.73.1");
  ASSERT_GT(server.Get().MacListEntries(), 45000u);
  TempDir dir;
  const std::string file = dir.File("MAC.CSV");
  const std::string url = "http://127.0.73.1/download/MAC.CSV";
  auto run = [&](const std::string& mac) {
    std::vector<std::string> lines;
    RefreshAndLookupVendor(url, file, mac, [&](const std::string& l) { lines.push_back(l); });
    return lines;
  };
  EXPECT_EQ(run("001A2B3C4D5E"), (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list",
                                                           "Ayecom Technology Co., Ltd."}));
  EXPECT_EQ(server.Get().Counters().HttpRequests, 2u);
  EXPECT_EQ(server.Get().Counters().Connections, 1u);  // HEAD and GET on one connection

  // The next start finds its list fresh: only the HEAD goes out.
  EXPECT_EQ(run("70B3D5719ABC"), (std::vector<std::string>{"Downloading MAC list... ", "2M Technology"}));
  EXPECT_EQ(server.Get().Counters().HttpRequests, 3u);
  EXPECT_EQ(run("208593B12345"), (std::vector<std::string>{"Downloading MAC list... ", "IOG Products LLC"}));
}

TEST(MacVendorServer, wrong_path_is_an_exception_line) {
  Server server("127.0.73.2");
  TempDir dir;
  std::vector<std::string> lines;
  RefreshAndLookupVendor("http://127.0.73.2/download/OTHER.CSV", dir.File("MAC.CSV"), "001A2B3C4D5E",
                         [&](const std::string& l) { lines.push_back(l); });
  EXPECT_EQ(lines, (std::vector<std::string>{"Downloading MAC list... ", "Exception in HTTP connection with 127.0.73.2"}));
}

}  // namespace
