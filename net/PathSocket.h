#pragma once
// A UDP socket for looking at the path towards a host: its datagrams leave with a chosen time to
// live, and the ICMP answers they bring back (time exceeded from a router on the way, port
// unreachable from the host itself) are read without special rights. Implemented per platform
// (PathSocketLinux.cpp).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// An ICMP answer to one of the socket's datagrams.
struct TPathAnswer {
  enum class TKind {
    TimeExceeded,  // a router on the way dropped it when its time to live ran out
    Unreachable,   // it could not be delivered: from the host itself, its port is closed
  };
  TKind Kind = TKind::TimeExceeded;
  std::string From;     // who sent the answer
  std::string To;       // where the datagram it answers went
  uint16_t ToPort = 0;  // and to which port
};

class TPathSocket {
 public:
  virtual ~TPathSocket() = default;
  // One datagram to address:port that lives for ttl hops; false when it could not be sent.
  virtual bool Send(const std::string& address, uint16_t port, int ttl, const std::string& bytes) = 0;
  // The next answer within timeoutMs (anything else that arrives is dropped); nullopt when none
  // came.
  virtual std::optional<TPathAnswer> Receive(int timeoutMs) = 0;
};

// A socket bound to localIp ("" or "0.0.0.0": any local address) on a port the system picks;
// nullptr where the system offers none.
std::unique_ptr<TPathSocket> OpenPathSocket(const std::string& localIp);
