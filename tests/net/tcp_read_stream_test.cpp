// Reading exact counts and streams from a TCP connection.
#include <gtest/gtest.h>

#include <string>

#include "net/IdException.h"
#include "net/IdStream.h"
#include "net/IdTCPClient.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

std::string Int32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// Records the read progress events.
struct WorkLog {
  int begins = 0, ends = 0, works = 0;
  int64_t max = -1, last = 0;
  bool rising = true;
};

TEST(TcpReadStream, tcp_read_to_stream) {
  struct Row {
    const char* what;
    std::string sent;
    bool closeAfter;
    std::string lineFirst;  // a line read before, leaving the rest buffered
    int64_t count;
    bool untilDisconnect;
    bool raisesClosed;
    std::string expected;  // what the stream holds after its first two bytes "<>"
    std::string rest;      // what stays for the next read (read with ReadExact)
  };
  const std::string big = Bytes(300000);
  const Row rows[] = {
      {"count", "0123456789tail", false, "", 10, false, false, "0123456789", "tail"},
      {"count over many receives", big + "tail", false, "", 300000, false, false, big, "tail"},
      {"count prefix", Int32(5) + "hellotail", false, "", -1, false, false, "hello", "tail"},
      {"after a buffered line", "head\nbody+tail", false, "head", 5, false, false, "body+", "tail"},
      {"zero count", "tail", false, "", 0, false, false, "", "tail"},
      {"until disconnect", big, true, "", -1, true, false, big, ""},
      {"until disconnect after a line", "head\nbody", true, "head", -1, true, false, "body", ""},
      {"early close", Bytes(600), true, "", 1000, false, true, Bytes(600), ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TcpPeer peer(support::TestAddress());
    peer.Send(r.sent);
    if (r.closeAfter) peer.Close();
    TIdTCPClient client;
    WorkLog work;
    client.OnWorkBegin = [&](TIdComponent*, TWorkMode mode, int64_t max) {
      if (mode == TWorkMode::wmRead) ++work.begins, work.max = max;
    };
    client.OnWork = [&](TIdComponent*, TWorkMode mode, int64_t total) {
      if (mode != TWorkMode::wmRead) return;
      work.rising = work.rising && total > work.last;
      work.last = total;
      ++work.works;
    };
    client.OnWorkEnd = [&](TIdComponent*, TWorkMode mode) { work.ends += mode == TWorkMode::wmRead; };
    ConnectTo(client, peer);
    if (!r.lineFirst.empty()) {
      EXPECT_EQ(client.ReadLine(), r.lineFirst);
    }
    TMemoryStream stream;
    stream.Write("<>", 2);
    if (r.raisesClosed) {
      EXPECT_THROW(client.ReadToStream(&stream, r.count, r.untilDisconnect), EIdConnClosedGracefully);
    } else {
      client.ReadToStream(&stream, r.count, r.untilDisconnect);
    }
    EXPECT_EQ(stream.Position(), 2 + static_cast<int64_t>(r.expected.size()));
    EXPECT_TRUE(stream.DataString() == "<>" + r.expected) << "stream of " << stream.Size() << " bytes";
    // Progress: one begin with the count (0 until disconnect), rising totals up to what was
    // read, one end.
    EXPECT_EQ(work.begins, 1);
    EXPECT_EQ(work.max, r.untilDisconnect ? 0 : std::max<int64_t>(r.count, static_cast<int64_t>(r.expected.size())));
    EXPECT_EQ(work.last, static_cast<int64_t>(r.expected.size()));
    EXPECT_TRUE(work.rising);
    EXPECT_EQ(work.ends, 1);
    if (!r.rest.empty()) {
      std::string rest(r.rest.size(), '\0');
      client.ReadExact(rest.data(), static_cast<int64_t>(rest.size()));
      EXPECT_EQ(rest, r.rest);
    }
  }
}

TEST(TcpReadStream, tcp_read_exact_and_int32) {
  TcpPeer peer(support::TestAddress());
  peer.Send(Int32(258) + Int32(0xfffffffe) + "abc").Close();
  TIdTCPClient client;
  ConnectTo(client, peer);
  EXPECT_EQ(client.ReadInt32(), 258);
  EXPECT_EQ(client.ReadInt32(), -2);
  char buf[5];
  client.ReadExact(buf, 0);  // nothing to do, nothing waited for
  // Five wanted, three come before the close: not enough.
  EXPECT_THROW(client.ReadExact(buf, 5), EIdConnClosedGracefully);
  EXPECT_EQ(client.InputBuffer().Size(), 3);
  EXPECT_THROW(client.ReadExact(buf, 5), EIdConnClosedGracefully);
  client.ReadExact(buf, 3);  // what is buffered can still be taken
  EXPECT_EQ(std::string(buf, 3), "abc");
}

}  // namespace
