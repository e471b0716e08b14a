#include "server/EchoServer.h"

#include <asio.hpp>
#include <cstdio>
#include <stdexcept>

#include "server/HttpMessage.h"
#include "server/MacList.h"
#include "server/ServerContext.h"
#include "server/SipTcpConnection.h"
#include "server/Sniffer.h"
#include "server/StunSide.h"
#include "server/UdpSide.h"
#include "proto/CallWire.h"
#include "proto/LargeSipWire.h"

namespace {

using asio::ip::tcp;
constexpr auto kHousekeeping = std::chrono::seconds(10);
constexpr size_t kTokenRandomChars = 32;

}  // namespace

std::string EndpointText(uint32_t address, uint16_t port) {
  return asio::ip::address_v4(address).to_string() + ":" + std::to_string(port);
}

std::string TServerContext::NewToken() {
  static const char hex[] = "0123456789abcdef";
  std::string token;
  do {
    token.clear();
    for (size_t i = 0; i < kTokenRandomChars / 8; ++i) {
      uint32_t r = random_();
      for (int j = 0; j < 8; ++j, r >>= 4) token += hex[r & 0xF];
    }
    // The large answers, the call and the NAT time-out test the tester may run, announced in the
    // token: an older tester takes the whole text as its token all the same.
    token += large_sip::kTokenMark;
    token += CallPlanSuffix;
    token += TimeoutPlanSuffix;
  } while (Sessions.HasToken(token));
  return token;
}

struct TEchoServer::Impl {
  Impl(TEchoServerConfig c, TLogSink l)
      : ctx(io, std::move(c), l ? std::move(l) : TLogSink(&TEchoServer::StderrLog)),
        udp(ctx),
        stun(ctx),
        acceptor(io),
        signals(io),
        housekeeping(io),
        summaries(io),
        acceptRetry(io) {
    ctx.Udp = &udp;
  }

  asio::io_context io{1};
  TServerContext ctx;
  TUdpSide udp;
  TStunSide stun;
  tcp::acceptor acceptor;
  // SIP over TCP, one acceptor per SIP port (the UDP port's number).
  std::vector<std::unique_ptr<tcp::acceptor>> sipAcceptors;
  asio::signal_set signals;
  asio::steady_timer housekeeping;
  asio::steady_timer summaries;
  asio::steady_timer acceptRetry;
  size_t macEntries = 0;

  void Bind();
  void LoadList();
  void StartAccept();
  void StartSipAccept(tcp::acceptor& a, uint16_t port);
  // sipPort 0: a connection to the control port.
  void Accept(tcp::socket socket, uint16_t sipPort = 0);
  void Housekeeping();
  void Summaries();
  void DoStop(const std::string& why);
};

void TEchoServer::Impl::Bind() {
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(ctx.Config.Address, ec);
  if (ec) throw std::runtime_error("bad address " + ctx.Config.Address);
  const uint16_t port = ctx.Config.ControlPort;
  acceptor.open(tcp::v4());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(tcp::endpoint(address, port), ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("cannot bind TCP " + EndpointText(address.to_uint(), port) + ": " +
                             ec.message());
  udp.Bind(address);
  if (udp.TimeoutPort() != 0) ctx.TimeoutPlanSuffix = ctx.Config.TimeoutPlanSuffix(udp.TimeoutPort());
  // Calls carry the whole token in each packet: a token too long for them announces none.
  ctx.CallPlanSuffix = call_wire::PlanSuffix({ctx.Config.CallMaxSeconds, udp.RtpPort()});
  if (kTokenRandomChars + large_sip::kTokenMark.size() + ctx.CallPlanSuffix.size() + ctx.TimeoutPlanSuffix.size() >
      call_wire::kMaxTokenBytes) {
    ctx.Log("no test calls: the NAT time-out plan leaves no room for them in the token");
    ctx.CallPlanSuffix.clear();
  }
  for (const auto& sip : udp.SipSockets()) {
    const uint16_t sipPort = sip->socket.local_endpoint(ec).port();
    auto a = std::make_unique<tcp::acceptor>(io);
    a->open(tcp::v4());
    a->set_option(tcp::acceptor::reuse_address(true));
    a->bind(tcp::endpoint(address, sipPort), ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
      throw std::runtime_error("cannot bind TCP " + EndpointText(address.to_uint(), sipPort) + ": " +
                               ec.message());
    sipAcceptors.push_back(std::move(a));
  }
  stun.Bind(address);
}

void TEchoServer::Impl::LoadList() {
  const std::string& dir = ctx.Config.IeeeDataDir;
  if (dir.empty()) return;
  try {
    TMacList list = BuildMacList(dir);
    if (list.Entries > 0) {
      ctx.List.Body = std::make_shared<const std::string>(std::move(list.Body));
      ctx.List.LastModified = list.LastModified;
      macEntries = list.Entries;
      ctx.Log("vendor list: " + std::to_string(list.Entries) + " entries from " +
              std::to_string(list.Sources.size()) + " files in " + dir + ", last modified " +
              HttpDate(list.LastModified));
    } else {
      ctx.Log("vendor list: no IEEE registry files in " + dir +
              "; /download/MAC.CSV answers 404");
    }
  } catch (const std::exception& e) {
    ctx.Log(std::string("vendor list not built: ") + e.what());
  }
}

void TEchoServer::Impl::StartAccept() {
  acceptor.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
    if (ctx.Stopping) return;
    if (ec) {
      // Out of descriptors, say: wait a little instead of spinning.
      ctx.AcceptFailed("accept failed: " + ec.message());
      acceptRetry.expires_after(std::chrono::milliseconds(100));
      acceptRetry.async_wait([this](const asio::error_code& e) {
        if (!e && !ctx.Stopping) StartAccept();
      });
      return;
    }
    Accept(std::move(socket));
    StartAccept();
  });
}

void TEchoServer::Impl::StartSipAccept(tcp::acceptor& a, uint16_t port) {
  a.async_accept([this, &a, port](const asio::error_code& ec, tcp::socket socket) {
    if (ctx.Stopping) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      ctx.AcceptFailed("accept failed on TCP port " + std::to_string(port) + ": " + ec.message());
      auto retry = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
      retry->async_wait([this, &a, port, retry](const asio::error_code& e) {
        if (!e && !ctx.Stopping) StartSipAccept(a, port);
      });
      return;
    }
    Accept(std::move(socket), port);
    StartSipAccept(a, port);
  });
}

void TEchoServer::Impl::Accept(tcp::socket socket, uint16_t sipPort) {
  ++ctx.Counters.Connections;
  asio::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec || !peer.address().is_v4()) return;
  const uint32_t address = peer.address().to_v4().to_uint();
  socket.set_option(tcp::no_delay(true), ec);
  const auto now = TServerClock::now();
  if (sipPort != 0) {
    // Under the places of its address, not one of its own. SIP has no word for busy that the
    // tester reads: a refused one is closed at once.
    if (!ctx.Admission.AddSipTcp(address)) {
      ++ctx.Counters.Refused;
      ctx.StrangerLog([&] {
        return "SIP over TCP " + EndpointText(address, peer.port()) + " refused and closed at once";
      });
      socket.close(ec);
      return;
    }
    const TConnectionId id = ctx.NextConnectionId++;
    ++ctx.Counters.OpenConnections;
    auto c = std::make_shared<TSipTcpConnection>(ctx, std::move(socket), id, address, peer.port(), sipPort, now);
    ctx.Connections.emplace(id, c);
    c->Start({});
    return;
  }
  const TAdmission::TVerdict verdict = ctx.Admission.Decide(address);
  if (!verdict.Admit) {
    ++ctx.Counters.Refused;
    if (ctx.Refusing >= ctx.Config.MaxBusyAnswers) {
      ctx.StrangerLog([&] {
        return "connection " + EndpointText(address, peer.port()) + " refused and closed at once";
      });
      socket.close(ec);
      return;
    }
    ++ctx.Refusing;
    const TConnectionId id = ctx.NextConnectionId++;
    auto c = std::make_shared<TSniffer>(ctx, std::move(socket), id, false, address, peer.port(), now);
    ctx.Connections.emplace(id, c);
    c->Start({});
    return;
  }
  if (verdict.Evict) {
    if (auto it = ctx.Connections.find(*verdict.Evict); it != ctx.Connections.end()) {
      const auto victim = it->second;
      ++ctx.Counters.Evicted;
      victim->MakeRoom(EndpointText(address, peer.port()));
    }
  }
  const TConnectionId id = ctx.NextConnectionId++;
  ctx.Admission.Add(id, address, now);
  ++ctx.Counters.OpenConnections;
  auto c = std::make_shared<TSniffer>(ctx, std::move(socket), id, true, address, peer.port(), now);
  ctx.Connections.emplace(id, c);
  c->Start({});
}

void TEchoServer::Impl::Housekeeping() {
  housekeeping.expires_after(kHousekeeping);
  housekeeping.async_wait([this](const asio::error_code& ec) {
    if (ec || ctx.Stopping) return;
    ctx.NewStrangerPeriod();
    udp.Housekeeping(TServerClock::now());
    stun.Housekeeping(TServerClock::now());
    Housekeeping();
  });
}

void TEchoServer::Impl::Summaries() {
  summaries.expires_after(std::chrono::milliseconds(ctx.Config.LogSummaryMs));
  summaries.async_wait([this](const asio::error_code& ec) {
    if (ec || ctx.Stopping) return;
    ctx.FlushTally();
    Summaries();
  });
}

void TEchoServer::Impl::DoStop(const std::string& why) {
  if (ctx.Stopping) return;
  ctx.Stopping = true;
  ctx.Log("stopping: " + why);
  asio::error_code ec;
  acceptor.close(ec);
  for (auto& a : sipAcceptors) a->close(ec);
  udp.Close();
  stun.Close();
  signals.cancel(ec);
  housekeeping.cancel();
  summaries.cancel();
  acceptRetry.cancel();
  std::vector<std::shared_ptr<TTcpConnection>> open;  // Close erases from the register
  for (const auto& [id, c] : ctx.Connections) open.push_back(c);
  for (const auto& c : open) c->Close("server stopping");
  ctx.FlushTally();
  io.stop();
}

TEchoServer::TEchoServer(TEchoServerConfig config, TLogSink log)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(log))) {
  impl_->Bind();
  impl_->LoadList();
}

TEchoServer::~TEchoServer() = default;

void TEchoServer::HandleSignals() {
  Impl& s = *impl_;
  s.signals.add(SIGINT);
  s.signals.add(SIGTERM);
  s.signals.async_wait([&s](const asio::error_code& ec, int signal) {
    if (!ec) s.DoStop(signal == SIGINT ? "SIGINT" : "SIGTERM");
  });
}

void TEchoServer::Run() {
  Impl& s = *impl_;
  auto StunText = [&]() -> std::string {
    const std::vector<uint16_t> stun = StunPorts();
    if (stun.empty()) return "";
    std::string text = ", STUN " + std::to_string(stun[0]) + " " + std::to_string(stun[1]);
    if (!s.ctx.Config.OtherAddress.empty()) text += " (other address " + s.ctx.Config.OtherAddress + ")";
    return text;
  };
  if (s.ctx.Stopping) return;
  std::string ports;
  for (const auto& sip : s.udp.SipSockets()) ports += " " + std::to_string(sip->plan.Port);
  s.ctx.Log("serving on " + s.ctx.Config.Address + ": TCP " + std::to_string(ControlPort()) +
            ", UDP and TCP" + ports + ", RTP from " + std::to_string(RtpPort()) + StunText() +
            (TimeoutPort() != 0 ? ", NAT time-out test on UDP " + std::to_string(TimeoutPort()) : "") +
            (s.ctx.CallPlanSuffix.empty() ? ", no test calls"
                                          : ", test calls up to " + std::to_string(s.ctx.Config.CallMaxSeconds) +
                                                " s, " + std::to_string(s.ctx.Config.CallsAtOnce()) +
                                                " at once (" + std::to_string(s.ctx.Config.CallsPerNetwork()) +
                                                " per network, " + std::to_string(s.ctx.Config.CallsPerAddress()) +
                                                " per address)"));
  if (s.ctx.Config.IdleTimeoutMs > 0)
    s.ctx.Log("--idle-timeout is no longer used: a session ends with its test");
  s.StartAccept();
  for (size_t i = 0; i < s.sipAcceptors.size(); ++i) {
    asio::error_code ec;
    s.StartSipAccept(*s.sipAcceptors[i], s.sipAcceptors[i]->local_endpoint(ec).port());
  }
  s.udp.Start();
  s.stun.Start();
  s.Housekeeping();
  s.Summaries();
  s.io.run();
}

void TEchoServer::Stop() {
  Impl& s = *impl_;
  asio::post(s.io, [&s] { s.DoStop("stop requested"); });
}

uint16_t TEchoServer::ControlPort() const {
  asio::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

uint16_t TEchoServer::RtpPort() const { return impl_->udp.RtpPort(); }

std::vector<uint16_t> TEchoServer::SipPorts() const {
  std::vector<uint16_t> ports;
  asio::error_code ec;
  for (const auto& s : impl_->udp.SipSockets()) ports.push_back(s->socket.local_endpoint(ec).port());
  return ports;
}

std::vector<uint16_t> TEchoServer::StunPorts() const { return impl_->stun.Ports(); }

uint16_t TEchoServer::TimeoutPort() const { return impl_->udp.TimeoutPort(); }

size_t TEchoServer::MacListEntries() const { return impl_->macEntries; }

TEchoServerCounters TEchoServer::Counters() const {
  const TAtomicCounters& c = impl_->ctx.Counters;
  return {c.Connections.load(), c.Refused.load(),      c.Evicted.load(),
          c.Sessions.load(),    c.Echoes.load(),       c.Dropped.load(),
          c.NatReports.load(),  c.RtpPackets.load(),   c.HttpRequests.load(),
          c.OpenConnections.load(), c.StunAnswers.load(), c.Calls.load(),
          c.CallsBusy.load(),   c.CallPackets.load()};
}

void TEchoServer::StderrLog(const std::string& line) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::string date = HttpDate(t);  // "Sun, 06 Nov 1994 08:49:37 GMT"
  std::string out = date.substr(5, 20) + " " + line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
}
