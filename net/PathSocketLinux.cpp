// The path socket on Linux: IP_TTL on each datagram, and the ICMP answers read from the socket's
// error queue (IP_RECVERR, MSG_ERRQUEUE), which needs no rights of its own.
#include "net/PathSocket.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr uint8_t kIcmpUnreachable = 3, kIcmpTimeExceeded = 11;

std::string Text(const in_addr& a) {
  char buf[INET_ADDRSTRLEN] = "";
  return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

class TPathSocketLinux : public TPathSocket {
 public:
  explicit TPathSocketLinux(int fd) : fd_(fd) {}
  ~TPathSocketLinux() override { ::close(fd_); }
  TPathSocketLinux(const TPathSocketLinux&) = delete;
  TPathSocketLinux& operator=(const TPathSocketLinux&) = delete;

  bool Send(const std::string& address, uint16_t port, int ttl, const std::string& bytes) override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
    if (::setsockopt(fd_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) return false;
    // An answer not read yet is also reported by the next send, once: that send is made again.
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::sendto(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0)
        return true;
      if (errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH && errno != EHOSTDOWN) break;
    }
    return false;
  }

  std::optional<TPathAnswer> Receive(int timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (int wakes = 0; wakes < 1000; ++wakes) {
      if (auto a = ReadError()) return a;
      DropData();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN | POLLERR, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return std::nullopt;
    }
    return std::nullopt;
  }

 private:
  // The next ICMP answer waiting in the error queue, skipping errors of other origins.
  std::optional<TPathAnswer> ReadError() {
    for (int i = 0; i < 64; ++i) {
      char data[512];
      alignas(cmsghdr) char control[512];
      sockaddr_in to{};
      iovec iov{data, sizeof data};
      msghdr m{};
      m.msg_name = &to;
      m.msg_namelen = sizeof to;
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      if (::recvmsg(fd_, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return std::nullopt;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err e;
        std::memcpy(&e, CMSG_DATA(c), sizeof e);
        if (e.ee_origin != SO_EE_ORIGIN_ICMP) continue;
        if (e.ee_type != kIcmpTimeExceeded && e.ee_type != kIcmpUnreachable) continue;
        sockaddr_in from;
        std::memcpy(&from, reinterpret_cast<const char*>(CMSG_DATA(c)) + sizeof e, sizeof from);
        TPathAnswer a;
        a.Kind = e.ee_type == kIcmpTimeExceeded ? TPathAnswer::TKind::TimeExceeded : TPathAnswer::TKind::Unreachable;
        a.From = Text(from.sin_addr);
        a.To = Text(to.sin_addr);
        a.ToPort = ntohs(to.sin_port);
        return a;
      }
    }
    return std::nullopt;
  }

  // Datagrams that someone sent to the socket's port: not answers.
  void DropData() {
    char buf[2048];
    for (int i = 0; i < 64 && ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0; ++i) {
    }
  }

  int fd_;
};

}  // namespace

std::unique_ptr<TPathSocket> OpenPathSocket(const std::string& localIp) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  auto s = std::make_unique<TPathSocketLinux>(fd);
  const int on = 1;
  if (::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) return nullptr;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!localIp.empty() && localIp != "0.0.0.0" && inet_pton(AF_INET, localIp.c_str(), &local.sin_addr) != 1)
    return nullptr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return nullptr;
  return s;
}
