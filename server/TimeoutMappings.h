#pragma once
// One session's mappings of the NAT time-out test, as plain code: which requests it takes, what
// is due to whom and when, and what it may cost. The session sends what it is handed and arms
// one timer for the next due time.
//
// What a session's test may cost: the mappings its plan has room for (one per kind and idle
// time, and one refresh mapping), each at most kTimeoutRequestsPerMapping requests within
// kTimeoutWarmUpMs of its first and none after its first datagram past the answers went out (no
// request can put the session's end off). A mapping's datagrams go only to the address and port
// of its first request, from the server port that request reached, never larger than its
// smallest request, and never more bytes than kPayFactor times what its requests carried: a
// forged source draws at most twice its own bytes, to an address of the session's own.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proto/NatTimeoutWire.h"
#include "server/ServerPlatform.h"
#include "server/SessionPolicy.h"

constexpr int kTimeoutRequestsPerMapping = 6;
constexpr int kTimeoutWarmUpMs = 10000;

// One datagram to send now.
struct TTimeoutSend {
  std::string Text;
  TUdpPeer To;
  uint32_t Local = 0;       // the address the mapping's requests reached: it leaves from there
  uint16_t ServerPort = 0;  // and from this port
};

class TTimeoutMappings {
 public:
  // idleSecs (rising) outlives the object; empty: no test, every request is refused.
  TTimeoutMappings(const std::vector<int>& idleSecs, int refreshSecs) : idle_(&idleSecs), refreshSecs_(refreshSecs) {}

  // A request of `size` bytes from `from`, to local:serverPort. mayOpen: a mapping not seen
  // before may be opened. The answer to send, or nothing when the request is not taken.
  std::optional<TTimeoutSend> Take(const nat_timeout::TRequest& r, size_t size, const TUdpPeer& from, uint32_t local,
                                   uint16_t serverPort, bool mayOpen, TServerTime now);
  // The earliest time a datagram is due; nothing when none is.
  std::optional<TServerTime> NextDue() const;
  // The datagrams due by now, each within its mapping's credit (one it cannot pay for is
  // skipped).
  std::vector<TTimeoutSend> TakeDue(const std::string& token, TServerTime now);
  // When the last datagram of the test is due as far as known now (the session lives till then).
  std::optional<TServerTime> LastDue() const;
  bool AllFinished() const;
  size_t Size() const { return maps_.size(); }

 private:
  struct TMapping {
    TServerTime First, LastIn, NextDue;
    uint32_t Address, Local;
    uint32_t Credit;  // bytes it has paid for and not been sent
    uint16_t Port, ServerPort, Smallest, IdleSecs;
    int16_t Number;
    uint8_t Kind, Requests, Sent;  // Sent: datagrams past the answers
    bool Finished;
  };
  static_assert(nat_timeout::kMaxRequestBytes <= UINT16_MAX);
  TServerTime LastDueOf(const TMapping& m) const;
  std::optional<TTimeoutSend> Spend(TMapping& m, const nat_timeout::TReply& reply);
  int RefreshDatagrams() const;

  const std::vector<int>* idle_;
  int refreshSecs_;
  std::vector<TMapping> maps_;
};
