#include "server/TcpConnection.h"

#include <cstdio>

TTcpConnection::TTcpConnection(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id,
                               bool admitted, uint32_t peer, uint16_t peerPort,
                               TServerClock::time_point started)
    : ctx_(ctx),
      socket_(std::move(socket)),
      timer_(ctx.Io),
      id_(id),
      admitted_(admitted),
      peer_(peer),
      peerPort_(peerPort),
      started_(started) {
  asio::error_code ec;
  socket_.non_blocking(true, ec);  // reads and first writes are tried at once
}

void TTcpConnection::Close(const std::string& why) {
  if (closed_) return;
  closed_ = true;
  timer_.cancel();
  StopOwn();
  Hold(0);
  if (admitted_) {
    ctx_.Admission.Remove(id_);
    --ctx_.Counters.OpenConnections;
  } else {
    --ctx_.Refusing;
  }
  const double seconds =
      std::chrono::duration<double>(TServerClock::now() - started_).count();
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1fs", seconds);
  LogEnd(EndpointText(peer_, peerPort_), duration, why);
  asio::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  const auto keep = shared_from_this();
  ctx_.Connections.erase(id_);
}

void TTcpConnection::ArmTimer(int ms, std::string why) {
  timer_.expires_after(std::chrono::milliseconds(ms));
  timer_.async_wait([self = shared_from_this(), why = std::move(why)](const asio::error_code& ec) {
    if (!ec && !self->closed_) self->OnTimeout(why);
  });
}

void TTcpConnection::ArmTimerAt(TServerClock::time_point when, std::string why) {
  timer_.expires_at(when);
  timer_.async_wait([self = shared_from_this(), why = std::move(why)](const asio::error_code& ec) {
    if (!ec && !self->closed_) self->OnTimeout(why);
  });
}

bool TTcpConnection::Hold(size_t bytes) {
  const bool growing = bytes > held_;
  ctx_.HeldBytes = ctx_.HeldBytes - held_ + bytes;
  held_ = bytes;
  return !growing || ctx_.HeldBytes <= ctx_.Config.MaxHeldBytes;
}

void TTcpConnection::Protect(bool want) {
  if (admitted_) ctx_.Admission.Protect(id_, want);
}

void TTcpConnection::Read() {
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& waited) {
    if (self->closed_) return;
    asio::error_code ec = waited;
    size_t n = 0;
    if (!ec) n = self->socket_.read_some(asio::buffer(self->ctx_.ReadBuffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return self->Read();
    if (ec) {
      self->Close(ec == asio::error::eof ? "closed by peer" : "read failed: " + ec.message());
      return;
    }
    self->OnRead(std::string_view(self->ctx_.ReadBuffer.data(), n));
  });
}

asio::ip::tcp::socket TTcpConnection::Release() {
  closed_ = true;
  timer_.cancel();
  StopOwn();
  auto keep = shared_from_this();
  ctx_.Connections.erase(id_);
  return std::move(socket_);
}
