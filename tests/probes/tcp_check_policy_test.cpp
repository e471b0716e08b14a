#include <gtest/gtest.h>

#include "probes/TcpCheckPolicy.h"

namespace {

// Only a time-out is tried again, three tries in all, once where the port's last check timed out.
TEST(TcpCheckPolicy, connect_tries) {
  const int w = kTcpConnectWaitMs;
  struct Row { int tries; bool timedOut, timedOutBefore; int waitMs; };
  const Row rows[] = {{0, false, false, w}, {0, false, true, w}, {1, true, false, w}, {2, true, false, w},
                      {3, true, false, 0},  {1, false, false, 0}, {1, true, true, 0}};
  for (const Row& r : rows)
    EXPECT_EQ(TcpConnectWaitMs(r.tries, r.timedOut, r.timedOutBefore), r.waitMs) << r.tries << r.timedOut;
}

// Swallowed only once TCP says that the far end has every byte; lost when it never does.
TEST(TcpCheckPolicy, echo_wait) {
  using S = TTcpEchoStep;
  auto info = [](int unacked, int sinceAck) { return std::optional(TIdTcpSendInfo{unacked, sinceAck, 1448, 0}); };
  struct Row { const char* name; int waitedMs; std::optional<TIdTcpSendInfo> info; S step; };
  const Row rows[] = {
      {"within the echo wait", 1999, info(0, 1900), S::Wait},
      {"acknowledged long ago", 2000, info(0, 1900), S::Swallowed},
      {"acknowledged just now: the echo may follow", 2500, info(0, 100), S::Wait},
      {"acknowledged just now, past every wait", 9000, info(0, 100), S::Swallowed},
      {"unacknowledged: TCP sends it again", 7999, info(371, 2000), S::Wait},
      {"still unacknowledged after the resends", 8000, info(371, 8000), S::Lost},
      {"no word from TCP", 7999, std::nullopt, S::Wait},
      {"no word from TCP after the whole wait", 8000, std::nullopt, S::Swallowed},
  };
  for (const Row& r : rows) EXPECT_EQ(TcpEchoStep(r.waitedMs, r.info), r.step) << r.name;
  EXPECT_EQ(TcpSegments(371, 1448), 1);
  EXPECT_EQ(TcpSegments(401, 200), 3);
}

}  // namespace
