#pragma once
// UDP sockets of the tester's own for STUN: bound to the run's local address, on ports the
// system picks, apart from the SIP and RTP sockets. A blocking receive over all of them.
#include <optional>
#include <string>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdStack.h"
#include "proto/StunMessage.h"

struct TStunDatagram {
  int Socket = 0;  // which of the sockets it reached
  std::string Bytes;
  stun::TEndpoint From;
};

// An IPv4 address text as a number in host order; raises EIdInvalidIPAddress for another text.
uint32_t StunAddressOf(const std::string& text);

class TStunSockets : public TIdComponent {
 public:
  // count sockets bound to localIp; a failure raises the socket error.
  TStunSockets(const std::string& localIp, int count);
  ~TStunSockets() override;
  // One datagram; a failure is a lost datagram, as on the wire.
  void Send(int socket, const stun::TEndpoint& to, const std::string& bytes);
  // The next datagram on any of the sockets within timeoutMs; nullopt when none came.
  std::optional<TStunDatagram> Receive(int timeoutMs);
  stun::TEndpoint Local(int socket) const { return locals_.at(static_cast<size_t>(socket)); }

 private:
  std::vector<TIdStackSocketHandle> handles_;
  std::vector<stun::TEndpoint> locals_;
};
