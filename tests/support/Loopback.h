#pragma once
// What every test folder shares for talking over loopback: an owning descriptor, one bounded
// wait, an address of each test's own, and TCP and UDP sockets whose every wait has a deadline.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace support {

using Clock = std::chrono::steady_clock;

// The bound of every wait that names none.
constexpr std::chrono::milliseconds kDeadline{10000};

// An owning file descriptor: closed when the object goes; moves, never copies.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  ~Fd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void Reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int Release();

 private:
  int fd_ = -1;
};

// Polls `condition` until it holds or `deadline` has passed; returns its last value. `between`
// runs between two polls (by default a 1 ms sleep): a test that waits on its own event loop
// passes one that runs the loop for a moment.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = kDeadline,
               const std::function<void()>& between = nullptr);

// A loopback address of the running test's own (127.x.y.z), derived from its full name, so that
// tests on fixed ports (80, 5060, ...) do not share an address with a test running beside them
// (two names meet on one block of addresses with a chance of about one in a million).
// `n` (0 to 15) picks one of the test's sixteen addresses.
std::string TestAddress(int n = 0);

// The address with its dots escaped, for a regular expression.
std::string EscapedAddress(const std::string& address);

// A TCP listener on ip:port (port 0: the system chooses one).
class TcpListener {
 public:
  explicit TcpListener(const std::string& ip, int port = 0, int backlog = 8);
  bool Ok() const { return fd_.Valid(); }
  const std::string& Error() const { return error_; }  // why it does not listen
  const std::string& Ip() const { return ip_; }
  int Port() const { return port_; }
  int Handle() const { return fd_.Get(); }
  // The next connection, or an invalid descriptor when none came within the deadline.
  Fd Accept(std::chrono::milliseconds deadline = kDeadline);

 private:
  std::string ip_, error_;
  int port_ = 0;
  Fd fd_;
};

// How a read of a TcpConn ended.
enum class ReadResult { Data, End, Reset, Timeout, Error };

// One end of a TCP connection. Reads collect into Pending(); every wait ends at its deadline, or
// earlier once the condition given to StopWhen holds.
class TcpConn {
 public:
  TcpConn() = default;
  explicit TcpConn(Fd fd) : fd_(std::move(fd)) {}
  // A connection from `from` (any port; empty: any address) to ip:port; !Ok() when it failed.
  static TcpConn Connect(const std::string& ip, int port, const std::string& from = "");

  bool Ok() const { return fd_.Valid(); }
  int Handle() const { return fd_.Get(); }
  void StopWhen(std::function<bool()> stop) { stop_ = std::move(stop); }

  // Sends every byte; false when the connection fails or stays full past the deadline.
  bool Send(const std::string& bytes, std::chrono::milliseconds deadline = kDeadline);
  // One receive into Pending().
  ReadResult ReadSome(std::chrono::milliseconds deadline = kDeadline);
  // What came before `terminator`, taken from Pending() with it; nothing when the deadline
  // passes or the connection ends first.
  std::optional<std::string> ReadUntil(const std::string& terminator,
                                       std::chrono::milliseconds deadline = kDeadline);
  // The next n bytes, taken from Pending(); nothing when they do not all come in time.
  std::optional<std::string> ReadExactly(size_t n, std::chrono::milliseconds deadline = kDeadline);
  // True when the other end closes or resets the connection within the deadline; what comes
  // before stays in Pending().
  bool WaitClosed(std::chrono::milliseconds deadline = kDeadline);
  // Bytes received and not taken yet.
  std::string& Pending() { return pending_; }

  void Close() { fd_.Reset(); }
  // Closes with a reset instead of the orderly close.
  void Reset();

 private:
  Fd fd_;
  std::string pending_;
  std::function<bool()> stop_;
};

// One datagram as a UdpPeer received it.
struct Datagram {
  std::string data;
  std::string fromIp;
  int fromPort = 0;
};

// A datagram socket on ip:port (port 0: the system chooses one).
class UdpPeer {
 public:
  explicit UdpPeer(const std::string& ip, int port = 0);
  bool Ok() const { return fd_.Valid(); }
  const std::string& Error() const { return error_; }
  const std::string& Ip() const { return ip_; }
  int Port() const { return port_; }
  int Handle() const { return fd_.Get(); }

  bool SendTo(const std::string& ip, int port, const std::string& data) const;
  // The next datagram, or nothing when none comes within the deadline.
  std::optional<Datagram> Receive(std::chrono::milliseconds deadline = kDeadline) const;

 private:
  std::string ip_, error_;
  int port_ = 0;
  Fd fd_;
};

// UDP sockets that hold ports of an address for the life of the object, so nothing else binds
// them. Ok() when every port could be held.
class HeldPorts {
 public:
  HeldPorts(const std::string& ip, const std::vector<int>& ports);
  bool Ok() const { return ok_; }

 private:
  std::vector<UdpPeer> sockets_;
  bool ok_ = true;
};

// A listener whose accept queue is full, so that a further connect is never answered: the
// system drops its SYNs. Full() is false where the queue could not be filled.
class FullBacklogListener {
 public:
  explicit FullBacklogListener(const std::string& ip, int port = 0);
  int Port() const { return listener_.Port(); }
  bool Full() const { return full_; }

 private:
  TcpListener listener_;
  std::vector<Fd> fillers_;  // the connections that fill the queue
  bool full_ = false;
};

}  // namespace support
