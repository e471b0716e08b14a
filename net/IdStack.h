#pragma once
// The socket layer: the one place that calls the platform's IPv4 socket interface.
// One instance per process (SocketStack), alive while any network component exists.
// Platform implementations live in files of their own (IdStackPosix.cpp); callers
// only ever see this header.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdException.h"

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

// Socket types, families and options, in the platform-neutral values callers use.
constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
enum class TIdSocketOption { Broadcast, TcpNoDelay, ReuseAddress, ReceiveBuffer, SendBuffer };
enum class TIdShutdownHow { Receive = 0, Send = 1, Both = 2 };

// What the system knows of a connected TCP socket's sending: whether the other end has
// acknowledged everything written so far, and the segment size in use.
struct TIdTcpSendInfo {
  int UnackedBytes = 0;    // written and not yet acknowledged (sent or not)
  int MsSinceLastAck = 0;  // since the last acknowledgement arrived
  int Mss = 0;             // the largest segment this end sends on it (bytes of data)
  int Retransmits = 0;     // segments sent again so far
};

// Windows Sockets error numbers, used on every platform.
namespace IdErr {
constexpr int EINTR_ = 10004, EBADF_ = 10009, EACCES_ = 10013, EFAULT_ = 10014, EINVAL_ = 10022,
              EMFILE_ = 10024, EWOULDBLOCK_ = 10035, EINPROGRESS_ = 10036, EALREADY_ = 10037,
              ENOTSOCK_ = 10038, EMSGSIZE_ = 10040, EADDRINUSE_ = 10048, EADDRNOTAVAIL_ = 10049,
              ENETUNREACH_ = 10051, ECONNABORTED_ = 10053, ECONNRESET_ = 10054, ENOBUFS_ = 10055,
              ENOTCONN_ = 10057, ESHUTDOWN_ = 10058, ETIMEDOUT_ = 10060, ECONNREFUSED_ = 10061,
              EHOSTUNREACH_ = 10065, NOTINITIALISED_ = 10093, HOST_NOT_FOUND_ = 11001,
              TRY_AGAIN_ = 11002, NO_RECOVERY_ = 11003, NO_DATA_ = 11004;
}

// An IPv4 address: four bytes in network order (first octet first).
struct TIdInAddr {
  uint8_t b[4] = {0, 0, 0, 0};
  bool operator==(const TIdInAddr&) const = default;
};

class TIdStack {
 public:
  virtual ~TIdStack() = default;

  // Code read by the last failed CheckResult, on whichever thread tested last (atomic: the
  // user-interface thread and the receive threads test results concurrently).
  std::atomic<int> LastError{0};

  // --- local addresses ---
  // The host's IPv4 interface addresses: non-loopback ones first (system order), then loopback.
  // Refreshed on every call; a failure raises the socket error.
  const std::vector<std::string>& LocalAddresses();
  virtual void RefreshLocalAddresses() = 0;

  // --- wrapped socket calls; each returns the raw result (-1 on failure) ---
  // Addresses are IPv4 text; text that is not raises EIdInvalidIPAddress. The empty text is
  // the any address for SockBind only: as a destination it is no address.
  virtual TIdStackSocketHandle SockCreate(int family, int type, int protocol) = 0;
  virtual int SockBind(TIdStackSocketHandle s, int family, int port, const std::string& ip) = 0;
  virtual int SockConnect(TIdStackSocketHandle s, int family, int port, const std::string& ip) = 0;
  virtual int SockClose(TIdStackSocketHandle s) = 0;
  virtual int SockShutdown(TIdStackSocketHandle s, TIdShutdownHow how) = 0;
  virtual int SockSend(TIdStackSocketHandle s, const void* buf, int len, int flags) = 0;
  virtual int SockRecv(TIdStackSocketHandle s, void* buf, int len, int flags) = 0;
  virtual int SockSendTo(TIdStackSocketHandle s, const void* buf, int len, int flags,
                         const std::string& ip, int port) = 0;
  // One recvfrom. A datagram longer than len is never returned cut short: the call fails
  // with 10040 (message too long) and the datagram is consumed.
  virtual int SockRecvFrom(TIdStackSocketHandle s, void* buf, int len, int flags,
                           std::string& fromIp, int& fromPort) = 0;
  virtual int SockSetOption(TIdStackSocketHandle s, TIdSocketOption opt, int value) = 0;
  // Waits on the given lists (each may be null) for at most timeoutMs (-2: no limit); each list
  // is replaced by its ready descriptors. More than 64 in a list raises EIdStackSetSizeExceeded.
  virtual int SockSelect(std::vector<TIdStackSocketHandle>* readList,
                         std::vector<TIdStackSocketHandle>* writeList,
                         std::vector<TIdStackSocketHandle>* errorList, int timeoutMs) = 0;
  // Connect that returns promptly once *cancelled becomes true (closing a descriptor does not
  // wake a thread blocked in connect() on every platform). Raw result; a cancelled connect
  // fails with 10004.
  virtual int SockConnectCancellable(TIdStackSocketHandle s, int port, const std::string& ip,
                                     const std::atomic<bool>* cancelled) = 0;
  // The sending state of a connected TCP socket; false where the platform cannot tell (then
  // info is left as it was).
  virtual bool SockTcpSendInfo(TIdStackSocketHandle s, TIdTcpSendInfo& info) = 0;
  // Local / peer address of a socket; a failure raises the socket error.
  virtual void LocalAddress(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
  virtual void PeerAddress(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
  virtual std::string HostName() = 0;
  // First IPv4 address of a name, as dotted text; a failure raises the socket error (11001 ...).
  virtual std::string HostByName(const std::string& name) = 0;
  virtual int LastSocketError() = 0;  // last socket error of the calling thread, Windows numbering
  virtual std::string ErrorText(int code);

  static uint16_t HostToNet16(uint16_t v);
  static uint16_t NetToHost16(uint16_t v);

  // --- shared logic ---
  TIdStackSocketHandle NewSocket(int type, int protocol);  // -1 raises EIdInvalidSocket
  // The address of a host name or address text: looked up unless AddressWithoutLookup knows it.
  std::string ResolveToAddress(const std::string& host);
  // "localhost" (any case) is 127.0.0.1 and an address text stands for itself (unchanged);
  // false for a name that needs a lookup.
  static bool AddressWithoutLookup(const std::string& host, std::string& address);
  static bool IsAddressText(const std::string& text);
  static TIdInAddr TextToAddress(const std::string& text);  // raises EIdInvalidIPAddress
  static std::string AddressToText(const TIdInAddr& addr);
  bool CheckResult(int result, std::initializer_list<int> tolerated = {});
  [[noreturn]] void RaiseError(int code);
  static std::string ErrorMessageText(int code);  // the table's text for a code; "" if unlisted

 protected:
  std::vector<std::string> LocalAddressList;
};

// The platform's stack. Defined in the platform file.
TIdStack* CreatePlatformStack();
// Starts / cleans up the platform's socket library (once per process).
void StartPlatformSocketLibrary();
void CleanupPlatformSocketLibrary();

// The process-wide instance and its guard.
extern TIdStack* SocketStack;
extern std::mutex StackLock;
extern int NetComponentCount;
// Number of times the platform library was started in this process (0 or 1).
int SocketLibraryStartCount();
// Called at program end, after all network threads ended.
void IdStackFinalize();
