#pragma once
// How the checks over TCP decide on a lossy link: how often a connection is tried, and when a
// message that got no echo counts as swallowed (the far end has it), lost (TCP's own resends
// did not get it there) or still on its way. Plain decisions from what TCP says of the
// connection; the sequence asks the socket and acts.
#include <optional>

#include "net/IdStack.h"

// A connect that times out is tried again on a fresh connection: a link that loses a share of
// the packets loses SYNs too. Each try waits long enough for the system's own SYN resends after
// 1 and 3 s.
inline constexpr int kTcpConnectTries = 3;
inline constexpr int kTcpConnectWaitMs = 3500;

// How long the next try to connect may wait, or 0: no further try. `tries` have been made so
// far; `lastTimedOut`: the last of them timed out (a refusal or a missing route is an answer, not
// a loss); `portTimedOutBefore`: every try of an earlier check to the same port timed out, so
// one more try says no more.
int TcpConnectWaitMs(int tries, bool lastTimedOut, bool portTimedOutBefore);

// The wait for the echo of a message, from its write: at least kTcpEchoWaitMs; while bytes are
// unacknowledged, TCP's resends until kTcpResendWaitMs; once all are acknowledged, the echo has
// kTcpEchoAfterAckMs more.
inline constexpr int kTcpEchoWaitMs = 2000;
inline constexpr int kTcpResendWaitMs = 8000;
inline constexpr int kTcpEchoAfterAckMs = 1000;

enum class TTcpEchoStep {
  Wait,       // wait on
  Swallowed,  // the far end acknowledged every byte and no echo came: an ALG or a SIP filter
  Lost,       // bytes still unacknowledged after TCP's resends: the link lost them, no verdict
};

// What to do `waitedMs` after the write, with no echo so far; `info` is what TCP says of the
// connection (nullopt where the system cannot tell: then only the whole wait counts, as swallowed).
TTcpEchoStep TcpEchoStep(int waitedMs, const std::optional<TIdTcpSendInfo>& info);

// The segments a message of `bytes` leaves in on a connection whose segment size is `mss`.
int TcpSegments(int bytes, int mss);
