#pragma once
// The test call: from the RTP socket, RTP as a G.711 phone sends it (50 packets a second) to the
// server's RTP port for the planned seconds, on a thread of its own; what the server sends back
// to where it came from is taken on the socket's receive thread, timed as it arrives. The
// server's report of what it received comes over the control connection and completes the
// result (CallQuality.h).
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "probes/CallQuality.h"
#include "proto/CallReceiver.h"
#include "proto/CallWire.h"

// The call's length: what the user asked for, within what the server takes.
int CallSeconds(int asked, const std::optional<call_wire::TPlan>& plan);

class TBackgroundCall {
 public:
  // One datagram to the server's RTP port from the RTP socket; may throw.
  using TSend = std::function<void(const std::string& bytes)>;

  TBackgroundCall() = default;
  ~TBackgroundCall();
  TBackgroundCall(const TBackgroundCall&) = delete;
  TBackgroundCall& operator=(const TBackgroundCall&) = delete;

  // A new call of `seconds` (a call before is ended and forgotten); packets from serverAddress
  // with the token are its own from now on.
  void Start(TSend send, const std::string& serverAddress, const std::string& token, int seconds);
  // Ends the sending now (joined); what came stays.
  void Stop();
  // Stops and forgets the call: none has started, none is taken.
  void Reset();
  // A datagram on the RTP socket, on its receive thread: true when it is the call's (then only
  // the call takes it). arrivalUs: SteadyUs() when it came.
  bool Take(std::string_view datagram, const std::string& fromIp, int64_t arrivalUs);

  bool Started() const { return started_; }
  // The sending is over (the planned time, a failed send, or Stop); when, on the SteadyUs clock.
  bool SendingDone() const { return sendingDone_; }
  int64_t SendingEndedUs() const { return sendingEndedUs_; }
  int Sent() const { return sent_; }
  int ReceivedSoFar() const;
  int Seconds() const { return seconds_; }

  // The result: the server's report as it came (nullopt: none; unreadable: one came that does
  // not read), checked against what this computer sent and received.
  struct TEnd {
    std::optional<call_wire::TReport> Report;
    bool Unreadable = false;
    bool Stopped = false;  // the user stopped the run
    bool Whole = false;    // every packet went out and the wait for the report passed
    int Port = 0;          // the local RTP port
    bool BurstCame = false;
  };
  TCallResult Result(const TEnd& end) const;

 private:
  void Send(TSend send, int seconds);

  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> sendingDone_{false};
  std::atomic<int64_t> sendingEndedUs_{0};
  std::atomic<int> sent_{0};
  int seconds_ = 0;
  mutable std::mutex lock_;  // what the receive thread fills in
  std::string server_;
  std::string token_;
  bool taking_ = false;
  call_wire::TStreamReceiver down_;
  std::vector<double> rttMs_;
};

int64_t SteadyUs();

// A call that was due but never began (the run ended or was stopped first), or one the server
// does not offer.
TCallResult CallNotBegun(TCallNotTested why, int seconds, int port);
