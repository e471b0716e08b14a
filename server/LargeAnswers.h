#pragma once
// The large answers a session may have (proto/LargeSipWire.h), as plain code: each goes only to a
// source that the session's own SIP datagrams with its token came from on that server port, at
// most kAnswersPerPort sizes per port, each size once, and none larger than the largest message
// of the session that reached the port (by UDP or over TCP), give or take kPaySlack: what the
// tester's large probes paid for.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <deque>
#include <utility>
#include <vector>

class TLargeAnswers {
 public:
  static constexpr size_t kAnswersPerPort = 2;
  static constexpr size_t kSourcesPerPort = 4;  // the latest: the tester's sockets, a mapping renewed

  // A SIP datagram with the session's token, from the session's own address, reached `port`.
  void OnDatagram(uint16_t port, uint32_t address, uint16_t sourcePort, size_t bytes);
  // A SIP message over TCP with the session's token, from the session's own address.
  void OnTcpMessage(uint16_t port, size_t bytes);
  // A request from address:sourcePort on `port` for answers of `sizes`: those to send now.
  std::vector<int> Grant(uint16_t port, uint32_t address, uint16_t sourcePort, const std::vector<int>& sizes);
  // Answers granted so far, all ports.
  size_t Granted() const;

 private:
  struct TPort {
    size_t Largest = 0;
    std::deque<std::pair<uint32_t, uint16_t>> Sources;
    std::set<int> Sent;
  };
  std::map<uint16_t, TPort> ports_;
};
