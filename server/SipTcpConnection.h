#pragma once
// A connection to a SIP port over TCP: the tester's REGISTER and INVITE, framed by their
// Content-Length (SipStream.h), each echoed on the control connection of the session whose token
// its Call-ID holds; nothing is ever sent back on this connection. It is admitted like any
// connection to the control port (the same room and the same sharing by network), its messages
// cost its session's budget, and it ends 5 s after its last message, or at once when a message
// names no session (or another session than its first).
#include <memory>

#include "server/SipStream.h"
#include "server/TcpConnection.h"

class TControlSession;

class TSipTcpConnection : public TTcpConnection {
 public:
  TSipTcpConnection(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id, uint32_t peer,
                    uint16_t peerPort, uint16_t serverPort, TServerClock::time_point started);
  void Start(std::string alreadyRead) override;

 private:
  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration, const std::string& why) override;
  void OnTimeout(const std::string& why) override;
  void StopOwn() override;
  // One complete message; false when the connection ended over it.
  bool Take(const std::string& message);

  const uint16_t serverPort_;
  TSipStreamFramer framer_;
  std::weak_ptr<TTcpConnection> session_;  // of the first message
  int messages_ = 0;
};
