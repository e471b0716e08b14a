// Writing to a TCP connection: plain writes, write buffering, streams, and every read and write
// of a client that is not connected.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/IdException.h"
#include "net/IdStream.h"
#include "net/IdTCPClient.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;

// Connects the client to a peer, runs `write`, disconnects and returns all that reached the peer.
std::string Delivered(TIdTCPClient& client, const std::function<void()>& write) {
  TcpPeer peer(support::TestAddress());
  peer.RecvUntilClose();
  ConnectTo(client, peer);
  write();
  client.Disconnect();
  return peer.WaitDone() ? peer.Received() : "(the peer did not see the close)";
}

TEST(TcpWrite, tcp_operations_when_not_connected) {
  // A client that never connected: writes of nothing pass silently, everything else that
  // needs the link raises "Not Connected".
  struct Row {
    const char* what;
    std::function<void(TIdTCPClient&)> call;
    bool raises;
  };
  TMemoryStream stream;
  const Row rows[] = {
      {"Write of an empty text", [](TIdTCPClient& c) { c.Write(""); }, false},
      {"WriteBytes of nothing", [](TIdTCPClient& c) { c.WriteBytes("x", 0); }, false},
      {"Disconnect", [](TIdTCPClient& c) { c.Disconnect(); }, false},
      {"PollDisconnect without raising", [](TIdTCPClient& c) { EXPECT_EQ(c.PollDisconnect(false), 0); }, false},
      {"IsConnected", [](TIdTCPClient& c) { EXPECT_FALSE(c.IsConnected()); }, false},
      {"Write", [](TIdTCPClient& c) { c.Write("x"); }, true},
      {"Write of a zero byte", [](TIdTCPClient& c) { c.Write(std::string(1, '\0')); }, true},
      {"WriteLine of an empty text", [](TIdTCPClient& c) { c.WriteLine(""); }, true},
      {"WriteInt32", [](TIdTCPClient& c) { c.WriteInt32(1); }, true},
      {"Write into an open buffer", [](TIdTCPClient& c) { c.OpenWriteBuffer(); c.Write("x"); }, true},
      {"ReadLine", [](TIdTCPClient& c) { c.ReadLine("\n", 100); }, true},
      {"ReadExact", [](TIdTCPClient& c) { char b; c.ReadExact(&b, 1); }, true},
      {"ReadInt32", [](TIdTCPClient& c) { c.ReadInt32(); }, true},
      {"ReadToStream", [&stream](TIdTCPClient& c) { c.ReadToStream(&stream, 10); }, true},
      {"FillInput", [](TIdTCPClient& c) { c.FillInput(); }, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TIdTCPClient client;
    EventLog log(client);
    if (r.raises) {
      try {
        r.call(client);
        ADD_FAILURE() << "no exception";
      } catch (const EIdNotConnected& e) {
        EXPECT_STREQ(e.what(), "Not Connected");
      }
    } else {
      EXPECT_NO_THROW(r.call(client));
    }
    EXPECT_TRUE(log.items.empty()) << log.Joined();
  }
}

TEST(TcpWrite, tcp_write_sends_every_byte) {
  TIdTCPClient client;
  const std::string big(100000, 'q');
  const std::string received = Delivered(client, [&] {
    client.Write(std::string("a\0b", 3));
    client.WriteLine("line");
    client.WriteLine("");
    client.WriteInt32(0x01020304);
    client.WriteInt32(-2);
    client.Write(big);
  });
  EXPECT_TRUE(received == std::string("a\0b", 3) + "line\r\n\r\n\x01\x02\x03\x04\xff\xff\xff\xfe" + big);
}

TEST(TcpWrite, tcp_write_buffering) {
  // Each script ends with Write("|") outside any buffer, then a disconnect; the peer's bytes
  // show what was sent and in which order.
  using C = TIdTCPClient;
  struct Row {
    const char* what;
    std::function<void(C&)> script;
    std::string received;
  };
  const Row rows[] = {
      {"close sends all", [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.WriteLine("cd"); c.CloseWriteBuffer(); }, "abcd\r\n|"},
      {"cancel drops", [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.CancelWriteBuffer(); }, "|"},
      {"clear drops and keeps buffering",
       [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.ClearWriteBuffer(); c.Write("cd"); c.CloseWriteBuffer(); }, "cd|"},
      {"threshold sends its first bytes",
       [](C& c) { c.OpenWriteBuffer(4); c.Write("ab"); c.Write("cde"); c.CancelWriteBuffer(); }, "abcd|"},
      {"flush of a count", [](C& c) { c.OpenWriteBuffer(); c.Write("abcdef"); c.FlushWriteBuffer(2); c.CancelWriteBuffer(); }, "ab|"},
      {"flush of more than pending",
       [](C& c) { c.OpenWriteBuffer(); c.Write("abc"); c.FlushWriteBuffer(10); c.CancelWriteBuffer(); }, "abc|"},
      {"flush of all keeps buffering",
       [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.FlushWriteBuffer(); c.Write("cd"); c.CancelWriteBuffer(); }, "ab|"},
      {"now goes ahead", [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.WriteBytes("X", 1, true); c.CloseWriteBuffer(); }, "Xab|"},
      {"opening again empties",
       [](C& c) { c.OpenWriteBuffer(); c.Write("ab"); c.OpenWriteBuffer(); c.Write("cd"); c.CloseWriteBuffer(); }, "cd|"},
      {"stream into the buffer",
       [](C& c) {
         TMemoryStream s(std::string("xyz"));
         c.OpenWriteBuffer();
         c.WriteFromStream(&s);
         c.CancelWriteBuffer();
       },
       "|"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TIdTCPClient client;
    EXPECT_EQ(Delivered(client,
                        [&] {
                          r.script(client);
                          EXPECT_FALSE(client.WriteBufferOpen());
                          client.Write("|");
                        }),
              r.received);
  }
}

TEST(TcpWrite, tcp_write_from_stream) {
  struct Row {
    const char* what;
    bool all, writeCount;
    int64_t position, size;
    bool raisesNoData;
    std::string received;
  };
  const std::string text = "hello world";
  const Row rows[] = {
      {"all", true, false, 5, 0, false, text},
      {"with count", true, true, 5, 0, false, std::string("\0\0\0\x0b", 4) + text},
      {"from the position", false, false, 6, 0, false, "world"},
      {"a size", false, false, 0, 5, false, "hello"},
      {"a size with count", false, true, 6, 3, false, std::string("\0\0\0\x03", 4) + "wor"},
      {"beyond the end", false, false, 6, 10, true, "world"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TIdTCPClient client;
    TMemoryStream stream(text);
    stream.SetPosition(r.position);
    EXPECT_EQ(Delivered(client,
                        [&] {
                          try {
                            client.WriteFromStream(&stream, r.all, r.writeCount, r.size);
                            EXPECT_FALSE(r.raisesNoData) << "no exception";
                          } catch (const EIdNoDataToRead& e) {
                            EXPECT_TRUE(r.raisesNoData);
                            EXPECT_STREQ(e.what(), "No data to read.");
                          }
                        }),
              r.received);
  }
}

TEST(TcpWrite, tcp_write_from_stream_reports_progress_in_chunks) {
  TIdTCPClient client;
  client.SendBufferSize = 1000;
  int64_t max = -1, last = 0;
  int begins = 0, ends = 0, works = 0;
  client.OnWorkBegin = [&](TIdComponent*, TWorkMode m, int64_t v) { if (m == TWorkMode::wmWrite) ++begins, max = v; };
  client.OnWork = [&](TIdComponent*, TWorkMode m, int64_t v) { if (m == TWorkMode::wmWrite) ++works, last = v; };
  client.OnWorkEnd = [&](TIdComponent*, TWorkMode m) { ends += m == TWorkMode::wmWrite; };
  const std::string data(25500, 'd');
  EXPECT_EQ(Delivered(client,
                      [&] {
                        TMemoryStream stream(data);
                        client.WriteFromStream(&stream);
                      }),
            data);
  EXPECT_EQ(begins, 1);
  EXPECT_EQ(max, 25500);
  EXPECT_GE(works, 26);  // at least one send per chunk of 1000
  EXPECT_EQ(last, 25500);
  EXPECT_EQ(ends, 1);
}

}  // namespace
