#include "server/HttpSession.h"

THttpSession::THttpSession(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id,
                           bool admitted, uint32_t peer, uint16_t peerPort,
                           TServerClock::time_point started)
    : TTcpConnection(ctx, std::move(socket), id, admitted, peer, peerPort, started),
      core_(ctx.Config.MaxHttpHead, ctx.List) {}

void THttpSession::Start(std::string alreadyRead) {
  OnRead(alreadyRead);
}

void THttpSession::ArmWithinLife(int ms, const char* why) {
  const auto end = started_ + std::chrono::milliseconds(ctx_.Config.HttpLifetimeMs);
  if (TServerClock::now() + std::chrono::milliseconds(ms) >= end)
    ArmTimerAt(end, "the connection's time is up");
  else
    ArmTimer(ms, why);
}

void THttpSession::OnRead(std::string_view bytes) {
  core_.Feed(bytes);
  Serve();
}

void THttpSession::Serve() {
  auto answer = core_.Next(std::time(nullptr));
  if (!answer) {
    // The whole head must come within the time-out: bytes trickling in do not extend it.
    if (!awaitingHead_) ArmWithinLife(ctx_.Config.HttpIdleTimeoutMs, "no complete HTTP request");
    awaitingHead_ = true;
    if (!Hold(core_.Buffered())) return Close("cut off: the server holds too much for peers");
    Read();
    return;
  }
  awaitingHead_ = false;
  if (answer->Status != 400 && answer->Status != 431) {
    ++requests_;
    ++ctx_.Counters.HttpRequests;
  }
  if (answer->Status >= 200 && answer->Status < 400) answered_ = true;
  if (requestLog_.size() < 200) requestLog_ += (requestLog_.empty() ? "" : ", ") + answer->What;
  auto head = std::make_shared<const std::string>(std::move(answer->Head));
  auto body = answer->Body;
  const bool closeAfter = answer->CloseAfter;
  std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(*head), body ? asio::buffer(*body) : asio::const_buffer()};
  ArmWithinLife(ctx_.Config.HttpIdleTimeoutMs * 4, "response not taken");
  asio::async_write(socket_, buffers,
                    [self = SharedAs<THttpSession>(), head, body, closeAfter](
                        const asio::error_code& ec, size_t n) {
                      if (self->closed_) return;
                      if (ec) {
                        self->Close("write failed: " + ec.message());
                        return;
                      }
                      self->bytesOut_ += n;
                      if (closeAfter)
                        self->Close("done");
                      else
                        self->Serve();
                    });
}

void THttpSession::LogEnd(const std::string& who, const std::string& duration,
                          const std::string& why) {
  // Scanners and strays get no line of their own: they are summed.
  if (!answered_) return ctx_.Tally.Count(madeRoom_ ? TTallied::MadeRoom : TTallied::HttpError, peer_);
  ctx_.OwnLog(peer_, "http " + who + " " + duration + ": " + std::to_string(requests_) + " request(s)" +
           (requestLog_.empty() ? "" : " (" + requestLog_ + ")") + ", " +
           std::to_string(bytesOut_) + " bytes sent; " + why);
}
