#include <gtest/gtest.h>

#include <optional>

#include "probes/TcpCheckPolicy.h"

namespace {

// Tries to connect: only a time-out is tried again, at most three tries in all, and once when
// the port's earlier check timed out on every try.
TEST(TcpCheckPolicy, connect_tries) {
  struct Row {
    const char* name;
    int tries;
    bool timedOut, portTimedOutBefore;
    int waitMs;
  };
  const Row rows[] = {
      {"the first try", 0, false, false, kTcpConnectWaitMs},
      {"the first try to a port that timed out before", 0, false, true, kTcpConnectWaitMs},
      {"timed out once", 1, true, false, kTcpConnectWaitMs},
      {"timed out twice", 2, true, false, kTcpConnectWaitMs},
      {"timed out three times", 3, true, false, 0},
      {"refused (an answer, not a loss)", 1, false, false, 0},
      {"timed out where the earlier check timed out too", 1, true, true, 0},
  };
  for (const Row& r : rows) EXPECT_EQ(TcpConnectWaitMs(r.tries, r.timedOut, r.portTimedOutBefore), r.waitMs) << r.name;
  EXPECT_GE(kTcpConnectWaitMs, 3000 + 100) << "long enough for the SYN sent again after 1 and 3 s";
}

// A message without echo: swallowed only once TCP says that the far end has every byte.
TEST(TcpCheckPolicy, echo_wait) {
  using S = TTcpEchoStep;
  const auto info = [](int unacked, int sinceAck) {
    return std::optional<TIdTcpSendInfo>(TIdTcpSendInfo{unacked, sinceAck, 1448, 0});
  };
  struct Row {
    const char* name;
    int waitedMs;
    std::optional<TIdTcpSendInfo> info;
    S step;
  };
  const Row rows[] = {
      {"within the echo wait, acknowledged", 1999, info(0, 1900), S::Wait},
      {"after it, acknowledged long ago", 2000, info(0, 1900), S::Swallowed},
      {"after it, acknowledged just now: the echo may follow", 2500, info(0, 100), S::Wait},
      {"acknowledged just now, past every wait", 9000, info(0, 100), S::Swallowed},
      {"unacknowledged: TCP sends it again", 2000, info(371, 2000), S::Wait},
      {"unacknowledged at the end of the resends", 7999, info(371, 2000), S::Wait},
      {"still unacknowledged after them: lost", 8000, info(371, 8000), S::Lost},
      {"no word from TCP: the whole wait", 7999, std::nullopt, S::Wait},
      {"no word from TCP after it", 8000, std::nullopt, S::Swallowed},
  };
  for (const Row& r : rows) EXPECT_EQ(TcpEchoStep(r.waitedMs, r.info), r.step) << r.name;
}

TEST(TcpCheckPolicy, segments) {
  EXPECT_EQ(TcpSegments(371, 1448), 1);
  EXPECT_EQ(TcpSegments(371, 200), 2);
  EXPECT_EQ(TcpSegments(400, 200), 2);
  EXPECT_EQ(TcpSegments(401, 200), 3);
  EXPECT_EQ(TcpSegments(371, 0), 1) << "segment size unknown";
}

}  // namespace
