#include "net/IdTCPClient.h"

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

void TIdTCPClient::SetHost(const std::string& host) { host_ = host; }
void TIdTCPClient::SetPort(int port) { port_ = port; }

void TIdTCPClient::FireConnected() {
  if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Connect(int timeout) {
  if (IOHandler() && IOHandler()->IsLinkUp()) throw EIdAlreadyConnected();
  if (!IOHandler()) {
    auto handler = std::make_unique<TIdIOHandlerSocket>();
    handler->OnStatus = OnStatus;  // "Resolving ..." and "Connecting ..." come from the handler
    AdoptHandler(std::move(handler));
  }
  try {
    IOHandler()->OpenLink();
    ResetLink();
    IOHandler()->ConnectLink(host_, port_, BoundIP, BoundPort, BoundPortMin, BoundPortMax, timeout);
    ReportStatus(TIdStatus::hsConnected, host_);
    FireConnected();
  } catch (...) {
    DropLink();
    throw;
  }
}
