// Route and neighbour lookups through rtnetlink.
#include "router/RouterPlatform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/UiThread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Neighbour states whose link-layer address can be used.
constexpr int kUsableStates = NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

// Longest wait for the kernel's answer to one request; it answers at once in practice.
constexpr int kReplyWaitMs = 1000;

// The whole message that starts `at` bytes into the n bytes received; null when none does.
// (What NLMSG_OK and NLMSG_NEXT do, in sizes that never mix signs.)
const nlmsghdr* MessageAt(const char* data, size_t n, size_t at) {
  if (at > n || n - at < sizeof(nlmsghdr)) return nullptr;
  const auto* h = reinterpret_cast<const nlmsghdr*>(data + at);
  if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > n - at) return nullptr;
  return h;
}

// One rtnetlink socket, closed with the object.
class NetlinkSocket {
 public:
  explicit NetlinkSocket(uint32_t groups = 0) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NetlinkSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  bool Send(nlmsghdr* msg) {
    msg->nlmsg_seq = ++seq_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (int tries = 0; tries < 3; ++tries) {
      const ssize_t n = ::sendto(fd_, msg, msg->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
      if (n == static_cast<ssize_t>(msg->nlmsg_len)) return true;
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    return false;
  }

  // Reads the replies to the last request and hands each message to `onMessage` until the
  // answer is complete. Returns 0 when it ended well, else the kernel's (positive) errno, or
  // ETIMEDOUT when no complete answer came within kReplyWaitMs.
  int Receive(const std::function<void(const nlmsghdr*)>& onMessage) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    std::vector<char> buf(32768);
    // Each datagram is at least one message: the count of reads is bounded by the deadline.
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return ETIMEDOUT;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return ETIMEDOUT;
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return errno;
      }
      for (size_t at = 0; const nlmsghdr* h = MessageAt(buf.data(), static_cast<size_t>(n), at);
           at += NLMSG_ALIGN(h->nlmsg_len)) {
        if (h->nlmsg_seq != seq_) continue;  // a stale answer to an earlier request
        if (h->nlmsg_type == NLMSG_DONE) return 0;
        if (h->nlmsg_type == NLMSG_ERROR) {
          if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
          return -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        }
        onMessage(h);
        if (!(h->nlmsg_flags & NLM_F_MULTI)) return 0;
      }
    }
  }

 private:
  int fd_ = -1;
  uint32_t seq_ = 0;
};

// A request: header, family message, then attributes.
template <typename Body>
struct Request {
  nlmsghdr header;
  Body body;
  char attributes[64];
};

template <typename Body>
void AddAttribute(Request<Body>& req, unsigned short type, const void* data, unsigned short len) {
  auto* attr = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&req) + NLMSG_ALIGN(req.header.nlmsg_len));
  attr->rta_type = type;
  attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
  std::memcpy(RTA_DATA(attr), data, len);
  req.header.nlmsg_len = NLMSG_ALIGN(req.header.nlmsg_len) + RTA_ALIGN(attr->rta_len);
}

// Calls `onAttribute` for each attribute that follows a family message of type Body.
template <typename Body>
void ForEachAttribute(const nlmsghdr* h, const std::function<void(const rtattr*)>& onAttribute) {
  if (h->nlmsg_len < NLMSG_LENGTH(sizeof(Body))) return;
  int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(Body)));
  auto* attr = reinterpret_cast<const rtattr*>(static_cast<const char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(sizeof(Body)));
  for (; RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) onAttribute(attr);
}

// The route the kernel would use towards `destination`: its gateway (0 without one) and its
// output interface. False when there is no route.
bool LookupRoute(uint32_t destination, uint32_t& gateway, int& interfaceIndex) {
  gateway = 0;
  interfaceIndex = 0;
  NetlinkSocket nl;
  if (!nl.Ok()) return false;
  Request<rtmsg> req{};
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  req.header.nlmsg_type = RTM_GETROUTE;
  req.header.nlmsg_flags = NLM_F_REQUEST;
  req.body.rtm_family = AF_INET;
  req.body.rtm_dst_len = 32;
  AddAttribute(req, RTA_DST, &destination, 4);
  if (!nl.Send(&req.header)) return false;
  bool found = false;
  const int err = nl.Receive([&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE) return;
    found = true;
    ForEachAttribute<rtmsg>(h, [&](const rtattr* a) {
      if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) == 4) std::memcpy(&gateway, RTA_DATA(a), 4);
      if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) == 4) std::memcpy(&interfaceIndex, RTA_DATA(a), 4);
    });
  });
  return err == 0 && found;
}

// A usable hardware address of `address` on interface `interfaceIndex` from the neighbour
// table: an entry in a valid state with a 6-byte link-layer address.
bool LookupNeighbourTable(uint32_t address, int interfaceIndex, std::array<uint8_t, 6>& mac) {
  NetlinkSocket nl;
  if (!nl.Ok()) return false;
  Request<ndmsg> req{};
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
  req.header.nlmsg_type = RTM_GETNEIGH;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.body.ndm_family = AF_INET;
  if (!nl.Send(&req.header)) return false;
  bool found = false;
  nl.Receive([&](const nlmsghdr* h) {
    if (found || h->nlmsg_type != RTM_NEWNEIGH || h->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) return;
    const auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(h));
    if (nd->ndm_family != AF_INET || !(nd->ndm_state & kUsableStates)) return;
    if (interfaceIndex != 0 && nd->ndm_ifindex != interfaceIndex) return;
    bool sameAddress = false;
    const rtattr* lladdr = nullptr;
    ForEachAttribute<ndmsg>(h, [&](const rtattr* a) {
      if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) sameAddress = std::memcmp(RTA_DATA(a), &address, 4) == 0;
      if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) lladdr = a;
    });
    if (sameAddress && lladdr) {
      std::memcpy(mac.data(), RTA_DATA(lladdr), 6);
      found = true;
    }
  });
  return found;
}

// Asks the kernel to resolve `address` on `interfaceIndex` as if traffic were waiting for it
// (it sends ARP requests; nothing is sent to the neighbour itself). Needs CAP_NET_ADMIN; false
// when the kernel refused.
bool RequestResolution(uint32_t address, int interfaceIndex) {
  NetlinkSocket nl;
  if (!nl.Ok()) return false;
  Request<ndmsg> req{};
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
  req.header.nlmsg_type = RTM_NEWNEIGH;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_ACK;
  req.body.ndm_family = AF_INET;
  req.body.ndm_ifindex = interfaceIndex;
  req.body.ndm_state = NUD_NONE;
  req.body.ndm_flags = NTF_USE;
  AddAttribute(req, NDA_DST, &address, 4);
  if (!nl.Send(&req.header)) return false;
  return nl.Receive([](const nlmsghdr*) {}) == 0;
}

}  // namespace

uint32_t PlatformBestRouteNextHop(uint32_t destination) {
  uint32_t gateway = 0;
  int interfaceIndex = 0;
  if (!LookupRoute(destination, gateway, interfaceIndex)) return 0;
  return gateway;
}

void PlatformNeighbourHardwareAddress(uint32_t address, std::array<uint8_t, 6>& mac, int waitMs) {
  if (address == 0) return;
  // The interface the neighbour is reached through.
  uint32_t gateway = 0;
  int interfaceIndex = 0;
  if (!LookupRoute(address, gateway, interfaceIndex)) return;
  if (LookupNeighbourTable(address, interfaceIndex, mac)) return;

  // Watch neighbour changes from before the request, so an answer that comes quickly is not
  // missed between the request and the first look.
  NetlinkSocket events(RTMGRP_NEIGH);
  if (!RequestResolution(address, interfaceIndex)) return;  // no right to: the table is all there is
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  std::vector<char> drain(16384);
  // Each pass waits up to 25 ms or until the table changed; the deadline ends the loop. On the
  // user-interface thread the window is kept alive between passes.
  TUiThread* ui = TUiThread::WaitingUi();
  for (;;) {
    if (LookupNeighbourTable(address, interfaceIndex, mac)) return;
    if (ui) ui->KeepAlive();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    const int slice = static_cast<int>(std::min<int64_t>(left, TUiThread::kKeepAliveMs));
    if (events.Ok()) {
      pollfd p{events.Fd(), POLLIN, 0};
      if (::poll(&p, 1, slice) > 0) {
        for (int reads = 0; reads < 64; ++reads)
          if (::recv(events.Fd(), drain.data(), drain.size(), MSG_DONTWAIT) <= 0) break;
      }
    } else {
      ::poll(nullptr, 0, slice);
    }
  }
}
