#pragma once
// A plain-socket link that bounds a whole transfer, not only each wait: reads give up when
// fewer than MinBytes arrived within a span of WindowMs, or once TotalMs have passed since the
// link was made. A server that trickles its answer, a byte now and then, cannot hold the
// caller for longer than that.
#include <chrono>
#include <cstdint>

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

// Each above 0.
struct TIdTransferLimits {
  int64_t MinBytes = 1000;  // fewer bytes than this ...
  int WindowMs = 30000;     // ... within this span end the transfer
  int TotalMs = 180000;     // and no transfer goes on for longer than this
};

// The transfer fell below its floor or ran past its end.
class EIdTransferLimit : public EIdReadTimeout {
 public:
  using EIdReadTimeout::EIdReadTimeout;
};

class TIdIOHandlerLimited : public TIdIOHandlerSocket {
 public:
  explicit TIdIOHandlerLimited(const TIdTransferLimits& limits);

  // Waits as the socket does, but never past the end of the current span or of the whole
  // transfer; raises EIdTransferLimit when either has run out.
  bool LinkReadable(int timeout) override;
  int LinkReceive(void* buffer, int size) override;

 private:
  using Clock = std::chrono::steady_clock;
  // Raises when the transfer is over its time or the span that ended was below the floor;
  // starts a new span after one that met it. Returns the milliseconds left until the next check.
  int64_t Check();

  TIdTransferLimits limits_;
  Clock::time_point end_;          // of the whole transfer
  Clock::time_point windowStart_;  // of the current span
  int64_t windowBytes_ = 0;        // received within it
};
