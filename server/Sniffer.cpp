#include "server/Sniffer.h"

#include "server/ControlSession.h"
#include "server/HttpSession.h"

void TSniffer::Start(std::string alreadyRead) {
  ArmTimer(ctx_.Config.GreetingTimeoutMs, "no greeting in time");
  if (alreadyRead.empty())
    Read();
  else
    OnRead(alreadyRead);
}

void TSniffer::OnRead(std::string_view bytes) {
  in_.append(bytes);
  const TConnectionKind kind = SniffConnection(in_);
  if (kind == TConnectionKind::Undecided) {
    Read();
    return;
  }
  if (kind == TConnectionKind::Unknown) {
    Close("not a greeting nor HTTP");
    return;
  }
  auto keep = shared_from_this();
  const uint32_t peer = peer_;
  std::shared_ptr<TTcpConnection> next;
  if (kind == TConnectionKind::Control)
    next = std::make_shared<TControlSession>(ctx_, Release(), peer, peerPort_, started_);
  else
    next = std::make_shared<THttpSession>(ctx_, Release(), peer, peerPort_, started_);
  ctx_.Connections.insert(next);
  next->Start(std::move(in_));
}

void TSniffer::LogEnd(const std::string& who, const std::string& duration,
                      const std::string& why) {
  ctx_.StrangerLog([&] { return "connection " + who + " " + duration + ": " + why; });
}
