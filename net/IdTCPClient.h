#pragma once
// The TCP client: one connection to Host:Port, opened with or without a time limit.
#include <string>

#include "net/IdTCPConnection.h"

class TIdTCPClient : public TIdTCPConnection {
 public:
  TIdTCPClient() = default;

  // --- properties ---
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  virtual void SetHost(const std::string& host);
  virtual void SetPort(int port);
  std::string BoundIP;  // local address to connect from; empty: any
  int BoundPort = 0;    // local port to connect from; 0: chosen by the system
  int BoundPortMin = 0;  // range of local ports to try when BoundPort is 0 (both set)
  int BoundPortMax = 0;
  TIdNotifyEvent OnConnected;

  virtual void FireConnected();
  // Opens the connection. timeout in ms: -1 (default) or 0 connect on the calling thread
  // without a limit of their own; -2 on a connect thread without limit; any other value is the
  // limit, waited for in steps of 125 ms ("Connect timed out." when it runs out).
  virtual void Connect(int timeout = -1);

 private:
  std::string host_;
  int port_ = 0;
};
