// The socket layer on POSIX systems (Linux).
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "net/IdStack.h"

namespace {

thread_local int t_lastError = 0;
int g_libraryStarts = 0;

int MapErrno(int e) {
  switch (e) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: case EPIPE: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return e;
  }
}

// Records the calling thread's socket error after a failed call; returns -1.
int Fail() {
  t_lastError = MapErrno(errno);
  return -1;
}

// Records a socket error of our own (Windows numbering) for the calling thread; returns -1.
int FailWith(int code) {
  t_lastError = code;
  return -1;
}

// Whether the empty address text stands for any address (binding) or is no address at all
// (a destination).
enum class TEmptyAddress { Any, Invalid };

// Builds an IPv4 socket address. A port outside 0..65535 gives false (it must not wrap round to
// another port); text that is not IPv4 raises EIdInvalidIPAddress.
bool MakeAddr(const std::string& ip, int port, sockaddr_in& sa, TEmptyAddress empty = TEmptyAddress::Invalid) {
  std::memset(&sa, 0, sizeof sa);
  if (port < 0 || port > 65535) return false;
  sa.sin_family = AF_INET;
  sa.sin_port = TIdStack::HostToNet16(static_cast<uint16_t>(port));
  if (!ip.empty() || empty == TEmptyAddress::Invalid) {
    TIdInAddr a = TIdStack::TextToAddress(ip);
    std::memcpy(&sa.sin_addr, a.b, 4);
  }
  return true;
}

void FromAddr(const sockaddr_in& sa, std::string& ip, int& port) {
  TIdInAddr a;
  std::memcpy(a.b, &sa.sin_addr, 4);
  ip = TIdStack::AddressToText(a);
  port = TIdStack::NetToHost16(sa.sin_port);
}

class TIdStackPosix final : public TIdStack {
 public:
  void RefreshLocalAddresses() override {
    LocalAddressList.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
      t_lastError = MapErrno(errno);
      CheckResult(-1);
    }
    std::vector<std::string> loopback;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
      if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
      if (!(it->ifa_flags & IFF_UP)) continue;
      std::string ip;
      int port = 0;
      FromAddr(*reinterpret_cast<const sockaddr_in*>(it->ifa_addr), ip, port);
      (it->ifa_flags & IFF_LOOPBACK ? loopback : LocalAddressList).push_back(ip);
    }
    freeifaddrs(list);
    LocalAddressList.insert(LocalAddressList.end(), loopback.begin(), loopback.end());
  }

  TIdStackSocketHandle SockCreate(int family, int type, int protocol) override {
    (void)family;
    int t = type == Id_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM;
    int s = ::socket(AF_INET, t | SOCK_CLOEXEC, protocol);
    return s < 0 ? Fail() : s;
  }

  int SockBind(TIdStackSocketHandle s, int, int port, const std::string& ip) override {
    sockaddr_in sa;
    if (!MakeAddr(ip, port, sa, TEmptyAddress::Any)) return FailWith(IdErr::EINVAL_);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ? Fail() : 0;
  }

  int SockConnect(TIdStackSocketHandle s, int, int port, const std::string& ip) override {
    sockaddr_in sa;
    if (!MakeAddr(ip, port, sa)) return FailWith(IdErr::EINVAL_);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
    if (errno != EINTR) return Fail();
    // An interrupted connect goes on in the background; calling connect() again would only
    // report EALREADY. Wait for it to finish and take its outcome instead.
    for (;;) {
      pollfd p{s, POLLOUT, 0};
      const int r = ::poll(&p, 1, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Fail();
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return Fail();
      if (err == 0) return 0;
      errno = err;
      return Fail();
    }
  }

  int SockConnectCancellable(TIdStackSocketHandle s, int port, const std::string& ip,
                             const std::atomic<bool>* cancelled) override {
    sockaddr_in sa;
    if (!MakeAddr(ip, port, sa)) return FailWith(IdErr::EINVAL_);
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return Fail();
    int result = 0;
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
      if (errno != EINPROGRESS && errno != EINTR) {
        result = Fail();
      } else {
        result = -1;
        t_lastError = 10004;  // cancelled unless the wait below ends otherwise
        while (!(cancelled && cancelled->load())) {
          pollfd p{s, POLLOUT, 0};
          int r = ::poll(&p, 1, 25);
          if (r < 0 && errno != EINTR) { result = Fail(); break; }
          if (r <= 0) continue;
          int err = 0;
          socklen_t len = sizeof err;
          if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) { result = Fail(); break; }
          if (err == 0) { result = 0; break; }
          errno = err;
          result = Fail();
          break;
        }
      }
    }
    if (::fcntl(s, F_SETFL, flags) < 0 && result == 0) return Fail();
    return result;
  }

  int SockClose(TIdStackSocketHandle s) override { return ::close(s) < 0 ? Fail() : 0; }

  int SockShutdown(TIdStackSocketHandle s, TIdShutdownHow how) override {
    int h = how == TIdShutdownHow::Receive ? SHUT_RD : how == TIdShutdownHow::Send ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(s, h) < 0 ? Fail() : 0;
  }

  int SockSend(TIdStackSocketHandle s, const void* buf, int len, int flags) override {
    ssize_t r;
    do r = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : static_cast<int>(r);
  }

  int SockRecv(TIdStackSocketHandle s, void* buf, int len, int flags) override {
    ssize_t r;
    do r = ::recv(s, buf, static_cast<size_t>(len), flags);
    while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : static_cast<int>(r);
  }

  int SockSendTo(TIdStackSocketHandle s, const void* buf, int len, int flags, const std::string& ip,
                 int port) override {
    sockaddr_in sa;
    if (len < 0 || !MakeAddr(ip, port, sa)) return FailWith(IdErr::EINVAL_);
    ssize_t r;
    do r = ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                    reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : static_cast<int>(r);
  }

  int SockRecvFrom(TIdStackSocketHandle s, void* buf, int len, int flags, std::string& fromIp,
                   int& fromPort) override {
    if (len < 0) return FailWith(IdErr::EINVAL_);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    socklen_t salen = sizeof sa;
    // MSG_TRUNC makes the kernel report the datagram's real length, so a cut is detected.
    ssize_t r;
    do r = ::recvfrom(s, buf, static_cast<size_t>(len), flags | MSG_TRUNC,
                      reinterpret_cast<sockaddr*>(&sa), &salen);
    while (r < 0 && errno == EINTR);
    if (r < 0) return Fail();
    FromAddr(sa, fromIp, fromPort);
    if (r > len) {
      t_lastError = 10040;
      return -1;
    }
    return static_cast<int>(r);
  }

  int SockSetOption(TIdStackSocketHandle s, TIdSocketOption opt, int value) override {
    int level = SOL_SOCKET, name = 0;
    switch (opt) {
      case TIdSocketOption::Broadcast: name = SO_BROADCAST; break;
      case TIdSocketOption::TcpNoDelay: level = IPPROTO_TCP; name = TCP_NODELAY; break;
      case TIdSocketOption::ReuseAddress: name = SO_REUSEADDR; break;
      case TIdSocketOption::ReceiveBuffer: name = SO_RCVBUF; break;
      case TIdSocketOption::SendBuffer: name = SO_SNDBUF; break;
    }
    return ::setsockopt(s, level, name, &value, sizeof value) < 0 ? Fail() : 0;
  }

  int SockSelect(std::vector<TIdStackSocketHandle>* readList, std::vector<TIdStackSocketHandle>* writeList,
                 std::vector<TIdStackSocketHandle>* errorList, int timeoutMs) override {
    std::vector<TIdStackSocketHandle>* lists[3] = {readList, writeList, errorList};
    for (auto* l : lists)
      if (l && l->size() > 64) throw EIdStackSetSizeExceeded();
    // poll() instead of select(): descriptors above FD_SETSIZE stay safe.
    std::vector<pollfd> fds;
    std::vector<std::pair<int, size_t>> owner;  // (list, index)
    const short events[3] = {POLLIN, POLLOUT, POLLPRI};
    for (int l = 0; l < 3; ++l) {
      if (!lists[l]) continue;
      for (size_t i = 0; i < lists[l]->size(); ++i) {
        fds.push_back(pollfd{(*lists[l])[i], events[l], 0});
        owner.emplace_back(l, i);
      }
    }
    // A signal must not cut the wait short (a read would take it for a time-out): wait again
    // for what is left of the limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    int r;
    while ((r = ::poll(fds.data(), fds.size(), wait)) < 0 && errno == EINTR) {
      if (timeoutMs < 0) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    if (r < 0) Fail();
    std::vector<TIdStackSocketHandle> ready[3];
    for (size_t k = 0; k < fds.size(); ++k) {
      const auto [l, i] = owner[k];
      const short got = fds[k].revents;
      bool hit = false;
      if (l == 0) hit = got & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
      if (l == 1) hit = got & (POLLOUT | POLLHUP | POLLERR | POLLNVAL);
      if (l == 2) hit = got & (POLLPRI | POLLERR);
      if (hit) ready[l].push_back((*lists[l])[i]);
    }
    for (int l = 0; l < 3; ++l)
      if (lists[l]) *lists[l] = std::move(ready[l]);
    return r < 0 ? -1 : r;
  }

  bool SockTcpSendInfo(TIdStackSocketHandle s, TIdTcpSendInfo& info) override {
#ifdef __linux__
    tcp_info t{};
    socklen_t len = sizeof t;
    int queued = 0;  // the send queue: bytes written that the other end has not acknowledged
    if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &t, &len) < 0 || len < sizeof t || ::ioctl(s, SIOCOUTQ, &queued) < 0)
      return false;
    info.UnackedBytes = queued;
    info.MsSinceLastAck = static_cast<int>(t.tcpi_last_ack_recv);
    info.Mss = static_cast<int>(t.tcpi_snd_mss);
    info.Retransmits = static_cast<int>(t.tcpi_total_retrans);
    return true;
#else
    (void)s;
    (void)info;
    return false;
#endif
  }

  void LocalAddress(TIdStackSocketHandle s, std::string& ip, int& port) override {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    CheckResult(::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) < 0 ? Fail() : 0);
    FromAddr(sa, ip, port);
  }

  void PeerAddress(TIdStackSocketHandle s, std::string& ip, int& port) override {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    CheckResult(::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) < 0 ? Fail() : 0);
    FromAddr(sa, ip, port);
  }

  std::string HostName() override {
    char buf[251] = {};
    if (::gethostname(buf, 250) < 0) CheckResult(Fail());
    return std::string(buf);
  }

  std::string HostByName(const std::string& name) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
      switch (rc) {
        case EAI_AGAIN: t_lastError = IdErr::TRY_AGAIN_; break;
        case EAI_FAIL: t_lastError = IdErr::NO_RECOVERY_; break;
        case EAI_MEMORY: t_lastError = IdErr::ENOBUFS_; break;
        case EAI_SYSTEM: t_lastError = MapErrno(errno); break;
#ifdef EAI_NODATA
        case EAI_NODATA: t_lastError = IdErr::HOST_NOT_FOUND_; break;
#endif
        default: t_lastError = IdErr::HOST_NOT_FOUND_; break;
      }
      if (res) ::freeaddrinfo(res);
      CheckResult(-1);
    }
    std::string ip;
    int port = 0;
    FromAddr(*reinterpret_cast<const sockaddr_in*>(res->ai_addr), ip, port);
    ::freeaddrinfo(res);
    return ip;
  }

  int LastSocketError() override { return t_lastError; }
};

}  // namespace

TIdStack* CreatePlatformStack() { return new TIdStackPosix(); }

void StartPlatformSocketLibrary() {
  // Nothing to load on POSIX; a write to a closed peer must fail, not kill the process.
  if (g_libraryStarts == 0) {
    std::signal(SIGPIPE, SIG_IGN);
    g_libraryStarts = 1;
  }
}

void CleanupPlatformSocketLibrary() {}

int SocketLibraryStartCount() { return g_libraryStarts; }

void IdStackFinalize() { CleanupPlatformSocketLibrary(); }
