#include "server/ControlSession.h"

#include "server/SipParse.h"

namespace {

long long MsSince(TServerClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TServerClock::now() - t).count();
}

}  // namespace

TControlSession::TControlSession(TServerContext& ctx, asio::ip::tcp::socket socket,
                                 uint32_t peer, uint16_t peerPort,
                                 TServerClock::time_point started)
    : TTcpConnection(ctx, std::move(socket), peer, peerPort, started),
      input_(ctx.Config.MaxInputAfterGreeting),
      budget_{ctx.Config.SessionDatagramBurst, TServerClock::now()} {}

void TControlSession::Start(std::string alreadyRead) {
  asio::error_code ec;
  const auto local = socket_.local_endpoint(ec);
  if (!ec && local.address().is_v4()) local_ = local.address().to_v4().to_uint();
  token_ = ctx_.NewToken();
  ctx_.Sessions.Add(token_, peer_, this);
  ++ctx_.Counters.Sessions;
  Send(GreetingAnswer(token_));
  if (closed_) return;
  ArmTimer(ctx_.Config.EffectiveIdleTimeoutMs(), "idle");
  OnRead(std::string_view(alreadyRead).substr(kControlGreeting.size()));
}

void TControlSession::OnRead(std::string_view bytes) {
  if (!input_.Take(bytes.size()))
    Close("cut off: too many bytes after the greeting");
  else
    Read();
}

void TControlSession::OnDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                                 uint32_t local, bool matchedByToken) {
  const uint16_t serverPort = s.plan.Port;
  Send(EchoFrame(datagram, serverPort, EndpointText(from.Address, from.Port), matchedByToken));
  ++echoes_;
  ++ctx_.Counters.Echoes;
  if (closed_) return;
  ArmTimer(ctx_.Config.EffectiveIdleTimeoutMs(), "idle");

  auto run = natRuns_.find(serverPort);
  if (run != natRuns_.end()) {
    NatRun& r = *run->second;
    if (r.dest.Address == from.Address && r.dest.Port == from.Port && r.next < r.plan.size()) {
      r.lastActivity = TServerClock::now();  // the mapping was used: the idle gap starts again
      ArmNatRun(r);
    }
    return;
  }
  const std::string_view text = datagram.substr(0, datagram.find('\0'));
  if (s.plan.ScheduleMs.empty() || !IsNatTestInvite(text)) return;
  StartNatRun(s, from, local);
  // One burst per audio port, to the control peer's own address, whatever the SDP names.
  if (const auto port = SdpAudioPort(text);
      port && ctx_.Config.RtpPackets > 0 && rtpPorts_.insert(*port).second)
    StartRtpBurst(*port);
}

void TControlSession::StartNatRun(TSipSocket& s, const TUdpPeer& from, uint32_t local) {
  auto r = std::make_unique<NatRun>(ctx_.Io, s, from, local);
  // A default schedule starts with its first report; the rest waits until it is known whether
  // the session's other port is tested too, which its test INVITEs, sent right after these,
  // tell by then.
  r->plan = NatSchedule(ctx_.Config, s.plan, true);
  r->decided = !s.plan.Adaptive;
  if (!r->decided) r->plan.resize(1);
  r->lastActivity = TServerClock::now();
  ArmNatRun(*r);
  natPorts_ += (natPorts_.empty() ? "" : ",") + std::to_string(s.plan.Port);
  natRuns_.emplace(s.plan.Port, std::move(r));
}

void TControlSession::ArmNatRun(NatRun& r) {
  r.timer.expires_at(r.lastActivity + std::chrono::milliseconds(r.plan[r.next]));
  r.timer.async_wait([self = SharedAs<TControlSession>(), &r](const asio::error_code& ec) {
    if (ec || self->closed_) return;
    self->SendNatReport(r);
  });
}

void TControlSession::SendNatReport(NatRun& r) {
  if (!r.decided) {
    r.plan = NatSchedule(ctx_.Config, r.socket.plan, natRuns_.size() > 1);
    r.decided = true;
  }
  std::optional<int> next;
  if (r.next + 1 < r.plan.size()) next = r.plan[r.next + 1];
  const std::string text = NatReportText(MsSince(r.lastActivity), next);
  if (ctx_.Udp->Send(r.socket.socket, r.dest, r.local, text)) ++ctx_.Counters.NatReports;
  r.lastActivity = TServerClock::now();
  if (++r.next < r.plan.size()) ArmNatRun(r);
}

void TControlSession::StartRtpBurst(uint16_t port) {
  auto burst = std::make_unique<RtpBurst>(
      ctx_.Io, TUdpPeer{peer_, port},
      TRtpStream(ctx_.Random(), static_cast<uint16_t>(ctx_.Random()), ctx_.Random()));
  burst->left = ctx_.Config.RtpPackets;
  RtpBurst& b = *burst;
  bursts_.push_back(std::move(burst));
  SendRtp(b);
}

void TControlSession::SendRtp(RtpBurst& b) {
  if (ctx_.Udp->Send(ctx_.Udp->Rtp(), b.dest, local_, b.stream.NextPacket())) {
    ++rtpSent_;
    ++ctx_.Counters.RtpPackets;
  }
  if (--b.left <= 0) return;
  b.timer.expires_after(std::chrono::milliseconds(ctx_.Config.RtpIntervalMs));
  b.timer.async_wait([self = SharedAs<TControlSession>(), &b](const asio::error_code& ec) {
    if (ec || self->closed_) return;
    self->SendRtp(b);
  });
}

void TControlSession::OnTimeout(const std::string& why) {
  // A NAT session test still under way keeps the session open until its last report.
  for (const auto& [port, run] : natRuns_) {
    if (run->next < run->plan.size()) {
      ArmTimer(ctx_.Config.EffectiveIdleTimeoutMs(), why);
      return;
    }
  }
  Close("timed out: " + why);
}

void TControlSession::Send(std::string data) {
  if (closed_) return;
  if (pendingOut_ + data.size() > ctx_.Config.MaxPendingOutput) {
    Close("cut off: peer does not read");
    return;
  }
  pendingOut_ += data.size();
  out_.push_back(std::move(data));
  if (!writing_) WriteNext();
}

void TControlSession::WriteNext() {
  writing_ = true;
  asio::async_write(socket_, asio::buffer(out_.front()),
                    [self = SharedAs<TControlSession>()](const asio::error_code& ec, size_t n) {
                      if (self->closed_) return;
                      if (ec) {
                        self->Close("write failed: " + ec.message());
                        return;
                      }
                      self->bytesOut_ += n;
                      self->pendingOut_ -= self->out_.front().size();
                      self->out_.pop_front();
                      if (self->out_.empty())
                        self->writing_ = false;
                      else
                        self->WriteNext();
                    });
}

void TControlSession::StopOwn() {
  for (auto& [port, run] : natRuns_) run->timer.cancel();
  for (auto& burst : bursts_) burst->timer.cancel();
  if (!token_.empty()) ctx_.Sessions.Remove(token_, peer_, this);
}

void TControlSession::LogEnd(const std::string& who, const std::string& duration,
                             const std::string& why) {
  ctx_.Log("session " + who + " token " + token_.substr(0, 8) + " " + duration + ": " +
           std::to_string(echoes_) + " echoes, NAT test " +
           (natPorts_.empty() ? "none" : natPorts_) + ", " + std::to_string(rtpSent_) +
           " RTP packets; " + why);
}
