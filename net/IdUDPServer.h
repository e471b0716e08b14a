#pragma once
// UDP endpoints: a list of bindings (local address and port), one datagram socket per binding
// while active, and one receive thread that hands every datagram to OnUDPRead on the
// user-interface thread (or on the receive thread itself with ThreadedEvent).
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdStream.h"
#include "net/IdThread.h"

class TIdUDPServer;

// Base of the endpoint: the Active switch, the receive buffer size, broadcasting and sending.
class TIdUDPBase : public TIdComponent {
 public:
  TIdUDPBase() = default;
  ~TIdUDPBase() override = default;

  // Activates or deactivates; setting the value it already has does nothing. While the
  // component is being loaded (BeginLoading .. EndLoading) the value is only remembered.
  void SetActive(bool value);
  bool GetActive();

  // Size of the buffer for one received datagram; a longer datagram is dropped. Read when the
  // endpoint is activated.
  int BufferSize = 8192;

  // SO_BROADCAST on every binding; applied at activation and at once while active.
  void SetBroadcastEnabled(bool value);
  bool GetBroadcastEnabled() const { return broadcastEnabled_; }

  // Loading from a stored description: Active is applied when loading ends.
  void BeginLoading();
  void EndLoading();

  // Deactivation: stops the receive thread and closes the sockets.
  virtual void ReleaseBindings() = 0;
  // True when a current binding exists and its socket is open.
  virtual bool IsActive() = 0;
  // The current binding; activates the endpoint first when it is inactive.
  virtual TIdSocketHandle& ActiveBinding() = 0;

  // Sends the text's bytes as one datagram to host:port from the current binding (activating
  // the endpoint if needed). host is "localhost", IPv4 text or a name looked up on every call.
  void SendText(const std::string& host, int port, const std::string& text);
  void SendBytes(const std::string& host, int port, const void* buffer, int count);

 protected:
  // Sets SO_BROADCAST on every open binding.
  virtual void ApplyBroadcast() = 0;

 private:
  bool broadcastEnabled_ = false;
  bool loading_ = false;
  bool loadedActive_ = false;  // the Active value given while loading
};

// Receives the datagrams of one endpoint: waits on all of its sockets at once, at most
// SelectWait ms at a time, and delivers each datagram, one at a time, in arrival order.
class TIdUDPListenerThread : public TIdThread {
 public:
  TIdUDPListenerThread(TIdUDPServer& owner, int receiveBufferSize);
  ~TIdUDPListenerThread() override;

  int SelectWait = 1000;           // longest wait of one pass, so a stop is noticed in time
  TMemoryStream ReceiveBuffer;     // the datagram being delivered; reused for every datagram
  const int ReceiveBufferSize;     // the endpoint's BufferSize at creation
  TIdUDPServer& OwnerEndpoint;
  TIdSocketHandle* Incoming = nullptr;  // binding of the datagram being delivered

 protected:
  void Run() override;

 private:
  void ReceiveOne(TIdStackSocketHandle descriptor);
  std::vector<TIdStackSocketHandle> readSet_;  // reused by every pass
};

// Handler of a received datagram: AData holds the datagram at position 0; ABinding is the
// binding that received it, with the sender in RemoteIP/RemotePort. AData is reused for the
// next datagram: copy what must be kept.
using TUDPReadEvent = std::function<void(TIdUDPServer* Sender, TStream& AData, TIdSocketHandle& ABinding)>;

class TIdUDPServer : public TIdUDPBase {
 public:
  TIdUDPServer() = default;
  ~TIdUDPServer() override;

  // The bindings. Add or remove bindings only while the endpoint is inactive.
  TIdSocketHandles& Bindings() { return bindings_; }
  void SetBindings(const TIdSocketHandles& other) { bindings_.Assign(other); }
  int GetDefaultPort() const { return bindings_.DefaultPort; }
  void SetDefaultPort(int port) { bindings_.DefaultPort = port; }

  TUDPReadEvent OnUDPRead;
  // Looked at first, on the receive thread, as soon as a datagram is read: true takes it, and it
  // is not handed on to OnUDPRead. For datagrams whose time of arrival matters. Set it while the
  // endpoint is inactive.
  std::function<bool(std::string_view data, const std::string& fromIp, int fromPort)> OnUDPTap;
  // true: OnUDPRead runs on the receive thread; false: on the user-interface thread, the
  // receive thread waiting until it has returned.
  bool ThreadedEvent = false;

  void ReleaseBindings() override;
  bool IsActive() override;
  TIdSocketHandle& ActiveBinding() override;

  // Calls OnUDPRead if assigned.
  virtual void FireUDPRead(TStream& AData, TIdSocketHandle& ABinding);

 protected:
  void ApplyBroadcast() override;

 private:
  friend class TIdUDPListenerThread;
  void Activate();
  // Hands one datagram of the receive thread to OnUDPRead, as ThreadedEvent says.
  void Deliver(TIdUDPListenerThread& listener);
  // Frees receive threads of earlier deactivations that have ended since.
  void ReapRetired(bool waitForAll);

  TIdSocketHandles bindings_;
  std::atomic<TIdSocketHandle*> current_{nullptr};   // none while inactive
  std::unique_ptr<TIdUDPListenerThread> listener_;   // none while inactive
  // Receive threads stopped from inside their own delivery: they cannot be waited for there, so
  // they are freed once they have ended.
  std::vector<std::unique_ptr<TIdUDPListenerThread>> retired_;
  bool deactivating_ = false;
  // The thread running OnUDPRead of this endpoint right now (none: the default id).
  std::atomic<std::thread::id> deliveringOn_{};
};
