#include "probes/TcpCheckPolicy.h"

int TcpConnectWaitMs(int tries, bool lastTimedOut, bool portTimedOutBefore) {
  if (tries == 0) return kTcpConnectWaitMs;
  if (!lastTimedOut || portTimedOutBefore || tries >= kTcpConnectTries) return 0;
  return kTcpConnectWaitMs;
}

TTcpEchoStep TcpEchoStep(int waitedMs, const std::optional<TIdTcpSendInfo>& info) {
  if (waitedMs < kTcpEchoWaitMs) return TTcpEchoStep::Wait;
  if (!info) return waitedMs >= kTcpResendWaitMs ? TTcpEchoStep::Swallowed : TTcpEchoStep::Wait;
  if (info->UnackedBytes > 0) return waitedMs >= kTcpResendWaitMs ? TTcpEchoStep::Lost : TTcpEchoStep::Wait;
  // Everything acknowledged: the echo follows within moments of the last acknowledgement.
  if (info->MsSinceLastAck >= kTcpEchoAfterAckMs || waitedMs >= kTcpResendWaitMs + kTcpEchoAfterAckMs)
    return TTcpEchoStep::Swallowed;
  return TTcpEchoStep::Wait;
}

int TcpSegments(int bytes, int mss) {
  if (mss <= 0 || bytes <= 0) return 1;
  return (bytes + mss - 1) / mss;
}
