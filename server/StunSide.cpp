#include "server/StunSide.h"

#include <stdexcept>

#include "server/DatagramPump.h"

namespace {

using asio::ip::udp;
constexpr size_t kLargestRequest = 1500;

}  // namespace

TStunSide::TStunSide(TServerContext& ctx)
    : ctx_(ctx),
      buffer_(kLargestRequest),
      perSource_(ctx.Config.MaxDatagramSources, ctx.Config.DatagramsPerSecond, ctx.Config.DatagramBurst) {}

void TStunSide::Bind(const asio::ip::address_v4& address) {
  const uint16_t port = ctx_.Config.StunPort;
  if (port == 0) return;
  primary_ = address.to_uint();
  asio::error_code ec;
  std::vector<uint32_t> addresses{primary_};
  if (!ctx_.Config.OtherAddress.empty()) {
    const auto other = asio::ip::make_address_v4(ctx_.Config.OtherAddress, ec);
    if (ec) throw std::runtime_error("bad other address " + ctx_.Config.OtherAddress);
    other_ = other.to_uint();
    // On an any-address bind, answers leave from the other address by choice of source: it has
    // to be one of the host's.
    udp::socket probe(ctx_.Io);
    probe.open(udp::v4());
    probe.bind(udp::endpoint(other, 0), ec);
    if (ec)
      throw std::runtime_error("the other address " + ctx_.Config.OtherAddress + " is not usable: " + ec.message());
    if (primary_ != 0) addresses.push_back(*other_);
  }
  ports_[0] = port;
  ports_[1] = static_cast<uint16_t>(port + 1);
  for (uint32_t a : addresses) {
    for (uint16_t p : ports_) {
      auto s = std::make_unique<TSocket>(ctx_.Io);
      s->address = a;
      s->port = p;
      s->socket.open(udp::v4());
      s->socket.bind(udp::endpoint(asio::ip::address_v4(a), p), ec);
      if (ec) throw std::runtime_error("cannot bind UDP " + EndpointText(a, p) + ": " + ec.message());
      s->socket.non_blocking(true);
      // A flood must not overflow the queue before the rate limit sees it.
      s->socket.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024), ec);
      EnableLocalAddressInfo(s->socket.native_handle());
      sockets_.push_back(std::move(s));
    }
  }
}

void TStunSide::Start() {
  for (auto& s : sockets_) Receive(*s);
}

void TStunSide::Close() {
  asio::error_code ec;
  for (auto& s : sockets_) s->socket.close(ec);
}

std::vector<uint16_t> TStunSide::Ports() const {
  if (sockets_.empty()) return {};
  return {ports_[0], ports_[1]};
}

void TStunSide::Receive(TSocket& s) {
  PumpDatagrams(ctx_, s.socket, buffer_, [this, &s](std::string_view datagram, const TUdpPeer& from, uint32_t local) {
    OnDatagram(s, datagram, from, s.address ? s.address : local);
  });
}

TStunPlace TStunSide::PlaceOf(uint32_t local, uint16_t port) const {
  TStunPlace place;
  place.Local = {local, port};
  place.OtherPort = port == ports_[0] ? ports_[1] : ports_[0];
  if (!other_) {
    place.OtherAddress = local;  // one address: only the port changes
  } else if (local != *other_) {
    place.OtherAddress = *other_;
  } else if (primary_ != 0) {
    place.OtherAddress = primary_;
  } else {
    // Reached at the other address of an any-address bind: which of the host's addresses is
    // the main one is not known, so nothing is said of it.
    place.OtherPort = 0;
  }
  return place;
}

void TStunSide::OnDatagram(TSocket& s, std::string_view datagram, const TUdpPeer& from, uint32_t local) {
  const auto now = TServerClock::now();
  if (from.Port == 0 || !perSource_.Allow(from.Address, now)) {
    ++ctx_.Counters.Dropped;
    return;
  }
  const std::optional<TStunAnswer> answer = AnswerStun(datagram, {from.Address, from.Port}, PlaceOf(local, s.port));
  if (!answer) {
    ++ctx_.Counters.Dropped;
    return;
  }
  // The socket of the place the answer leaves from.
  for (auto& out : sockets_) {
    if (out->port != answer->From.Port) continue;
    if (out->address != 0 && out->address != answer->From.Address) continue;
    if (SendDatagramFrom(out->socket.native_handle(), answer->Bytes.data(), answer->Bytes.size(), from,
                         out->address != 0 ? 0 : answer->From.Address))
      ++ctx_.Counters.StunAnswers;
    return;
  }
}
