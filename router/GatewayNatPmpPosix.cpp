// The NAT-PMP question through libnatpmp, on a socket of the run's local address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "router/GatewayAsk.h"

namespace {

// The library connects a socket of any local address to the router; this one is bound first.
int BoundSocket(const std::string& localIp, in_addr gateway) {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(NATPMP_PORT);
  to.sin_addr = gateway;
  const int flags = ::fcntl(s, F_GETFL, 0);
  if (inet_pton(AF_INET, localIp.c_str(), &local.sin_addr) == 1 &&
      ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && flags >= 0 &&
      ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 && ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
    return s;
  ::close(s);
  return -1;
}

}  // namespace

std::optional<TGatewayAnswer> AskNatPmp(const std::string& localIp, const std::string& gateway, int budgetMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(budgetMs);
  in_addr gw{};
  if (inet_pton(AF_INET, gateway.c_str(), &gw) != 1) return std::nullopt;
  natpmp_t n;
  if (initnatpmp(&n, 1, gw.s_addr) != 0) return std::nullopt;
  if (!localIp.empty() && localIp != "0.0.0.0") {
    const int s = BoundSocket(localIp, gw);
    if (s < 0) {
      closenatpmp(&n);
      return std::nullopt;
    }
    ::close(n.s);
    n.s = s;
  }
  std::optional<TGatewayAnswer> answer;
  if (sendpublicaddressrequest(&n) >= 0) {
    for (int wakes = 0; wakes < 100; ++wakes) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) break;
      timeval tv{};
      getnatpmprequesttimeout(&n, &tv);
      const int64_t resend = std::max<int64_t>(0, int64_t{tv.tv_sec} * 1000 + tv.tv_usec / 1000);
      pollfd p{n.s, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(std::min(left, resend), 1, 100)));
      natpmpresp_t r{};
      const int rc = readnatpmpresponseorretry(&n, &r);
      if (rc == NATPMP_TRYAGAIN) continue;
      if (rc == 0 && r.type == NATPMP_RESPTYPE_PUBLICADDRESS) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &r.pnu.publicaddress.addr, text, sizeof text);
        answer = TGatewayAnswer{TGatewayProtocol::NatPmp, ExternalAddressOf(text)};
      } else if (rc == NATPMP_ERR_NOTAUTHORIZED || rc == NATPMP_ERR_NETWORKFAILURE ||
                 rc == NATPMP_ERR_OUTOFRESOURCES || rc == NATPMP_ERR_UNDEFINEDERROR) {
        // The router's own result: no address to give (a router without a public one says
        // "network failure").
        answer = TGatewayAnswer{TGatewayProtocol::NatPmp, std::nullopt};
      }
      break;  // any other error: no NAT-PMP there
    }
  }
  closenatpmp(&n);
  return answer;
}
