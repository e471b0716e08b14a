#pragma once
// The NAT time-out test: mappings of its own, tested in parallel beside the rest of the run.
// From the token on, one UDP socket per mapping on the run's local address talks to the
// server's port for the test (one that no SIP ALG watches; an older server's SIP port) as a
// phone's keep-alive would: for each idle time the server announced, a new mapping (one quick
// exchange, as after a registration) and a busy one (answered exchanges spread over more than
// 2 s, as during a call), and one busy mapping that only the server keeps talking to. The
// server sends each idle mapping its datagram after its idle time; what comes back decides
// (NatTimeoutDecision.h). Runs on a thread of its own; ended with the object.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/StunSockets.h"
#include "probes/NatTimeoutDecision.h"
#include "proto/NatTimeoutWire.h"

// New mappings are opened at most this often (a NAT may limit how fast they may come).
inline constexpr int kNewMappingGapMs = 100;

// How large the requests are: each pays for what the server sends back (twice its bytes at the
// most); 0: unpadded, for an older server.
struct TTimeoutRequestSizes {
  size_t Idle = 0, Refresh = 0;
  size_t Reply = 0;  // the largest reply of the token's
};
TTimeoutRequestSizes TimeoutRequestSizes(const nat_timeout::TPlan& plan, const std::string& token);
// The refresh datagrams the server owes a refresh mapping whose answered requests carried
// answeredBytes, of `requests` sent: what it announced, at most.
int RefreshPaidFor(const nat_timeout::TPlan& plan, size_t answeredBytes, int requests, size_t replyBytes);

// A busy warm-up holds once answers came both ways over more than kBusySpanMs: two answered
// exchanges whose requests went that far apart. With lastAnswered (while requests are left),
// the last request must be answered too, so that the server's silence starts where this side's
// does. sentAtMs and answered: per request, in order.
inline constexpr int kBusySpanMs = 2000;
bool BusyWarmUpHeld(const std::vector<int64_t>& sentAtMs, const std::vector<bool>& answered, bool lastAnswered);

struct TNatTimeoutProgress {
  bool Started = false;
  bool Done = false;     // the answer is known (or the test was ended)
  int64_t EndsByMs = 0;  // the latest it will end, on the steady clock in ms
  TNatTimeoutResult Result;
};

// Runs the test on the sockets given (one per mapping: 1 + 2 x the plan's idle times) until its
// answer is known or cancel is set (seen within a tenth of a second). progress is called after
// every change. now: a steady clock in ms.
void RunNatTimeoutTest(TStunSockets& sockets, const stun::TEndpoint& server, const std::string& token,
                       const nat_timeout::TPlan& plan, const std::atomic<bool>* cancel,
                       const std::function<int64_t()>& now, const std::function<void(const TTimeoutState&)>& progress);

class TBackgroundNatTimeout {
 public:
  TBackgroundNatTimeout() = default;
  ~TBackgroundNatTimeout();
  TBackgroundNatTimeout(const TBackgroundNatTimeout&) = delete;
  TBackgroundNatTimeout& operator=(const TBackgroundNatTimeout&) = delete;

  // From localIp to serverAddress (dotted) at the port the token announces, or sipPort where it
  // announces none (an older server), following its plan; does nothing when the token
  // announces no test.
  void Start(const std::string& localIp, const std::string& serverAddress, uint16_t sipPort, const std::string& token);
  // Ends the test now (joined): what was found so far stays.
  void Stop();
  TNatTimeoutProgress Progress() const;

 private:
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  mutable std::mutex lock_;
  TNatTimeoutProgress progress_;  // under lock_
};

int64_t SteadyMs();
