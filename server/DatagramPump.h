#pragma once
// The receive loop of the server's UDP sockets (SIP ports, the RTP port, STUN ports): each time a
// socket is readable, up to a bounded number of datagrams are drained and handed on, so that
// other work of the event loop gets its turn under a flood.
#include <asio.hpp>
#include <string_view>
#include <vector>

#include "server/ServerContext.h"
#include "server/ServerPlatform.h"

inline constexpr int kDatagramsPerWake = 64;

// Hands every datagram that reaches `socket` to on(bytes, from, local) until the server stops
// or the socket closes. `buffer` outlives the socket.
template <class OnDatagram>
void PumpDatagrams(TServerContext& ctx, asio::ip::udp::socket& socket, std::vector<char>& buffer, OnDatagram on) {
  socket.async_wait(asio::ip::udp::socket::wait_read, [&ctx, &socket, &buffer, on](const asio::error_code& ec) {
    if (ctx.Stopping || ec == asio::error::operation_aborted) return;
    for (int i = 0; i < kDatagramsPerWake && !ec; ++i) {
      TUdpPeer from;
      uint32_t local = 0;
      const long n = ReceiveDatagram(socket.native_handle(), buffer.data(), buffer.size(), from, local);
      if (n < 0) break;
      on(std::string_view(buffer.data(), static_cast<size_t>(n)), from, local);
      if (ctx.Stopping) return;
    }
    PumpDatagrams(ctx, socket, buffer, on);
  });
}

// The same for a socket whose datagrams are small (the RTP port's calls): up to
// kDatagramsPerWake taken in batches, one call each; a batch that comes short has emptied the
// queue, so no call is spent to find it empty.
template <class OnDatagram>
void PumpDatagramBatches(TServerContext& ctx, asio::ip::udp::socket& socket, TDatagramBatch& batch, OnDatagram on) {
  socket.async_wait(asio::ip::udp::socket::wait_read, [&ctx, &socket, &batch, on](const asio::error_code& ec) {
    if (ctx.Stopping || ec == asio::error::operation_aborted) return;
    for (int taken = 0; taken < kDatagramsPerWake && !ec;) {
      const int n = batch.Receive(socket.native_handle());
      for (int i = 0; i < n; ++i) {
        on(batch.Data(i), batch.From(i), batch.Local(i));
        if (ctx.Stopping) return;
      }
      taken += n;
      if (n < TDatagramBatch::kCapacity) break;
    }
    PumpDatagramBatches(ctx, socket, batch, on);
  });
}
