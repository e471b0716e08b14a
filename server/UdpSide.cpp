#include "server/UdpSide.h"

#include <algorithm>
#include <stdexcept>

#include "server/ControlSession.h"
#include "server/DatagramPump.h"
#include "server/TimeoutMappings.h"
#include "proto/CallWire.h"
#include "proto/LargeSipWire.h"
#include "proto/NatTimeoutWire.h"

namespace {

using asio::ip::udp;

constexpr size_t kLargestDatagram = 65536;

}  // namespace

TUdpSide::TUdpSide(TServerContext& ctx)
    : ctx_(ctx),
      rtp_(ctx.Io),
      timeout_(ctx.Io),
      buffer_(kLargestDatagram),
      rtpBatch_(std::make_unique<TDatagramBatch>()),
      perSource_(ctx.Config.MaxDatagramSources, ctx.Config.DatagramsPerSecond,
                 ctx.Config.DatagramBurst),
      timeoutPerAddress_(ctx.Config.MaxDatagramSources, ctx.Config.TimeoutDatagramsPerAddressPerSecond,
                         ctx.Config.TimeoutDatagramBurstPerAddress),
      rtpPacer_(0),
      rtpTimer_(ctx.Io) {}

void TUdpSide::Bind(const asio::ip::address_v4& address) {
  asio::error_code ec;
  auto fail = [&](uint16_t port) {
    throw std::runtime_error("cannot bind UDP " + EndpointText(address.to_uint(), port) + ": " +
                             ec.message());
  };
  auto open = [&](udp::socket& socket, uint16_t port) {
    socket.open(udp::v4());
    socket.bind(udp::endpoint(address, port), ec);
    if (ec) fail(port);
    socket.non_blocking(true);
    EnableLocalAddressInfo(socket.native_handle());
  };
  // The time-out test's port first: whoever waits for the SIP ports finds it bound too.
  if (!ctx_.Config.TimeoutIdleSecs.empty()) {
    open(timeout_, ctx_.Config.TimeoutPort);
    timeoutPort_ = timeout_.local_endpoint(ec).port();
  }
  for (const auto& plan : ctx_.Config.SipPorts) {
    auto s = std::make_unique<TSipSocket>(ctx_.Io);
    s->plan = plan;
    open(s->socket, plan.Port);
    // Bursts of probes from many testers must not overflow the queue while the loop is busy.
    s->socket.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024), ec);
    sip_.push_back(std::move(s));
  }
  open(rtp_, ctx_.Config.RtpPort);
  rtp_.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024), ec);
}

void TUdpSide::Start() {
  for (auto& s : sip_) Receive(*s);
  if (timeout_.is_open())
    PumpDatagrams(ctx_, timeout_, buffer_, [this](std::string_view datagram, const TUdpPeer& from, uint32_t local) {
      OnTimeoutDatagram(timeoutPort_, datagram, from, local);
    });
  PumpDatagramBatches(ctx_, rtp_, *rtpBatch_, [this](std::string_view datagram, const TUdpPeer& from, uint32_t local) {
    OnRtpDatagram(datagram, from, local);
  });
}

void TUdpSide::Close() {
  rtpTimer_.cancel();
  asio::error_code ec;
  for (auto& s : sip_) s->socket.close(ec);
  rtp_.close(ec);
  timeout_.close(ec);
}

uint16_t TUdpSide::TimeoutPort() const { return timeoutPort_; }

uint16_t TUdpSide::RtpPort() const {
  asio::error_code ec;
  return rtp_.local_endpoint(ec).port();
}

void TUdpSide::Receive(TSipSocket& s) {
  PumpDatagrams(ctx_, s.socket, buffer_, [this, &s](std::string_view datagram, const TUdpPeer& from, uint32_t local) {
    OnDatagram(s, datagram, from, local);
  });
}

void TUdpSide::OnDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                          uint32_t local) {
  // An older tester runs the time-out test on the SIP ports.
  if (nat_timeout::IsTimeoutDatagram(datagram)) return OnTimeoutDatagram(s.plan.Port, datagram, from, local);
  if (large_sip::IsAsk(datagram)) return OnLargeAsk(s, datagram, from, local);
  bool byToken = false;
  TControlSession* session = ctx_.Sessions.Find(datagram, from.Address, byToken);
  auto drop = [&](const char* why) {
    ++ctx_.Counters.Dropped;
    ctx_.StrangerLog([&] {
      return "datagram of " + std::to_string(datagram.size()) + " bytes on UDP port " +
             std::to_string(s.plan.Port) + " from " + EndpointText(from.Address, from.Port) +
             " dropped: " + why;
    });
  };
  // Without a token, only the one session of the source address may take it, and only while
  // it has not heard its tester with the token.
  if (!session || (!byToken && !session->TakesByAddress())) return drop("no session");
  // The handler may close the session; keep it alive until it returns.
  const auto keep = session->shared_from_this();
  const auto now = TServerClock::now();
  if (byToken) {
    // The token's session pays, and no address: testers behind one address do not share.
    if (!session->OnTokenDatagram(s, datagram, from, local, now)) drop("over the session's budget");
    return;
  }
  if (!perSource_.Allow(from.Address, now)) return drop("over the rate limit");
  if (!session->OnAddressDatagram(s, datagram, from, local, now)) drop("too many held by address");
}

// The NAT time-out test's datagrams: never echoed, taken only with an open session's token.
void TUdpSide::OnTimeoutDatagram(uint16_t port, std::string_view datagram, const TUdpPeer& from, uint32_t local) {
  const auto request = nat_timeout::ParseRequest(datagram);
  TControlSession* session = request ? ctx_.Sessions.FindByTokenText(request->Token) : nullptr;
  if (session) {
    const auto keep = session->shared_from_this();
    if (session->OnTimeoutRequest(*request, datagram.size(), from, local, port, TServerClock::now())) return;
  }
  ++ctx_.Counters.Dropped;
  ctx_.StrangerLog([&] {
    return "NAT time-out datagram of " + std::to_string(datagram.size()) + " bytes on UDP port " +
           std::to_string(port) + " from " + EndpointText(from.Address, from.Port) + " dropped: " +
           (!request ? "not readable" : !session ? "no session" : "not taken by its session");
  });
}

// Requests for large answers: taken only with an open session's token, from its own address.
void TUdpSide::OnLargeAsk(TSipSocket& s, std::string_view datagram, const TUdpPeer& from, uint32_t local) {
  const auto ask = large_sip::ParseAsk(datagram);
  TControlSession* session = ask ? ctx_.Sessions.FindByTokenText(ask->Token) : nullptr;
  if (session) {
    const auto keep = session->shared_from_this();
    if (session->OnLargeAsk(s, *ask, datagram, from, local, TServerClock::now())) return;
  }
  ++ctx_.Counters.Dropped;
  ctx_.StrangerLog([&] {
    return "request for large answers of " + std::to_string(datagram.size()) + " bytes on UDP port " +
           std::to_string(s.plan.Port) + " from " + EndpointText(from.Address, from.Port) + " dropped: " +
           (!ask ? "not readable" : !session ? "no session" : "not taken by its session");
  });
}

// The test call's packets: taken only with an open session's token, from that session's own
// address; anything else on the RTP port is a stranger's.
void TUdpSide::OnRtpDatagram(std::string_view datagram, const TUdpPeer& from, uint32_t local) {
  const auto packet = call_wire::ParsePacket(datagram);
  TControlSession* session = packet ? ctx_.Sessions.FindByTokenText(packet->Token) : nullptr;
  const char* why = !packet                         ? "not a call packet"
                    : !session                      ? "no session"
                    : from.Address != session->Peer() ? "not from its session's address"
                                                      : nullptr;
  if (!why) {
    const auto keep = session->shared_from_this();
    if (session->OnCallPacket(*packet, from, local, TServerClock::now())) return;
    why = "not taken by its session";
  }
  ++ctx_.Counters.Dropped;
  ctx_.StrangerLog([&] {
    return "datagram of " + std::to_string(datagram.size()) + " bytes on RTP port " + std::to_string(RtpPort()) +
           " from " + EndpointText(from.Address, from.Port) + " dropped: " + why;
  });
}

void TUdpSide::StartRtpBurst(const std::shared_ptr<TControlSession>& session, const TUdpPeer& to,
                             uint32_t local, TRtpStream stream, int packets) {
  if (packets <= 0) return;
  rtpPacer_.Add({session, to, local, stream, packets, session->CallBegun()});
  if (!rtpTicking_) PaceRtp();  // the first packet at once
}

void TUdpSide::PaceRtp() {
  // Each call running takes its 50 packets a second off the rate; the bursts share the rest.
  const long long rate = ctx_.Config.RtpPacketsPerSecond,
                  calls = static_cast<long long>(ctx_.CallShare.Size()) * call_wire::kPacketsPerSecond;
  rtpPacer_.SetPerTick(static_cast<size_t>(std::max(0LL, rate - calls) * ctx_.Config.RtpIntervalMs / 1000));
  rtpPacer_.Tick([this](TRtpBurst& b) {
    const auto session = b.session.lock();
    // The tester's own call would open its NAT to the rest of the burst.
    if (!session || session->Closed() || (session->CallBegun() && !b.afterCall)) return false;
    if (Send(rtp_, session->Peer(), b.to, b.local, b.stream.NextPacket())) {
      session->CountRtp();
      ++ctx_.Counters.RtpPackets;
    }
    return --b.left > 0;
  });
  rtpTicking_ = !rtpPacer_.Empty();
  if (!rtpTicking_) return;
  rtpTimer_.expires_after(std::chrono::milliseconds(ctx_.Config.RtpIntervalMs));
  rtpTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || ctx_.Stopping) return;
    PaceRtp();
  });
}

bool TUdpSide::SendTimeout(uint32_t owner, const TTimeoutSend& s) {
  udp::socket* socket = s.ServerPort == timeoutPort_ && timeout_.is_open() ? &timeout_ : nullptr;
  for (auto& sip : sip_)
    if (!socket && sip->plan.Port == s.ServerPort) socket = &sip->socket;
  if (!socket || !timeoutPerAddress_.Allow(s.To.Address, TServerClock::now())) return false;
  return Send(*socket, owner, s.To, s.Local, s.Text);
}

bool TUdpSide::Send(udp::socket& socket, uint32_t owner, const TUdpPeer& to, uint32_t local,
                    std::string_view data) {
  if (!socket.is_open() || to.Address != owner) return false;
  return SendDatagramFrom(socket.native_handle(), data.data(), data.size(), to, local);
}
