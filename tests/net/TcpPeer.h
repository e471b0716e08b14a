#pragma once
// Scripted TCP peers for the TCP client tests, on plain sockets: a listener that accepts one
// connection and then plays its script (send these bytes, wait for that, close ...) on a thread
// of its own. Every wait is bounded.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/IdSocketHandle.h"
#include "net/IdTCPClient.h"

namespace tcptest {

using Clock = std::chrono::steady_clock;
constexpr auto kWaitLimit = std::chrono::seconds(10);  // bound of every wait of a peer or test

// Polls cond every millisecond until it holds or the limit passes; returns the last result.
inline bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = kWaitLimit) {
  const auto end = Clock::now() + limit;
  while (!cond()) {
    if (Clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A socket bound to ip with a system-chosen port, listening with the given backlog.
inline int Listen(const std::string& ip, int backlog, int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    ADD_FAILURE() << "cannot listen on " << ip << ": " << std::strerror(errno);
    return -1;
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

// A free port on ip that nothing listens on (bound and closed again).
inline int UnusedPort(const std::string& ip) {
  int port = 0;
  const int fd = Listen(ip, 1, port);
  ::close(fd);
  return port;
}

// Bytes waiting in a socket's receive queue (what the client has not taken off it yet).
inline int QueuedInput(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// A listener whose accept queue is full, so that a further connect is never answered: the
// kernel drops its SYNs. Holds the connections that fill the queue.
class FullBacklogListener {
 public:
  explicit FullBacklogListener(const std::string& ip) {
    listener_ = Listen(ip, 0, port_);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    // Connect until one stays pending; a few always complete first.
    for (int i = 0; i < 16 && !full_; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      fillers_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) continue;
      pollfd p{fd, POLLOUT, 0};
      full_ = ::poll(&p, 1, 300) == 0;
    }
  }
  ~FullBacklogListener() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  int Port() const { return port_; }
  bool Full() const { return full_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

// Accepts one connection and plays a script on it.
class TcpPeer {
 public:
  explicit TcpPeer(const std::string& ip) : ip_(ip) { listener_ = Listen(ip, 4, port_); }
  ~TcpPeer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      aborted_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    if (conn_ >= 0) ::close(conn_);
    if (listener_ >= 0) ::close(listener_);
  }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  const std::string& Ip() const { return ip_; }
  int Port() const { return port_; }

  // --- script steps ---
  TcpPeer& Send(std::string bytes) {
    return Step([this, bytes] { return SendAll(bytes); });
  }
  // Waits until the client has taken everything sent so far off its socket (its descriptor is
  // given by the test with ClientSocket), so the next Send arrives in a receive of its own.
  TcpPeer& WaitTaken() {
    return Step([this] {
      return WaitUntil([this] {
        const int fd = clientFd_.load();
        return fd >= 0 && QueuedInput(fd) == 0;
      });
    });
  }
  // Waits until the test calls Signal() for the n-th time (1-based).
  TcpPeer& WaitSignal(int n) {
    return Step([this, n] {
      std::unique_lock<std::mutex> lock(mutex_);
      return cv_.wait_for(lock, kWaitLimit, [&] { return signals_ >= n || aborted_; }) && !aborted_;
    });
  }
  // Reads exactly n bytes from the client into Received().
  TcpPeer& Recv(size_t n) {
    return Step([this, n] { return RecvUpTo(n, false); });
  }
  // Reads until the client closes.
  TcpPeer& RecvUntilClose() {
    return Step([this] { return RecvUpTo(SIZE_MAX, true); });
  }
  TcpPeer& ShutdownWrite() {
    return Step([this] { return ::shutdown(conn_, SHUT_WR) == 0; });
  }
  TcpPeer& Close() {
    return Step([this] {
      ::close(conn_);
      conn_ = -1;
      return true;
    });
  }
  // Closes with a reset instead of the orderly close.
  TcpPeer& Reset() {
    return Step([this] {
      linger l{1, 0};
      ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(conn_);
      conn_ = -1;
      return true;
    });
  }

  // Starts accepting and playing the script.
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void ClientSocket(int fd) { clientFd_.store(fd); }
  void Signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++signals_;
    cv_.notify_all();
  }
  // Waits until the script has run to its end; false when it failed or did not finish in time.
  bool WaitDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, kWaitLimit, [&] { return done_; });
    return done_ && ok_;
  }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  TcpPeer& Step(std::function<bool()> step) {
    steps_.push_back(std::move(step));
    return *this;
  }

  bool Aborted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
  }

  void Run() {
    bool ok = false;
    const auto end = Clock::now() + kWaitLimit;
    // In short slices, so a peer that nobody connects to ends with its test.
    while (Clock::now() < end && !Aborted()) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) == 1) {
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ok = conn_ >= 0;
        break;
      }
    }
    for (auto& step : steps_) {
      if (!ok) break;
      ok = step();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    ok_ = ok;
    cv_.notify_all();
  }

  bool SendAll(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::send(conn_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  bool RecvUpTo(size_t n, bool untilClose) {
    const auto end = Clock::now() + kWaitLimit;
    size_t got = 0;
    char buf[65536];
    while (got < n) {
      pollfd p{conn_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return false;
      const ssize_t r = ::recv(conn_, buf, std::min(sizeof buf, n - got), 0);
      if (r < 0) return false;
      if (r == 0) return untilClose;
      got += static_cast<size_t>(r);
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buf, static_cast<size_t>(r));
    }
    return true;
  }

  std::string ip_;
  int listener_ = -1;
  int port_ = 0;
  int conn_ = -1;  // used by the peer thread only
  std::atomic<int> clientFd_{-1};
  std::vector<std::function<bool()>> steps_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int signals_ = 0;
  bool aborted_ = false;
  bool done_ = false;
  bool ok_ = false;
  std::string received_;
};

// Records a client's statuses and events as one list of texts, in order.
struct EventLog {
  std::vector<std::string> items;
  std::string Joined() const {
    std::string out;
    for (const auto& s : items) out += (out.empty() ? "" : " | ") + s;
    return out;
  }
};

// Logs the client's status texts and its OnConnected / OnDisconnected calls.
inline void Record(TIdTCPClient& client, EventLog& log) {
  client.OnStatus = [&log](TIdComponent*, TIdStatus, const std::string& text) { log.items.push_back(text); };
  client.OnConnected = [&log](TIdComponent*) { log.items.push_back("OnConnected"); };
  client.OnDisconnected = [&log](TIdComponent*) { log.items.push_back("OnDisconnected"); };
}

// Starts the peer's script and connects the client to it on the calling thread.
inline void ConnectTo(TIdTCPClient& client, TcpPeer& peer) {
  client.SetHost(peer.Ip());
  client.SetPort(peer.Port());
  peer.Start();
  client.Connect(-1);
  peer.ClientSocket(client.Binding()->Handle());
}

// Threads of this process (Linux), to see that a helper thread has ended. Runtime helpers that
// start with the first thread (a sanitizer's, say) are brought up before the first count.
inline int ThreadCount() {
  static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmedUp;
  int n = 0;
  if (auto* dir = ::opendir("/proc/self/task")) {
    while (auto* e = ::readdir(dir))
      if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
  }
  return n;
}

}  // namespace tcptest
