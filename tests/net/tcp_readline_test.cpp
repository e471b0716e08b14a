// Reading lines from a TCP connection: terminators, limits, time-outs, a closing peer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;

TEST(TcpReadLine, tcp_readline_finds_terminators_split_across_receives) {
  // Each chunk reaches the client in a receive of its own.
  const std::string dot = "\r\n.\r\n";
  struct Row {
    std::string terminator;
    std::vector<std::string> chunks;
    std::string line;
    std::string rest;  // read afterwards with LF: what followed the terminator
  };
  const Row rows[] = {
      {dot, {"first\r\n", ".\r\nrest\n"}, "first", "rest"},  // 2 + 3
      {dot, {"first\r\n.", "\r\nrest\n"}, "first", "rest"},  // 3 + 2
      {dot, {"first\r", "\n.\r\nrest\n"}, "first", "rest"},  // 1 + 4
      {dot, {"first\r\n.\r", "\nrest\n"}, "first", "rest"},  // 4 + 1
      {dot, {"a\r\n", "b\r\n", ".", "\r", "\nrest\n"}, "a\r\nb", "rest"},
      {"ABABC", {"xxABAB", "Crest\n"}, "xx", "rest"},  // begins two bytes back, not one
      {"ABABC", {"xxABA", "BABC", "rest\n"}, "xxAB", "rest"},
  };
  for (size_t n = 0; n < std::size(rows); ++n) {
    const Row& r = rows[n];
    SCOPED_TRACE(n + 1);
    TcpPeer peer(support::TestAddress());
    for (const auto& c : r.chunks) peer.Send(c).WaitTaken();
    TIdTCPClient client;
    ConnectTo(client, peer);
    EXPECT_EQ(client.ReadLine(r.terminator, 5000), r.line);
    EXPECT_FALSE(client.LineTimedOut());
    EXPECT_EQ(client.ReadLine("\n", 5000), r.rest);
    EXPECT_TRUE(peer.WaitDone());
  }
}

TEST(TcpReadLine, tcp_readline_time_out_keeps_partial_data) {
  // With a limit of its own the line comes back empty; with the default limit (ReadTimeout)
  // "Read Timeout" is raised. Either way the bytes received so far wait for the next read.
  for (bool ownLimit : {true, false}) {
    SCOPED_TRACE(ownLimit);
    TcpPeer peer(support::TestAddress());
    peer.Send("partial ").WaitTaken().WaitSignal(1).Send("line\r\n");
    TIdTCPClient client;
    ConnectTo(client, peer);
    if (ownLimit) {
      EXPECT_EQ(client.ReadLine("\r\n", 200), "");
      EXPECT_TRUE(client.LineTimedOut());
    } else {
      client.ReadTimeout = 200;
      try {
        client.ReadLine("\r\n");
        ADD_FAILURE() << "no time-out";
      } catch (const EIdReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read Timeout");
      }
      client.ReadTimeout = 0;
    }
    EXPECT_EQ(client.InputBuffer().Size(), 8);
    EXPECT_TRUE(client.IsConnected());
    peer.Signal();
    EXPECT_EQ(client.ReadLine("\r\n", 5000), "partial line");
    EXPECT_FALSE(client.LineTimedOut());
  }
}

TEST(TcpReadLine, tcp_readline_waits_at_the_line_limit_and_fails_beyond) {
  // 16384 bytes without a terminator are still a line in the making; one more is too many.
  TcpPeer peer(support::TestAddress());
  peer.Send(std::string(16384, 'x')).WaitTaken().WaitSignal(1).Send("x");
  TIdTCPClient client;
  ConnectTo(client, peer);
  EXPECT_EQ(client.ReadLine("\n", 300), "");
  EXPECT_TRUE(client.LineTimedOut());
  peer.Signal();
  try {
    client.ReadLine("\n", 5000);
    ADD_FAILURE() << "no exception";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(TcpReadLine, tcp_readline_line_limits) {
  struct Row {
    const char* what;
    TIdMaxLineAction action;
    int maxLength;
    std::string sent;
    bool raises;
    std::vector<std::string> lines;  // lines read one after another (split parts included)
    bool split;                      // the first read was split
  };
  const std::string x16384(16384, 'x');
  const Row rows[] = {
      {"limit exactly", TIdMaxLineAction::maException, -1, x16384 + "\n", false, {x16384}, false},
      {"one beyond", TIdMaxLineAction::maException, -1, x16384 + "y\n", true, {}, false},
      {"split", TIdMaxLineAction::maSplit, -1, x16384 + "y\n", false, {x16384, "y"}, true},
      {"split unterminated", TIdMaxLineAction::maSplit, -1, x16384 + "yz", false, {x16384}, true},
      {"own limit", TIdMaxLineAction::maException, 10, "0123456789A\n", true, {}, false},
      {"own limit split", TIdMaxLineAction::maSplit, 4, "abcdef\n", false, {"abcd", "ef"}, true},
      {"no limit", TIdMaxLineAction::maException, 0, std::string(40000, 'z') + "\n", false,
       {std::string(40000, 'z')}, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TcpPeer peer(support::TestAddress());
    peer.Send(r.sent);
    TIdTCPClient client;
    client.MaxLineAction = r.action;
    ConnectTo(client, peer);
    ASSERT_TRUE(peer.WaitDone());
    // Wait for everything, so the limit is judged on all of it.
    ASSERT_TRUE(WaitUntil([&] {
      client.PollDisconnect(false);
      return client.InputBuffer().Size() == static_cast<int64_t>(r.sent.size());
    }));
    if (r.raises) {
      EXPECT_THROW(client.ReadLine("\n", 2000, r.maxLength), EIdReadLnMaxLineLengthExceeded);
      continue;
    }
    for (size_t i = 0; i < r.lines.size(); ++i) {
      EXPECT_EQ(client.ReadLine("\n", 2000, r.maxLength), r.lines[i]) << i;
      EXPECT_EQ(client.LineWasSplit(), r.split && i == 0) << i;
    }
  }
}

TEST(TcpReadLine, tcp_readline_carriage_returns) {
  // With LF (also the empty terminator) a CR before it goes too; CR LF takes it as part of the
  // terminator; any other terminator leaves a CR in the line.
  struct Row { std::string terminator, sent, line; };
  const Row rows[] = {
      {"", "abc\r\n", "abc"},
      {"\n", "abc\r\n", "abc"},
      {"\n", "abc\n", "abc"},
      {"\n", "\r\n", ""},
      {"\n", "a\rb\r\r\n", "a\rb\r"},
      {"\r\n", "abc\r\n", "abc"},
      {"\r\n", "abc\r\r\n", "abc\r"},
      {"X", "abc\rX", "abc\r"},
      {"\x58\x5f", "abc\r\x58\x5f", "abc\r"},  // a scrambled CR LF is no CR LF
      {"\n", std::string("a\0b\n", 4), std::string("a\0b", 3)},
  };
  TcpPeer peer(support::TestAddress());
  std::string all;
  for (const Row& r : rows) all += r.sent;
  peer.Send(all);
  TIdTCPClient client;
  ConnectTo(client, peer);
  for (const Row& r : rows) EXPECT_EQ(client.ReadLine(r.terminator, 5000), r.line) << r.sent;
  EXPECT_TRUE(client.InputBuffer().Empty());
}

TEST(TcpReadLine, tcp_readline_peer_answers_and_closes) {
  // Lines already buffered are still read after the close; then the close is raised, even
  // with an unterminated rest in the buffer.
  struct Row { std::string sent; std::vector<std::string> lines; };
  const Row rows[] = {
      {"answer\r\n", {"answer"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"one\r\npart", {"one"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sent);
    TcpPeer peer(support::TestAddress());
    peer.Send(r.sent).Close();
    TIdTCPClient client;
    EventLog log(client);
    ConnectTo(client, peer);
    ASSERT_TRUE(peer.WaitDone());
    log.items.clear();
    for (const auto& line : r.lines) EXPECT_EQ(client.ReadLine("\r\n", 2000), line);
    EXPECT_THROW(client.ReadLine("\r\n", 2000), EIdConnClosedGracefully);
    EXPECT_EQ(log.Joined(), "Disconnected. | OnDisconnected");
    EXPECT_THROW(client.ReadLine("\r\n", 2000), EIdConnClosedGracefully);
  }
}

}  // namespace
