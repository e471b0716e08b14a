#include "net/IdTransferLimit.h"

#include <algorithm>

TIdIOHandlerLimited::TIdIOHandlerLimited(const TIdTransferLimits& limits)
    : limits_(limits),
      end_(Clock::now() + std::chrono::milliseconds(limits.TotalMs)),
      windowStart_(Clock::now()) {}

int64_t TIdIOHandlerLimited::Check() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const Clock::time_point now = Clock::now();
  if (now >= end_) throw EIdTransferLimit("Transfer took longer than " + std::to_string(limits_.TotalMs) + " ms.");
  const Clock::time_point windowEnd = windowStart_ + milliseconds(limits_.WindowMs);
  if (now >= windowEnd) {
    if (windowBytes_ < limits_.MinBytes)
      throw EIdTransferLimit("Transfer too slow: " + std::to_string(windowBytes_) + " bytes in " +
                             std::to_string(limits_.WindowMs) + " ms.");
    windowStart_ = now;
    windowBytes_ = 0;
  }
  const Clock::time_point next = std::min(end_, windowStart_ + milliseconds(limits_.WindowMs));
  // Rounded up, so that a wait never ends just short of the check it waits for.
  return std::max<int64_t>(1, duration_cast<milliseconds>(next - now + milliseconds(1) - Clock::duration(1)).count());
}

bool TIdIOHandlerLimited::LinkReadable(int timeout) {
  // Each pass waits at most until the next check; the limits end the loop when nothing comes.
  for (;;) {
    const int64_t left = Check();
    if (timeout != -2 && timeout <= left) return TIdIOHandlerSocket::LinkReadable(timeout);
    if (TIdIOHandlerSocket::LinkReadable(static_cast<int>(left))) return true;
    if (timeout != -2) timeout -= static_cast<int>(left);
  }
}

int TIdIOHandlerLimited::LinkReceive(void* buffer, int size) {
  const int n = TIdIOHandlerSocket::LinkReceive(buffer, size);
  if (n > 0) windowBytes_ += n;
  return n;
}
