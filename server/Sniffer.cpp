#include "server/Sniffer.h"

#include "server/ControlSession.h"
#include "server/HttpSession.h"

namespace {

constexpr int kRefusalLingerMs = 2000;  // after the busy answer, for the peer's own close

}  // namespace

void TSniffer::Start(std::string alreadyRead) {
  ArmTimer(admitted_ ? ctx_.Config.GreetingTimeoutMs : ctx_.Config.BusyGreetingTimeoutMs,
           "no greeting in time");
  if (alreadyRead.empty())
    Read();
  else
    OnRead(alreadyRead);
}

void TSniffer::OnRead(std::string_view bytes) {
  if (told_) {
    Read();  // what the peer still sends is read and dropped, so that the answer is not lost
    return;
  }
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
  if (!admitted_) {
    if (kind == TConnectionKind::Control)
      Answer(BusyAnswer(), "told busy");
    else
      Answer(HttpBusyAnswer(std::time(nullptr)), "answered 503");
    return;
  }
  auto keep = shared_from_this();
  const uint32_t peer = peer_;
  std::shared_ptr<TTcpConnection> next;
  if (kind == TConnectionKind::Control)
    next = std::make_shared<TControlSession>(ctx_, Release(), id_, true, peer, peerPort_, started_);
  else
    next = std::make_shared<THttpSession>(ctx_, Release(), id_, true, peer, peerPort_, started_);
  ctx_.Connections[id_] = next;
  next->Start(std::move(in_));
}

void TSniffer::Answer(std::string answer, const char* what) {
  told_ = what;
  auto bytes = std::make_shared<const std::string>(std::move(answer));
  ArmTimer(kRefusalLingerMs, "no close after the answer");
  asio::async_write(socket_, asio::buffer(*bytes),
                    [self = SharedAs<TSniffer>(), bytes](const asio::error_code& ec, size_t n) {
                      if (self->closed_) return;
                      if (ec) {
                        self->Close("write failed: " + ec.message());
                        return;
                      }
                      self->bytesOut_ += n;
                      asio::error_code e;
                      self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, e);
                      self->Read();  // ends the connection with the peer's close
                    });
}

void TSniffer::LogEnd(const std::string& who, const std::string& duration,
                      const std::string& why) {
  if (madeRoom_) return ctx_.Tally.Count(TTallied::MadeRoom, peer_);
  ctx_.StrangerLog([&] {
    // A refused one: once answered, what it was told is what counts, however it ended.
    return "connection " + who + (admitted_ ? "" : " refused") + " " + duration + ": " +
           (told_ ? told_ : why);
  });
}
