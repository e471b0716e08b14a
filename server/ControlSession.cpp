#include "server/ControlSession.h"

#include <cstdio>

#include "server/SipParse.h"

namespace {

int64_t Us(TServerClock::duration d) { return std::chrono::duration_cast<std::chrono::microseconds>(d).count(); }

long long MsSince(TServerClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TServerClock::now() - t).count();
}

constexpr size_t kMaxHeld = 8;  // datagrams by address waiting at once
const std::vector<int> kNoIdleTimes;  // a server without the NAT time-out test

// The check a datagram is, INVITE or not and to which server port; none but the tester's
// REGISTERs and ordinary INVITEs.
std::optional<std::pair<bool, uint16_t>> CheckOf(std::string_view text, bool natInvite,
                                                 uint16_t port) {
  if (text.substr(0, 9) == "REGISTER ") return std::pair{false, port};
  if (text.substr(0, 7) == "INVITE " && !natInvite) return std::pair{true, port};
  return std::nullopt;
}

}  // namespace

TControlSession::TControlSession(TServerContext& ctx, asio::ip::tcp::socket socket,
                                 TConnectionId id, bool admitted, uint32_t peer,
                                 uint16_t peerPort, TServerClock::time_point started)
    : TTcpConnection(ctx, std::move(socket), id, admitted, peer, peerPort, started),
      input_(ctx.Config.MaxInputAfterGreeting),
      budget_(ctx.Config.SessionDatagramsPerSecond, ctx.Config.SessionDatagramBurst,
              TServerClock::now()),
      life_(ctx.Config.SessionLife(), TServerClock::now()),
      fallback_(ctx.Config.AddressHoldMs, kMaxHeld),
      holdTimer_(ctx.Io),
      timeouts_(ctx.TimeoutPlanSuffix.empty() ? kNoIdleTimes : ctx.Config.TimeoutIdleSecs, ctx.Config.TimeoutRefreshSecs),
      timeoutTimer_(ctx.Io) {}

void TControlSession::Start(std::string alreadyRead) {
  asio::error_code ec;
  const auto local = socket_.local_endpoint(ec);
  if (!ec && local.address().is_v4()) local_ = local.address().to_v4().to_uint();
  token_ = ctx_.NewToken();
  ctx_.Sessions.Add(token_, peer_, this);
  ++ctx_.Counters.Sessions;
  Send(GreetingAnswer(token_));
  if (closed_) return;
  FollowLife();
  OnRead(std::string_view(alreadyRead).substr(kControlGreeting.size()));
}

void TControlSession::OnRead(std::string_view bytes) {
  if (!input_.Take(bytes.size()))
    Close("cut off: too many bytes after the greeting");
  else
    Read();
}

void TControlSession::FollowLife() {
  if (closed_) return;
  // The timer also wakes the session when its protection ends, to give it up.
  const auto until = life_.ProtectedUntil();
  const auto deadline = life_.Deadline();
  const bool protect = TServerClock::now() < until;
  Protect(protect);
  ArmTimerAt(protect ? std::min(until, deadline) : deadline, "life");
}

void TControlSession::OnTimeout(const std::string&) {
  if (TServerClock::now() < life_.Deadline()) {
    FollowLife();
    return;
  }
  Close(std::string("ended: ") + life_.Why());
}

bool TControlSession::OnTokenDatagram(TSipSocket& s, std::string_view datagram,
                                      const TUdpPeer& from, uint32_t local,
                                      TServerClock::time_point now) {
  const bool natInvite = IsNatTestInvite(datagram.substr(0, datagram.find('\0')));
  if (!budget_.Take(natInvite, s.plan.Port, now)) return false;
  // The tester is heard with its token: datagrams by address are a stranger's from now on.
  fallback_.OnToken();
  holdTimer_.cancel();
  Take(s, datagram, from, local, true, now);
  return true;
}

bool TControlSession::OnTcpMessage(std::string_view message, uint16_t serverPort, const std::string& sender,
                                   TServerClock::time_point now) {
  if (closed_ || !budget_.Take(false, serverPort, now)) return false;
  Send(EchoFrame(message, serverPort, sender, true, true));
  NoteLargeTcp(message.size(), serverPort, sender);
  ++ctx_.Counters.Echoes;
  ++tcpEchoes_;
  if (closed_) return true;
  const std::string_view text = message.substr(0, message.find('\0'));
  life_.OnTcpMessage(CheckOf(text, IsNatTestInvite(text), serverPort), now);
  FollowLife();
  return true;
}

bool TControlSession::OnAddressDatagram(TSipSocket& s, std::string_view datagram,
                                        const TUdpPeer& from, uint32_t local,
                                        TServerClock::time_point now) {
  const bool wasIdle = fallback_.Held() == 0;
  if (!fallback_.Offer({&s, std::string(datagram), from, local}, now)) return false;
  if (wasIdle) ArmHold();
  return true;
}

void TControlSession::ArmHold() {
  const auto due = fallback_.NextDue();
  if (!due) return;
  holdTimer_.expires_at(*due);
  holdTimer_.async_wait([self = SharedAs<TControlSession>()](const asio::error_code& ec) {
    if (ec || self->closed_) return;
    const auto now = TServerClock::now();
    for (Held& h : self->fallback_.TakeDue(now)) {
      self->Take(*h.socket, h.datagram, h.from, h.local, false, now);
      if (self->closed_) return;
    }
    self->ArmHold();
  });
}

void TControlSession::Take(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                           uint32_t local, bool byToken, TServerClock::time_point now) {
  const uint16_t serverPort = s.plan.Port;
  Send(EchoFrame(datagram, serverPort, EndpointText(from.Address, from.Port), byToken));
  if (byToken && from.Address == peer_) large_.OnDatagram(serverPort, from.Address, from.Port, datagram.size());
  ++echoes_;
  ++ctx_.Counters.Echoes;
  if (closed_) return;
  const std::string_view text = datagram.substr(0, datagram.find('\0'));
  const bool natInvite = IsNatTestInvite(text);
  life_.OnDatagram(CheckOf(text, natInvite, serverPort), now);

  // Only the token's holder may touch the NAT session test: a datagram by address neither
  // starts it nor moves its reports.
  auto run = natRuns_.find(serverPort);
  if (byToken && run != natRuns_.end()) {
    NatRun& r = *run->second;
    if (r.dest.Address == from.Address && r.dest.Port == from.Port && r.next < r.plan.size()) {
      r.lastActivity = now;  // the mapping was used: the idle gap starts again
      ArmNatRun(r);
    }
  } else if (byToken && natInvite && !s.plan.ScheduleMs.empty() && life_.MayStartNatRun(now)) {
    // Reports go back to the INVITE's source, which must be this session's own address: a
    // forged source cannot aim them at another host.
    if (from.Address == peer_) StartNatRun(s, from, local);
    // One burst per audio port, to the control peer's own address, whatever the SDP names.
    if (const auto port = SdpAudioPort(text);
        port && ctx_.Config.RtpPackets > 0 && rtpPorts_.insert(*port).second)
      StartRtpBurst(*port);
  }
  FollowLife();
}

void TControlSession::NoteLargeTcp(size_t bytes, uint16_t serverPort, const std::string& sender) {
  // Only a message from the session's own address pays for answers.
  if (sender.rfind(asio::ip::address_v4(peer_).to_string() + ":", 0) == 0)
    large_.OnTcpMessage(serverPort, bytes);
}

bool TControlSession::OnLargeAsk(TSipSocket& s, const large_sip::TAsk& ask, std::string_view datagram,
                                 const TUdpPeer& from, uint32_t local, TServerClock::time_point now) {
  // The answers go back to the request's source: the session's own address, and a port its SIP
  // datagrams came from.
  if (closed_ || ask.Token != token_ || from.Address != peer_ || !budget_.Take(false, s.plan.Port, now)) return false;
  Send(EchoFrame(datagram, s.plan.Port, EndpointText(from.Address, from.Port), true));
  ++echoes_;
  ++ctx_.Counters.Echoes;
  if (closed_) return true;
  for (int bytes : large_.Grant(s.plan.Port, from.Address, from.Port, ask.Sizes)) {
    // Each costs the session's budget as the large probe that paid for it did.
    if (!budget_.Take(false, s.plan.Port, now)) break;
    const std::string text = large_sip::DownText(token_, bytes);
    if (!text.empty()) ctx_.Udp->Send(s.socket, peer_, from, local, text);
  }
  FollowLife();
  return true;
}

void TControlSession::StartNatRun(TSipSocket& s, const TUdpPeer& from, uint32_t local) {
  auto r = std::make_unique<NatRun>(ctx_.Io, s, from, local);
  // A default schedule starts with its first report; the rest waits until it is known whether
  // the session's other port is tested too, which its test INVITEs, sent right after these,
  // tell by then.
  TNatReportPlan plan = NatReportPlan(ctx_.Config, s.plan, std::nullopt);
  r->plan = std::move(plan.GapsMs);
  r->decided = plan.Decided;
  r->lastActivity = TServerClock::now();
  life_.OnNatRunStarted(s.plan.Port, r->plan[0], r->lastActivity);
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
    r.plan = NatReportPlan(ctx_.Config, r.socket.plan, natRuns_.size()).GapsMs;
    r.decided = true;
  }
  std::optional<int> next;
  if (r.next + 1 < r.plan.size()) next = r.plan[r.next + 1];
  const std::string text = NatReportText(MsSince(r.lastActivity), next);
  if (ctx_.Udp->Send(r.socket.socket, peer_, r.dest, r.local, text)) ++ctx_.Counters.NatReports;
  r.lastActivity = TServerClock::now();
  life_.OnReport(r.socket.plan.Port, next, r.lastActivity);
  if (++r.next < r.plan.size()) ArmNatRun(r);
  FollowLife();
}

bool TControlSession::OnTimeoutRequest(const nat_timeout::TRequest& r, size_t size, const TUdpPeer& from,
                                       uint32_t local, uint16_t serverPort, TServerClock::time_point now) {
  // Its datagrams go back to the request's source, which must be this session's own address.
  if (closed_ || token_ != r.Token || from.Address != peer_) return false;
  const auto answer = timeouts_.Take(r, size, from, local, serverPort, life_.MayOpenTimeoutMapping(now), now);
  if (!answer) return false;
  SendTimeout(*answer);
  if (const auto last = timeouts_.LastDue()) life_.OnTimeoutDue(*last);
  ArmTimeouts();
  FollowLife();
  return true;
}

void TControlSession::ArmTimeouts() {
  const auto due = timeouts_.NextDue();
  if (!due) return;
  timeoutTimer_.expires_at(*due);
  timeoutTimer_.async_wait([self = SharedAs<TControlSession>()](const asio::error_code& ec) {
    if (ec || self->closed_) return;
    self->SendTimeouts();
  });
}

void TControlSession::SendTimeouts() {
  const auto now = TServerClock::now();
  for (const TTimeoutSend& s : timeouts_.TakeDue(token_, now)) SendTimeout(s);
  if (timeouts_.AllFinished()) life_.OnTimeoutDone(now);
  ArmTimeouts();
  FollowLife();
}

void TControlSession::SendTimeout(const TTimeoutSend& s) {
  if (ctx_.Udp->SendTimeout(peer_, s)) {
    ++timeoutSent_;
    ++ctx_.Counters.NatReports;
  }
}

bool TControlSession::OnCallPacket(const call_wire::TPacket& p, const TUdpPeer& from, uint32_t local,
                                   TServerClock::time_point now) {
  // Its stream goes back to the first packet's source, which must be this session's own address.
  if (closed_ || ctx_.CallPlanSuffix.empty() || p.Token != token_ || from.Address != peer_) return false;
  if (!call_) {
    if (callBusy_) return false;
    // No room, or its network or address holds its share already: a call is never cut for another.
    if (!ctx_.CallShare.Take(peer_)) {
      callBusy_ = true;
      ++ctx_.Counters.CallsBusy;
      call_wire::TReport busy;
      busy.Busy = true;
      Send(TextFrame(call_wire::ReportText(busy)));
      return true;
    }
    StartCall(from, local, now);
  }
  Call& c = *call_;
  if (c.over || !c.receiver.Take(p.Index, p.Timestamp, Us(now.time_since_epoch()))) return false;
  c.latest = now;
  c.latestSentUs = p.TimeUs;
  return true;
}

void TControlSession::StartCall(const TUdpPeer& from, uint32_t local, TServerClock::time_point now) {
  const int seconds = ctx_.Config.CallMaxSeconds;
  call_ = std::make_unique<Call>(ctx_.Io, static_cast<size_t>(seconds + 1) * call_wire::kPacketsPerSecond);
  Call& c = *call_;
  c.dest = from;
  c.local = local;
  c.first = c.latest = now;
  c.ssrc = ctx_.Random();
  c.firstTimestamp = ctx_.Random();
  c.firstSeq = static_cast<uint16_t>(ctx_.Random());
  ++ctx_.Counters.Calls;
  life_.OnCallStarted(now + std::chrono::seconds(seconds) + std::chrono::milliseconds(kCallGraceMs));
  FollowLife();
  // The first tick at once: its packet answers the one that started the call.
  c.timer.expires_at(now);
  c.timer.async_wait([self = SharedAs<TControlSession>()](const asio::error_code& ec) {
    if (!ec && !self->closed_) self->TickCall();
  });
}

void TControlSession::TickCall() {
  Call& c = *call_;
  const auto now = TServerClock::now();
  const auto packetTime = std::chrono::milliseconds(call_wire::kPacketMs);
  // Ticks are counted from the first packet's arrival: one the loop missed counts as skipped.
  const auto tick = (now - c.first) / packetTime;
  switch (CallStep(c.receiver.Received(), c.sent, now, c.first, c.latest, ctx_.Config.CallMaxSeconds)) {
    case TCallStep::End:
      return EndCall(true);
    case TCallStep::Send: {
      call_wire::TPacket p;
      p.Seq = static_cast<uint16_t>(c.firstSeq + c.sent);
      // A skipped tick moves the timestamp on as sampling time passes, never the sequence.
      p.Timestamp = c.firstTimestamp + static_cast<uint32_t>(tick * call_wire::kTimestampStep);
      p.Ssrc = c.ssrc;
      p.Marker = c.sent == 0;
      p.Index = static_cast<uint32_t>(c.sent);
      p.TimeUs = c.latestSentUs;
      p.HoldUs = static_cast<uint32_t>(Us(now - c.latest));
      p.Token = token_;
      ++c.sent;
      if (ctx_.Udp->SendCallPacket(peer_, c.dest, c.local, call_wire::PacketBytes(p))) ++ctx_.Counters.CallPackets;
      break;
    }
    case TCallStep::Skip:
      break;
  }
  c.timer.expires_at(c.first + (tick + 1) * packetTime);
  c.timer.async_wait([self = SharedAs<TControlSession>()](const asio::error_code& ec) {
    if (!ec && !self->closed_) self->TickCall();
  });
}

void TControlSession::EndCall(bool report) {
  Call& c = *call_;
  if (c.over) return;
  c.over = true;
  c.timer.cancel();
  ctx_.CallShare.Give(peer_);
  if (!report) return;
  life_.OnCallDone(TServerClock::now());
  Send(TextFrame(call_wire::ReportText(c.receiver.Report(c.sent))));
  FollowLife();
}

void TControlSession::StartRtpBurst(uint16_t port) {
  ctx_.Udp->StartRtpBurst(SharedAs<TControlSession>(), TUdpPeer{peer_, port}, local_,
                          TRtpStream(ctx_.Random(), static_cast<uint16_t>(ctx_.Random()), ctx_.Random()),
                          ctx_.Config.RtpPackets);
}

void TControlSession::Send(std::string data) {
  if (closed_) return;
  if (!writing_) {
    // Straight into the socket when it has room: only what it cannot take waits here.
    asio::error_code ec;
    const size_t n = socket_.write_some(asio::buffer(data), ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
      Close("write failed: " + ec.message());
      return;
    }
    bytesOut_ += n;
    if (n == data.size()) return;
    data.erase(0, n);
  }
  if (pendingOut_ + data.size() > ctx_.Config.MaxPendingOutput || !Hold(pendingOut_ + data.size())) {
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
                      self->Hold(self->pendingOut_);
                      self->out_.pop_front();
                      if (self->out_.empty())
                        self->writing_ = false;
                      else
                        self->WriteNext();
                    });
}

void TControlSession::StopOwn() {
  holdTimer_.cancel();
  for (auto& [port, run] : natRuns_) run->timer.cancel();
  timeoutTimer_.cancel();
  if (call_) EndCall(false);
  if (!token_.empty()) ctx_.Sessions.Remove(token_, peer_, this);
}

void TControlSession::LogEnd(const std::string& who, const std::string& duration,
                             const std::string& why) {
  // A session that never reached its checks (at most NAT test INVITEs, time-out requests or a
  // call) gets no line of its own: it is summed, whatever it sent.
  if (!life_.Checked()) return ctx_.Tally.Count(madeRoom_ ? TTallied::MadeRoom : TTallied::NoProbe, peer_);
  std::string call = callBusy_ ? "busy" : "none";
  if (call_) {
    char jitter[32];
    std::snprintf(jitter, sizeof jitter, "%.1f", static_cast<double>(call_->receiver.JitterUs()) / 1000);
    call = std::to_string(call_->receiver.Received()) + " received, " + std::to_string(call_->sent) + " sent, jitter " +
           jitter + " ms";
  }
  ctx_.OwnLog(peer_, "session " + who + " token " + token_.substr(0, 8) + " " + duration + ": " +
           std::to_string(echoes_) + " echoes, NAT test " +
           (natPorts_.empty() ? "none" : natPorts_) + ", " + std::to_string(rtpSent_) +
           " RTP packets, " + std::to_string(tcpEchoes_) + " echoes over TCP, NAT time-out test " +
           (timeouts_.Size() == 0 ? "none" : std::to_string(timeouts_.Size()) + " mappings, " +
                                                std::to_string(timeoutSent_) + " datagrams") +
           ", call " + call + "; " + why);
}
