#include "net/StunSockets.h"

#include <array>

uint32_t StunAddressOf(const std::string& text) {
  const TIdInAddr a = TIdStack::TextToAddress(text);
  return static_cast<uint32_t>(a.b[0]) << 24 | static_cast<uint32_t>(a.b[1]) << 16 |
         static_cast<uint32_t>(a.b[2]) << 8 | a.b[3];
}

TStunSockets::TStunSockets(const std::string& localIp, int count) {
  for (int i = 0; i < count; ++i) {
    const TIdStackSocketHandle s = SocketStack->NewSocket(Id_SOCK_DGRAM, 0);
    handles_.push_back(s);
    SocketStack->CheckResult(SocketStack->SockBind(s, Id_PF_INET, 0, localIp == "0.0.0.0" ? "" : localIp));
    std::string ip;
    int port = 0;
    SocketStack->LocalAddress(s, ip, port);
    locals_.push_back({StunAddressOf(ip), static_cast<uint16_t>(port)});
  }
}

TStunSockets::~TStunSockets() {
  for (TIdStackSocketHandle s : handles_) SocketStack->SockClose(s);
}

void TStunSockets::Send(int socket, const stun::TEndpoint& to, const std::string& bytes) {
  SocketStack->SockSendTo(handles_.at(static_cast<size_t>(socket)), bytes.data(), static_cast<int>(bytes.size()), 0,
                          stun::AddressText(to.Address), to.Port);
}

std::optional<TStunDatagram> TStunSockets::Receive(int timeoutMs) {
  std::vector<TIdStackSocketHandle> ready = handles_;
  if (SocketStack->SockSelect(&ready, nullptr, nullptr, timeoutMs < 0 ? 0 : timeoutMs) <= 0) return std::nullopt;
  for (TIdStackSocketHandle s : ready) {
    std::array<char, 2048> buffer{};
    std::string ip;
    int port = 0;
    const int n = SocketStack->SockRecvFrom(s, buffer.data(), static_cast<int>(buffer.size()), 0, ip, port);
    if (n < 0) continue;  // too long, or an error the next wait will show again
    TStunDatagram d;
    for (size_t i = 0; i < handles_.size(); ++i)
      if (handles_[i] == s) d.Socket = static_cast<int>(i);
    d.Bytes.assign(buffer.data(), static_cast<size_t>(n));
    d.From = {StunAddressOf(ip), static_cast<uint16_t>(port)};
    return d;
  }
  return std::nullopt;
}
