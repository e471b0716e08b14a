#include "server/SipTcpConnection.h"

#include "server/ControlSession.h"

namespace {

constexpr int kAfterMessageMs = 5000;  // the tester closes its connection once the echo came

}  // namespace

TSipTcpConnection::TSipTcpConnection(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id,
                                     uint32_t peer, uint16_t peerPort, uint16_t serverPort,
                                     TServerClock::time_point started)
    : TTcpConnection(ctx, std::move(socket), id, true, peer, peerPort, started), serverPort_(serverPort) {}

void TSipTcpConnection::Start(std::string alreadyRead) {
  ArmTimer(ctx_.Config.GreetingTimeoutMs, "no SIP message in time");
  OnRead(alreadyRead);
}

void TSipTcpConnection::OnRead(std::string_view bytes) {
  framer_.Feed(bytes);
  std::string message;
  for (;;) {
    switch (framer_.Next(message)) {
      case TSipStreamFramer::TNext::Need:
        if (!Hold(framer_.Buffered())) return Close("cut off: the server holds too much for peers");
        Read();
        return;
      case TSipStreamFramer::TNext::Error:
        Close("cut off: " + framer_.Why());
        return;
      case TSipStreamFramer::TNext::Message:
        if (!Take(message)) return;
        break;
    }
  }
}

bool TSipTcpConnection::Take(const std::string& message) {
  TControlSession* session = ctx_.Sessions.FindByToken(message);
  if (!session) {
    ++ctx_.Counters.Dropped;
    Close("no session for its Call-ID");
    return false;
  }
  const auto shared = session->shared_from_this();
  if (messages_ > 0 && session_.lock() != shared) {
    Close("a message of another session");
    return false;
  }
  session_ = shared;
  if (!session->OnTcpMessage(message, serverPort_, EndpointText(peer_, peerPort_), TServerClock::now())) {
    ++ctx_.Counters.Dropped;
    Close("over the session's budget");
    return false;
  }
  ++messages_;
  ArmTimer(kAfterMessageMs, "no further message");
  return true;
}

void TSipTcpConnection::StopOwn() { ctx_.Admission.RemoveSipTcp(peer_); }

void TSipTcpConnection::OnTimeout(const std::string& why) {
  Close(messages_ > 0 ? "done" : "timed out: " + why);
}

void TSipTcpConnection::LogEnd(const std::string& who, const std::string& duration, const std::string& why) {
  const std::string line = "SIP over TCP " + who + " to port " + std::to_string(serverPort_) + " " + duration +
                           ": " + std::to_string(messages_) + " message(s) echoed; " + why;
  if (messages_ > 0)
    ctx_.OwnLog(peer_, line);
  else
    ctx_.StrangerLog([&] { return line; });
}
