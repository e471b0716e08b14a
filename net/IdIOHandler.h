#pragma once
// The link under a TCP connection: opens, connects, tests and closes it, and moves bytes.
// The connection reads and writes only through these operations, so another kind of link
// can stand in for the plain socket.
#include <string>

#include "net/IdComponent.h"

class TIdIOHandler : public TIdComponent {
 public:
  TIdIOHandler() = default;
  ~TIdIOHandler() override = default;

  // Hook after a server accepted a link onto this handler; nothing in a client.
  virtual void AfterAccept() {}
  // Closes the link; harmless when it is not open.
  virtual void CloseLink() {}
  // Opens and connects the link (timeout in ms: -1 or 0 on the calling thread without a
  // limit of its own, -2 on a connect thread without limit, else that limit).
  virtual void ConnectLink(const std::string& host, int port, const std::string& boundIP, int boundPort,
                           int boundPortMin, int boundPortMax, int timeout);
  virtual bool IsLinkUp() const { return false; }
  // Prepares the handler for a new link.
  virtual void OpenLink() {}
  // Waits at most timeout ms (-2: no limit) for received bytes or a close; true when readable.
  virtual bool LinkReadable(int timeout) = 0;
  // One receive / send; the raw result of the socket call (-1 on failure, 0 when closed).
  virtual int LinkReceive(void* buffer, int size) = 0;
  virtual int LinkSend(const void* buffer, int count) = 0;
};
