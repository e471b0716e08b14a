#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

namespace support {

namespace {

sockaddr_in SocketAddress(const std::string& ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  return sa;
}

std::string IpOf(const sockaddr_in& sa) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  return ip;
}

int BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

// A socket of `type` bound to ip:port; invalid (and `error` set) when it cannot be bound.
Fd Bound(int type, const std::string& ip, int port, std::string& error) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const int one = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in sa = SocketAddress(ip, port);
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    error = "cannot bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
    fd.Reset();
  }
  return fd;
}

std::chrono::milliseconds Left(Clock::time_point end) {
  return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
}

// Waits for `events` on fd until the deadline, in slices short enough to notice `stop`.
bool WaitFor(int fd, short events, Clock::time_point end, const std::function<bool()>& stop) {
  for (;;) {
    if (stop && stop()) return false;
    const auto left = Left(end);
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), stop ? 20 : left.count())));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
    if (left.count() == 0) return false;
  }
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void Fd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int Fd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               const std::function<void()>& between) {
  const auto end = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() >= end) return condition();
    if (between)
      between();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string TestAddress(int n) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!test || n < 0 || n > 15) ADD_FAILURE() << "TestAddress(" << n << ") outside a test or out of range";
  const std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "";
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  // One of 2^20 blocks of 16 addresses, past 127.0.0.x and short of 127.255.255.x.
  constexpr uint32_t kBlocks = (1u << 20) - 32;
  const uint32_t block = 16 + static_cast<uint32_t>(hash % kBlocks);
  const uint32_t address = (127u << 24) | (block << 4) | (static_cast<uint32_t>(n) & 15u);
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

std::string EscapedAddress(const std::string& address) { return std::regex_replace(address, std::regex("\\."), "\\."); }

// --- TcpListener ---

TcpListener::TcpListener(const std::string& ip, int port, int backlog) : ip_(ip) {
  fd_ = Bound(SOCK_STREAM, ip, port, error_);
  if (fd_.Valid() && ::listen(fd_.Get(), backlog) != 0) {
    error_ = "cannot listen on " + ip + ": " + std::strerror(errno);
    fd_.Reset();
  }
  if (fd_.Valid()) port_ = BoundPort(fd_.Get());
}

Fd TcpListener::Accept(std::chrono::milliseconds deadline) {
  if (!fd_.Valid() || !WaitFor(fd_.Get(), POLLIN, Clock::now() + deadline, nullptr)) return Fd();
  return Fd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// --- TcpConn ---

TcpConn TcpConn::Connect(const std::string& ip, int port, const std::string& from) {
  std::string error;
  Fd fd = from.empty() ? Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) : Bound(SOCK_STREAM, from, 0, error);
  const sockaddr_in to = SocketAddress(ip, port);
  if (fd.Valid() && ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) fd.Reset();
  return TcpConn(std::move(fd));
}

bool TcpConn::Send(const std::string& bytes, std::chrono::milliseconds deadline) {
  if (!fd_.Valid()) return false;
  const auto end = Clock::now() + deadline;
  size_t off = 0;
  while (off < bytes.size()) {
    if (!WaitFor(fd_.Get(), POLLOUT, end, stop_)) return false;
    const ssize_t n = ::send(fd_.Get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

ReadResult TcpConn::ReadSome(std::chrono::milliseconds deadline) {
  if (!fd_.Valid()) return ReadResult::Error;
  if (!WaitFor(fd_.Get(), POLLIN, Clock::now() + deadline, stop_)) return ReadResult::Timeout;
  char buf[65536];
  const ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
  if (n > 0) {
    pending_.append(buf, static_cast<size_t>(n));
    return ReadResult::Data;
  }
  if (n == 0) return ReadResult::End;
  return errno == ECONNRESET ? ReadResult::Reset : ReadResult::Error;
}

std::optional<std::string> TcpConn::ReadUntil(const std::string& terminator, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    const size_t at = pending_.find(terminator);
    if (at != std::string::npos) {
      std::string before = pending_.substr(0, at);
      pending_.erase(0, at + terminator.size());
      return before;
    }
    if (ReadSome(Left(end)) != ReadResult::Data) return std::nullopt;
  }
}

std::optional<std::string> TcpConn::ReadExactly(size_t n, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  while (pending_.size() < n)
    if (ReadSome(Left(end)) != ReadResult::Data) return std::nullopt;
  std::string out = pending_.substr(0, n);
  pending_.erase(0, n);
  return out;
}

bool TcpConn::WaitClosed(std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    switch (ReadSome(Left(end))) {
      case ReadResult::Data:
        continue;
      case ReadResult::End:
      case ReadResult::Reset:
        return true;
      default:
        return false;
    }
  }
}

void TcpConn::Reset() {
  const linger l{1, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd_.Reset();
}

// --- UdpPeer ---

UdpPeer::UdpPeer(const std::string& ip, int port) : ip_(ip) {
  fd_ = Bound(SOCK_DGRAM, ip, port, error_);
  if (fd_.Valid()) port_ = BoundPort(fd_.Get());
}

bool UdpPeer::SendTo(const std::string& ip, int port, const std::string& data) const {
  const sockaddr_in to = SocketAddress(ip, port);
  return ::sendto(fd_.Get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(data.size());
}

std::optional<Datagram> UdpPeer::Receive(std::chrono::milliseconds deadline) const {
  if (!fd_.Valid() || !WaitFor(fd_.Get(), POLLIN, Clock::now() + deadline, nullptr)) return std::nullopt;
  std::string buf(65536, '\0');
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const ssize_t n = ::recvfrom(fd_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return Datagram{std::move(buf), IpOf(from), ntohs(from.sin_port)};
}

HeldPorts::HeldPorts(const std::string& ip, const std::vector<int>& ports) {
  for (int p : ports) {
    sockets_.emplace_back(ip, p);
    ok_ = ok_ && sockets_.back().Ok();
  }
}

// --- FullBacklogListener ---

FullBacklogListener::FullBacklogListener(const std::string& ip, int port) : listener_(ip, port, 0) {
  const sockaddr_in sa = SocketAddress(ip, listener_.Port());
  // Connects until one stays pending; a few always complete first.
  for (int i = 0; listener_.Ok() && i < 16 && !full_; ++i) {
    fillers_.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (::connect(fillers_.back().Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) continue;
    pollfd p{fillers_.back().Get(), POLLOUT, 0};
    full_ = ::poll(&p, 1, 300) == 0;
  }
}

}  // namespace support
