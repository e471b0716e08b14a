#pragma once
// The echo server's STUN side: Binding answers on the STUN port and the port after it, on the
// server's address and, when it has one, its other address, so that a tester can tell how its
// NAT maps and filters. An answer goes back to the request's source only, and every source
// address is rate-limited as on the SIP ports.
#include <asio.hpp>
#include <memory>
#include <vector>

#include "server/ServerContext.h"
#include "server/ServerPlatform.h"
#include "server/StunAnswer.h"

class TStunSide {
 public:
  explicit TStunSide(TServerContext& ctx);
  // Binds the sockets (none when the STUN port is 0); raises std::runtime_error with a clear
  // text on failure.
  void Bind(const asio::ip::address_v4& address);
  void Start();
  void Close();
  void Housekeeping(TServerClock::time_point now) { perSource_.ForgetFull(now); }
  // The STUN ports bound (empty when off).
  std::vector<uint16_t> Ports() const;

 private:
  struct TSocket {
    explicit TSocket(asio::io_context& io) : socket(io) {}
    asio::ip::udp::socket socket;
    uint32_t address = 0;  // bound to; 0: any
    uint16_t port = 0;
  };
  void Receive(TSocket& s);
  void OnDatagram(TSocket& s, std::string_view datagram, const TUdpPeer& from, uint32_t local);
  TStunPlace PlaceOf(uint32_t local, uint16_t port) const;

  TServerContext& ctx_;
  std::vector<std::unique_ptr<TSocket>> sockets_;
  uint32_t primary_ = 0;                  // the server's address (0: any)
  std::optional<uint32_t> other_;         // its other address
  uint16_t ports_[2] = {0, 0};            // the STUN port and the one after it
  std::vector<char> buffer_;
  TDatagramLimiter perSource_;
};
