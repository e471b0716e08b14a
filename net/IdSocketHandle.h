#pragma once
// One socket with its local and peer address: a binding of a UDP endpoint, and the socket
// holder of the TCP client.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "net/IdStack.h"

class TIdSocketHandles;

class TIdSocketHandle {
 public:
  explicit TIdSocketHandle(TIdSocketHandles* collection = nullptr);
  virtual ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Copies IP, Port, RemoteIP and RemotePort.
  void Assign(const TIdSocketHandle& other);

  TIdStackSocketHandle Handle() const { return Descriptor.load(); }
  bool HandleAllocated() const { return Allocated.load(); }

  // Closes a socket still held, then opens a new IPv4 socket of the type (Id_SOCK_DGRAM or
  // Id_SOCK_STREAM).
  void OpenSocket(int type, int protocol = 0);
  // Clears Allocated, shuts the socket down for sending and closes it. Addresses are kept.
  virtual void ShutSocket();
  // Binds to IP/Port, or scans ClientPortMax..ClientPortMin when Port is 0 and a range is set.
  void BindLocal();
  // sendto with the size checks of a datagram send; raises on failure.
  void SendDatagram(const std::string& ip, int port, const void* buffer, int count);
  // recvfrom; the sender goes to fromIp/fromPort. Raw result.
  virtual int ReceiveDatagram(void* buffer, int size, std::string& fromIp, int& fromPort);
  void SetRemote(const std::string& ip, int port);
  void RefreshLocal();
  void RefreshRemote();
  // Connects to RemoteIP/RemotePort; on success refreshes both addresses. Raw result.
  virtual int ConnectStream();
  // The same, returning promptly (failing with 10004) once *cancelled is set.
  int ConnectStreamCancellable(const std::atomic<bool>* cancelled);
  int SendStream(const void* buffer, int count);
  int ReceiveStream(void* buffer, int size);
  // Raises EIdConnClosedGracefully when no socket is open; else waits at most timeoutMs
  // (-2: no limit) and tells whether the socket became readable. On the user-interface thread
  // the window is kept alive meanwhile (TUiThread::KeepAlive).
  bool WaitReadable(int timeoutMs);
  void SetOption(TIdSocketOption option, int value);
  // The sending state of a connected TCP socket; false where the system cannot tell.
  bool TcpSendInfo(TIdTcpSendInfo& info);

  // Stored properties.
  std::string IP;
  int Port = 0;
  int ClientPortMin = 0;
  int ClientPortMax = 0;
  // Run-time state.
  std::string RemoteIP;
  int RemotePort = 0;

 protected:
  // Read by other threads (a listener testing its sockets, a connect thread), so atomic.
  std::atomic<TIdStackSocketHandle> Descriptor{Id_INVALID_SOCKET};
  std::atomic<bool> Allocated{false};

 private:
  bool TryBind();  // one attempt at IP/Port; false on "address in use", raises otherwise
  TIdSocketHandles* collection_;
};

// The ordered bindings of one UDP endpoint.
class TIdSocketHandles {
 public:
  TIdSocketHandles() = default;
  TIdSocketHandles(const TIdSocketHandles&) = delete;
  TIdSocketHandles& operator=(const TIdSocketHandles&) = delete;

  // Replaces the items by copies of another collection's.
  void Assign(const TIdSocketHandles& other);

  TIdSocketHandle& Add();  // a new binding whose Port is DefaultPort
  int Count() const { return static_cast<int>(items_.size()); }
  TIdSocketHandle& operator[](int index) { return *items_.at(static_cast<size_t>(index)); }
  const TIdSocketHandle& operator[](int index) const { return *items_.at(static_cast<size_t>(index)); }
  // Searches from the last binding to the first; null when none holds the descriptor.
  TIdSocketHandle* FindByDescriptor(TIdStackSocketHandle descriptor);
  void Clear() { items_.clear(); }

  int DefaultPort = 0;

 private:
  std::vector<std::unique_ptr<TIdSocketHandle>> items_;
};
