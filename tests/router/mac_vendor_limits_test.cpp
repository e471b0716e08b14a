// The vendor step against list servers that keep sending but never finish: one that trickles
// its answer and one that sends fast without end. The step gives up on both, keeps the old
// MAC.CSV and goes on with the lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "router/MacVendor.h"
#include "tests/router/VendorStep.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using namespace support;

// Answers the HEAD with a date newer than any file, then the GET with a head announcing a
// large body, and sends `piece` every 20 ms until the client hangs up (or 20 s pass).
class EndlessListServer {
 public:
  EndlessListServer(const std::string& ip, std::string piece) : listener_(ip), piece_(std::move(piece)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~EndlessListServer() { thread_.join(); }

  bool Ok() const { return listener_.Ok(); }
  std::string Url() const { return "http://" + listener_.Ip() + ":" + std::to_string(listener_.Port()) + "/download/MAC.CSV"; }
  bool ClientHungUp() const { return hungUp_; }

 private:
  void Run() {
    TcpConn conn(listener_.Accept());
    if (!conn.ReadUntil("\r\n\r\n") ||
        !conn.Send("HTTP/1.1 200 OK\r\nLast-Modified: Sun, 06 Nov 2033 08:49:37 GMT\r\nContent-Length: 0\r\n\r\n") ||
        !conn.ReadUntil("\r\n\r\n") || !conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n"))
      return;
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end) {
      if (!conn.Send(piece_, 1s) || conn.WaitClosed(20ms)) {
        hungUp_ = true;
        return;
      }
    }
  }

  TcpListener listener_;
  std::string piece_;
  std::atomic<bool> hungUp_{false};
  std::thread thread_;
};

TEST(MacVendorLimits, endless_transfer_gives_up_and_keeps_the_old_list) {
  struct Row {
    const char* name;
    std::string piece;  // sent every 20 ms
    TIdTransferLimits limits;
  };
  const Row rows[] = {
      {"a byte at a time: below the floor", "M", {1000, 300, 60000}},
      {"fast, but without end: past the total", std::string(2000, 'M'), {1000, 300, 1000}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    TempDir dir;
    const std::string old = "MA-L,001A2B,Old Maker,\n";
    const std::string file = dir.Write("MAC.CSV", old);
    SetMtime(file, 1000000000);
    const FileStamp before = Mtime(file);
    const std::string ip = TestAddress(static_cast<int>(i));
    EndlessListServer server(ip, r.piece);
    ASSERT_TRUE(server.Ok());

    EXPECT_EQ(vendor_test::VendorLines(server.Url(), file, "001A2B3C4D5E", r.limits),
              (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list",
                                        "Exception in HTTP connection with " + ip, "Old Maker"}));
    EXPECT_EQ(ReadFileBytes(file), old);
    EXPECT_TRUE(WaitUntil([&] { return server.ClientHungUp(); })) << "the server was still sending";
    EXPECT_EQ(Mtime(file), before);
  }
}

}  // namespace
