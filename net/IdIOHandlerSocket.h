#pragma once
// The plain-socket link of a TCP connection, and the thread that connects it under a time limit.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"

// Runs one connect of a binding on a thread of its own, so the caller can give up after a time
// limit. The caller reads the result fields only once Finished() is true or after Cancel() and
// WaitFor().
class TIdConnectThread {
 public:
  explicit TIdConnectThread(TIdSocketHandle* binding) : binding_(binding) {}
  ~TIdConnectThread();  // waits for the thread
  TIdConnectThread(const TIdConnectThread&) = delete;
  TIdConnectThread& operator=(const TIdConnectThread&) = delete;

  void Start();
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Makes a pending connect give up promptly.
  void Cancel() { cancelled_.store(true); }
  void WaitFor();

  bool Failed = false;      // the connect failed (for a reason other than being given up)
  std::string FailureText;  // message of the failure
  int FailureCode = 0;      // socket error code of the failure; 0 when it was not a socket error

 private:
  void Execute();

  TIdSocketHandle* binding_;  // not owned
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  TIdIOHandlerSocket() = default;
  ~TIdIOHandlerSocket() override;

  // The socket and its addresses; null until the first OpenLink.
  TIdSocketHandle* Binding() const { return binding_.get(); }
  // false sets TCP_NODELAY on the connected socket.
  bool UseNagle = true;

  void CloseLink() override;
  void ConnectLink(const std::string& host, int port, const std::string& boundIP, int boundPort,
                   int boundPortMin, int boundPortMax, int timeout) override;
  bool IsLinkUp() const override;
  void OpenLink() override;
  bool LinkReadable(int timeout) override;
  int LinkReceive(void* buffer, int size) override;
  int LinkSend(const void* buffer, int count) override;

 private:
  // Connects on a TIdConnectThread, polling it every 125 ms (timeout -2: no limit).
  void ConnectWithLimit(int timeout);

  std::unique_ptr<TIdSocketHandle> binding_;
};
