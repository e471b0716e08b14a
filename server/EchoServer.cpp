#include "server/EchoServer.h"

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/XorUnit.h"
#include "server/HttpMessage.h"
#include "server/MacList.h"
#include "server/RtpPacket.h"
#include "server/SipParse.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

const char kGreeting[] = {'G', 'E', 'T', ' ', '5', '0', '6', '0', '\0'};  // 9 bytes
constexpr size_t kGreetingSize = sizeof kGreeting;
const char kMacListPath[] = "/download/MAC.CSV";
constexpr auto kHousekeeping = std::chrono::seconds(10);
constexpr int kLogLinesPerPeriod = 20;  // lines about strangers' traffic per housekeeping period
constexpr size_t kMaxBuckets = 65536;   // per-address datagram counters kept at most

enum class Protocol { Undecided, Control, Http, Unknown };

// What the first bytes of a connection say it is.
Protocol Classify(const std::string& in) {
  auto startsWith = [&](std::string_view p) {
    return in.size() >= p.size() && std::string_view(in).substr(0, p.size()) == p;
  };
  auto isPrefixOf = [&](std::string_view p) {
    return in.size() < p.size() && p.substr(0, in.size()) == in;
  };
  const std::string_view greeting(kGreeting, kGreetingSize);
  if (startsWith("HEAD ") || startsWith("GET /")) return Protocol::Http;
  if (startsWith(greeting)) return Protocol::Control;
  if (isPrefixOf("HEAD ") || isPrefixOf("GET /") || isPrefixOf(greeting))
    return Protocol::Undecided;
  return Protocol::Unknown;
}

std::string Endpoint(const asio::ip::address_v4& a, uint16_t port) {
  return a.to_string() + ":" + std::to_string(port);
}

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Text from a peer made fit for a log line: at most max bytes, anything but printable ASCII as
// "?", so that no peer can forge lines or drive a terminal.
std::string Printable(std::string_view text, size_t max = 80) {
  std::string out;
  for (char c : text.substr(0, max)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (text.size() > max) out += "...";
  return out;
}

struct AtomicCounters {
  std::atomic<uint64_t> Connections{0}, Refused{0}, Sessions{0}, Echoes{0}, Dropped{0},
      NatReports{0}, RtpPackets{0}, HttpRequests{0}, OpenConnections{0};
};

// Datagrams allowed from one address: a token bucket.
struct Bucket {
  double tokens = 0;
  Clock::time_point last;
};

}  // namespace

struct TEchoServer::Impl {
  class Connection;

  struct SipSocket {
    explicit SipSocket(asio::io_context& io) : socket(io) {}
    udp::socket socket;
    TSipPortPlan plan;
    std::array<char, 65536> buffer{};
    udp::endpoint from;
  };

  Impl(TEchoServerConfig c, TLogSink l)
      : config(std::move(c)),
        log(l ? std::move(l) : TLogSink(&TEchoServer::StderrLog)),
        acceptor(io),
        rtp(io),
        signals(io),
        housekeeping(io),
        acceptRetry(io) {}

  TEchoServerConfig config;
  TLogSink log;
  asio::io_context io{1};
  tcp::acceptor acceptor;
  std::vector<std::unique_ptr<SipSocket>> sip;
  udp::socket rtp;
  asio::signal_set signals;
  asio::steady_timer housekeeping;
  asio::steady_timer acceptRetry;
  std::shared_ptr<const std::string> macBody;
  std::time_t macLastModified = 0;
  size_t macEntries = 0;
  std::random_device random;
  bool stopping = false;
  AtomicCounters counters;

  std::unordered_set<std::shared_ptr<Connection>> connections;
  std::unordered_map<std::string, Connection*> byToken;  // greeted control sessions
  struct AddressState {
    size_t connections = 0;               // TCP connections open from it
    std::vector<Connection*> sessions;    // greeted control sessions from it
  };
  std::unordered_map<uint32_t, AddressState> addresses;
  std::unordered_map<uint32_t, Bucket> buckets;
  int strangerLines = 0;         // stranger log lines this period
  uint64_t strangersUnlogged = 0;  // and those held back

  void Bind();
  void StartAccept();
  void StartReceive(SipSocket& s);
  void OnDatagram(SipSocket& s, size_t size);
  bool AllowDatagram(uint32_t address);
  void Housekeeping();
  void DoStop(const std::string& why);
  std::string NewToken();
  bool HasSession(uint32_t address) const {
    const auto it = addresses.find(address);
    return it != addresses.end() && !it->second.sessions.empty();
  }
  // Lines about traffic from strangers (scanners, spoofed or stray datagrams) are rationed.
  void StrangerLog(const std::string& line) {
    if (strangerLines < kLogLinesPerPeriod) {
      ++strangerLines;
      log(line);
    } else {
      ++strangersUnlogged;
    }
  }
  // Sends one datagram from socket, but only to an address that holds an open session: the
  // server never reflects traffic towards a host that did not connect to it.
  bool SendUdp(udp::socket& socket, const udp::endpoint& to, const std::string& data) {
    if (!HasSession(to.address().to_v4().to_uint())) return false;
    asio::error_code ec;
    socket.send_to(asio::buffer(data), to, 0, ec);
    return !ec;
  }
};

// One accepted TCP connection: first undecided, then a control session or an HTTP connection.
class TEchoServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& server, tcp::socket socket, asio::ip::address_v4 peer, uint16_t peerPort)
      : srv_(server),
        socket_(std::move(socket)),
        timer_(server.io),
        peer_(peer),
        peerPort_(peerPort),
        started_(Clock::now()) {}

  uint32_t PeerKey() const { return peer_.to_uint(); }
  const asio::ip::address_v4& Peer() const { return peer_; }

  void Start() {
    ArmTimer(srv_.config.GreetingTimeoutMs, "no greeting in time");
    Read();
  }

  // A datagram that belongs to this session arrived on a SIP port.
  void OnDatagram(SipSocket& s, std::string_view datagram, const udp::endpoint& from,
                  bool byToken) {
    const std::string_view text = datagram.substr(0, datagram.find('\0'));
    const uint16_t serverPort = s.plan.Port;
    std::string report = "Received " + std::to_string(datagram.size()) + " bytes on UDP port " +
                         std::to_string(serverPort) + " from " +
                         Endpoint(from.address().to_v4(), from.port());
    if (!byToken) report += " (Call-ID not recognised, matched by address)";
    if (text.size() != datagram.size()) report += " (cut at a zero byte)";
    std::string frame;
    frame.reserve(report.size() + text.size() + 3);
    frame.append(report).append("\r\n").append(text).push_back('\0');
    Send(Scramble(frame));
    ++echoes_;
    ++srv_.counters.Echoes;
    if (closed_) return;
    ArmTimer(srv_.config.EffectiveIdleTimeoutMs(), "idle");

    auto run = natRuns_.find(serverPort);
    if (run != natRuns_.end()) {
      NatRun& r = *run->second;
      if (r.dest == from && r.next < r.plan.size()) {
        r.lastActivity = Clock::now();  // the mapping was used: the idle gap starts again
        ArmNatRun(r);
      }
      return;
    }
    if (s.plan.ScheduleMs.empty() || !IsNatTestInvite(text)) return;
    auto r = std::make_unique<NatRun>(srv_.io, s, from);
    r->plan = s.plan.ScheduleMs;
    r->lastActivity = Clock::now();
    ArmNatRun(*r);
    natRuns_.emplace(serverPort, std::move(r));
    natPorts_ += (natPorts_.empty() ? "" : ",") + std::to_string(serverPort);
    // The burst goes to the control peer's own address, whatever the SDP names.
    if (const auto port = SdpAudioPort(text); port && srv_.config.RtpPackets > 0)
      StartRtpBurst(udp::endpoint(peer_, *port));
  }

  void Close(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    for (auto& [port, run] : natRuns_) run->timer.cancel();
    for (auto& burst : bursts_) burst->timer.cancel();
    Unregister();
    const std::string who = Endpoint(peer_, peerPort_);
    const double seconds = static_cast<double>(MsSince(started_)) / 1000.0;
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1fs", seconds);
    if (protocol_ == Protocol::Control && !token_.empty()) {
      srv_.log("session " + who + " token " + token_.substr(0, 8) + " " + duration + ": " +
               std::to_string(echoes_) + " echoes, NAT test " +
               (natPorts_.empty() ? "none" : natPorts_) + ", " + std::to_string(rtpSent_) +
               " RTP packets; " + why);
    } else if (protocol_ == Protocol::Http) {
      srv_.log("http " + who + " " + duration + ": " + std::to_string(requests_) +
               " request(s)" + (requestLog_.empty() ? "" : " (" + requestLog_ + ")") + ", " +
               std::to_string(bytesOut_) + " bytes sent; " + why);
    } else {
      srv_.StrangerLog("connection " + who + " " + duration + ": " + why);
    }
    // The line is out before the peer sees the end.
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    srv_.connections.erase(shared_from_this());
  }

 private:
  struct NatRun {
    NatRun(asio::io_context& io, SipSocket& s, udp::endpoint d) : timer(io), socket(s), dest(d) {}
    asio::steady_timer timer;
    SipSocket& socket;
    udp::endpoint dest;  // where the INVITE came from: the mapping under test
    std::vector<int> plan;
    size_t next = 0;     // index of the next report
    Clock::time_point lastActivity;  // last datagram on the mapping, either way
  };
  struct RtpBurst {
    RtpBurst(asio::io_context& io, udp::endpoint d, TRtpStream s)
        : timer(io), dest(d), stream(s) {}
    asio::steady_timer timer;
    udp::endpoint dest;
    TRtpStream stream;
    int left = 0;
  };

  void Read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                              self->OnRead(ec, n);
                            });
  }

  void OnRead(const asio::error_code& ec, size_t n) {
    if (closed_) return;
    if (ec) {
      Close(ec == asio::error::eof ? "closed by peer" : "read failed: " + ec.message());
      return;
    }
    switch (protocol_) {
      case Protocol::Undecided:
        in_.append(buffer_.data(), n);
        protocol_ = Classify(in_);
        if (protocol_ == Protocol::Control) {
          extraIn_ = in_.size() - kGreetingSize;
          in_.clear();
          Greet();
          if (closed_) return;
          ReadControl();
        } else if (protocol_ == Protocol::Http) {
          ProcessHttp();
        } else if (protocol_ == Protocol::Unknown) {
          Close("not a greeting nor HTTP");
        } else {
          Read();
        }
        return;
      case Protocol::Control:
        extraIn_ += n;
        ReadControl();
        return;
      case Protocol::Http:
        in_.append(buffer_.data(), n);
        ProcessHttp();
        return;
      case Protocol::Unknown:
        return;
    }
  }

  // Reads on after the greeting. The tester sends nothing after it; anything more is bounded.
  void ReadControl() {
    if (extraIn_ > srv_.config.MaxInputAfterGreeting)
      Close("cut off: too many bytes after the greeting");
    else
      Read();
  }

  void Greet() {
    token_ = srv_.NewToken();
    srv_.byToken[token_] = this;
    srv_.addresses[PeerKey()].sessions.push_back(this);
    ++srv_.counters.Sessions;
    std::string answer = token_;
    answer.append("@5060").push_back('\0');
    Send(Scramble(answer));
    ArmTimer(srv_.config.EffectiveIdleTimeoutMs(), "idle");
  }

  void Unregister() {
    if (!token_.empty()) srv_.byToken.erase(token_);
    auto it = srv_.addresses.find(PeerKey());
    if (it == srv_.addresses.end()) return;
    auto& sessions = it->second.sessions;
    std::erase(sessions, this);
    if (it->second.connections > 0) --it->second.connections;
    if (it->second.connections == 0 && sessions.empty()) srv_.addresses.erase(it);
    --srv_.counters.OpenConnections;
  }

  // Queues bytes for the peer; a peer that lets too much pile up is cut off.
  void Send(std::string data) {
    if (closed_) return;
    if (pendingOut_ + data.size() > srv_.config.MaxPendingOutput) {
      Close("cut off: peer does not read");
      return;
    }
    pendingOut_ += data.size();
    out_.push_back(std::move(data));
    if (!writing_) WriteNext();
  }

  void WriteNext() {
    writing_ = true;
    asio::async_write(socket_, asio::buffer(out_.front()),
                      [self = shared_from_this()](const asio::error_code& ec, size_t n) {
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

  void ArmTimer(int ms, const char* why) {
    timer_.expires_after(std::chrono::milliseconds(ms));
    timer_.async_wait([self = shared_from_this(), why](const asio::error_code& ec) {
      if (ec || self->closed_) return;
      // A NAT session test still under way keeps the session open until its last report.
      for (const auto& [port, run] : self->natRuns_) {
        if (run->next < run->plan.size()) {
          self->ArmTimer(self->srv_.config.EffectiveIdleTimeoutMs(), why);
          return;
        }
      }
      self->Close(std::string("timed out: ") + why);
    });
  }

  void ArmNatRun(NatRun& r) {
    r.timer.expires_at(r.lastActivity + std::chrono::milliseconds(r.plan[r.next]));
    r.timer.async_wait([self = shared_from_this(), &r](const asio::error_code& ec) {
      if (ec || self->closed_) return;
      self->SendNatReport(r);
    });
  }

  void SendNatReport(NatRun& r) {
    const long long idle = MsSince(r.lastActivity);
    std::string text = "Sent after " + std::to_string(idle) + " ";
    if (r.next + 1 < r.plan.size()) text += "Next pkt after " + std::to_string(r.plan[r.next + 1]) + " ";
    if (srv_.SendUdp(r.socket.socket, r.dest, text)) ++srv_.counters.NatReports;
    r.lastActivity = Clock::now();
    if (++r.next < r.plan.size()) ArmNatRun(r);
  }

  void StartRtpBurst(const udp::endpoint& dest) {
    std::uniform_int_distribution<uint32_t> any;
    auto burst = std::make_unique<RtpBurst>(
        srv_.io, dest,
        TRtpStream(any(srv_.random), static_cast<uint16_t>(any(srv_.random)), any(srv_.random)));
    burst->left = srv_.config.RtpPackets;
    RtpBurst& b = *burst;
    bursts_.push_back(std::move(burst));
    SendRtp(b);
  }

  void SendRtp(RtpBurst& b) {
    if (srv_.SendUdp(srv_.rtp, b.dest, b.stream.NextPacket())) {
      ++rtpSent_;
      ++srv_.counters.RtpPackets;
    }
    if (--b.left <= 0) return;
    b.timer.expires_after(std::chrono::milliseconds(srv_.config.RtpIntervalMs));
    b.timer.async_wait([self = shared_from_this(), &b](const asio::error_code& ec) {
      if (ec || self->closed_) return;
      self->SendRtp(b);
    });
  }

  // Answers every complete request in the buffer, one at a time; reads more when none is.
  void ProcessHttp() {
    THttpRequest request;
    size_t headLength = 0;
    const THttpParse parsed =
        ParseHttpRequest(in_, srv_.config.MaxHttpHead, request, &headLength);
    if (parsed == THttpParse::Incomplete) {
      // The whole head must come within the time-out: bytes trickling in do not extend it.
      if (!awaitingHead_) ArmTimer(srv_.config.HttpIdleTimeoutMs, "no complete HTTP request");
      awaitingHead_ = true;
      Read();
      return;
    }
    awaitingHead_ = false;
    if (parsed == THttpParse::TooLarge) {
      Respond(431, "Request Header Fields Too Large", "GET", 1, false, "too large request head");
      return;
    }
    if (parsed == THttpParse::Bad) {
      Respond(400, "Bad Request", "GET", 1, false, "bad request");
      return;
    }
    in_.erase(0, headLength);
    ++requests_;
    ++srv_.counters.HttpRequests;
    const bool keepAlive = request.KeepAlive && !request.HasBody;
    if (request.Method != "GET" && request.Method != "HEAD") {
      Respond(405, "Method Not Allowed", request.Method, request.Minor, keepAlive,
              Printable(request.Method, 16) + " " + Printable(request.Target));
      return;
    }
    const bool found = request.Target == kMacListPath && srv_.macBody;
    Respond(found ? 200 : 404, found ? "OK" : "Not Found", request.Method, request.Minor,
            keepAlive, request.Method + " " + Printable(request.Target));
  }

  void Respond(int status, const char* reason, const std::string& method, int minor,
               bool keepAlive, const std::string& what) {
    if (requestLog_.size() < 200)
      requestLog_ += (requestLog_.empty() ? "" : ", ") + what + " " + std::to_string(status);
    std::shared_ptr<const std::string> body;
    std::optional<std::time_t> lastModified;
    const char* type = "text/plain; charset=utf-8";
    if (status == 200) {
      body = srv_.macBody;
      lastModified = srv_.macLastModified;
      type = "text/csv; charset=utf-8";
    } else {
      body = std::make_shared<const std::string>(std::to_string(status) + " " + reason + "\r\n");
    }
    auto head = std::make_shared<const std::string>(
        HttpResponseHead(status, reason, type, body->size(), lastModified, keepAlive, minor,
                         std::time(nullptr)));
    const bool withBody = method != "HEAD";
    std::array<asio::const_buffer, 2> buffers = {
        asio::buffer(*head), withBody ? asio::buffer(*body) : asio::const_buffer()};
    ArmTimer(srv_.config.HttpIdleTimeoutMs * 4, "response not taken");
    asio::async_write(socket_, buffers,
                      [self = shared_from_this(), head, body, keepAlive](
                          const asio::error_code& ec, size_t n) {
                        if (self->closed_) return;
                        if (ec) {
                          self->Close("write failed: " + ec.message());
                          return;
                        }
                        self->bytesOut_ += n;
                        if (keepAlive)
                          self->ProcessHttp();
                        else
                          self->Close("done");
                      });
  }

  Impl& srv_;
  tcp::socket socket_;
  asio::steady_timer timer_;  // greeting, idle or HTTP time-out
  asio::ip::address_v4 peer_;
  uint16_t peerPort_;
  Clock::time_point started_;
  Protocol protocol_ = Protocol::Undecided;
  bool closed_ = false;
  std::array<char, 4096> buffer_{};
  std::string in_;          // received, not yet used (undecided or HTTP)
  size_t extraIn_ = 0;      // bytes after the greeting
  std::deque<std::string> out_;
  size_t pendingOut_ = 0;
  bool writing_ = false;
  uint64_t bytesOut_ = 0;
  // Control session.
  std::string token_;
  int echoes_ = 0;
  int rtpSent_ = 0;
  std::string natPorts_;
  std::map<uint16_t, std::unique_ptr<NatRun>> natRuns_;
  std::vector<std::unique_ptr<RtpBurst>> bursts_;
  // HTTP.
  int requests_ = 0;
  std::string requestLog_;
  bool awaitingHead_ = false;  // the time-out for the next request head runs
};

void TEchoServer::Impl::Bind() {
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(config.Address, ec);
  if (ec) throw std::runtime_error("bad address " + config.Address);
  auto fail = [&](const std::string& what, uint16_t port) {
    throw std::runtime_error("cannot bind " + what + " " + Endpoint(address, port) + ": " +
                             ec.message());
  };
  const tcp::endpoint controlEndpoint(address, config.ControlPort);
  acceptor.open(tcp::v4());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(controlEndpoint, ec);
  if (ec) fail("TCP", config.ControlPort);
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) fail("TCP", config.ControlPort);
  for (const auto& plan : config.SipPorts) {
    auto s = std::make_unique<SipSocket>(io);
    s->plan = plan;
    s->socket.open(udp::v4());
    s->socket.bind(udp::endpoint(address, plan.Port), ec);
    if (ec) fail("UDP", plan.Port);
    // Bursts of probes from many testers must not overflow the queue while the loop is busy.
    s->socket.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024), ec);
    s->socket.non_blocking(true);
    sip.push_back(std::move(s));
  }
  rtp.open(udp::v4());
  rtp.bind(udp::endpoint(address, config.RtpPort), ec);
  if (ec) fail("UDP", config.RtpPort);
  rtp.non_blocking(true);
}

void TEchoServer::Impl::StartAccept() {
  acceptor.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
    if (stopping) return;
    if (ec) {
      // Out of descriptors, say: wait a little instead of spinning.
      log("accept failed: " + ec.message());
      acceptRetry.expires_after(std::chrono::milliseconds(100));
      acceptRetry.async_wait([this](const asio::error_code& e) {
        if (!e && !stopping) StartAccept();
      });
      return;
    }
    ++counters.Connections;
    asio::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (!peerError && peer.address().is_v4()) {
      const auto address = peer.address().to_v4();
      AddressState& state = addresses[address.to_uint()];
      if (connections.size() >= config.MaxConnections ||
          state.connections >= config.MaxConnectionsPerAddress) {
        ++counters.Refused;
        StrangerLog("connection " + Endpoint(address, peer.port()) + " refused: " +
                    (connections.size() >= config.MaxConnections ? "server full"
                                                                 : "too many from this address"));
        if (state.connections == 0 && state.sessions.empty()) addresses.erase(address.to_uint());
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        ++state.connections;
        ++counters.OpenConnections;
        socket.set_option(tcp::no_delay(true), peerError);
        auto c = std::make_shared<Connection>(*this, std::move(socket), address, peer.port());
        connections.insert(c);
        c->Start();
      }
    }
    StartAccept();
  });
}

void TEchoServer::Impl::StartReceive(SipSocket& s) {
  s.socket.async_receive_from(asio::buffer(s.buffer), s.from,
                              [this, &s](const asio::error_code& ec, size_t n) {
                                if (stopping || ec == asio::error::operation_aborted) return;
                                if (!ec) OnDatagram(s, n);
                                StartReceive(s);
                              });
}

void TEchoServer::Impl::OnDatagram(SipSocket& s, size_t size) {
  if (!s.from.address().is_v4()) return;
  const auto fromAddress = s.from.address().to_v4();
  const std::string_view datagram(s.buffer.data(), size);
  const std::string token = CallIdToken(datagram);
  Connection* session = nullptr;
  bool matchedByToken = false;
  if (auto it = byToken.find(token); !token.empty() && it != byToken.end()) {
    session = it->second;
    matchedByToken = true;
  } else if (auto a = addresses.find(fromAddress.to_uint());
             a != addresses.end() && a->second.sessions.size() == 1) {
    // A router may have rewritten the Call-ID: the one session from this address takes it.
    session = a->second.sessions.front();
  }
  if (!session) {
    ++counters.Dropped;
    StrangerLog("datagram of " + std::to_string(size) + " bytes on UDP port " +
                std::to_string(s.plan.Port) + " from " + Endpoint(fromAddress, s.from.port()) +
                " dropped: no session");
    return;
  }
  if (!AllowDatagram(fromAddress.to_uint())) {
    ++counters.Dropped;
    StrangerLog("datagram from " + Endpoint(fromAddress, s.from.port()) +
                " dropped: over the rate limit");
    return;
  }
  // The handler may close the session; keep it alive until it returns.
  const auto keep = session->shared_from_this();
  session->OnDatagram(s, datagram, s.from, matchedByToken);
}

bool TEchoServer::Impl::AllowDatagram(uint32_t address) {
  const auto now = Clock::now();
  auto it = buckets.find(address);
  if (it == buckets.end()) {
    if (buckets.size() >= kMaxBuckets) return false;
    it = buckets.emplace(address, Bucket{config.DatagramBurst, now}).first;
  }
  Bucket& b = it->second;
  const double elapsed = std::chrono::duration<double>(now - b.last).count();
  b.tokens = std::min(config.DatagramBurst, b.tokens + elapsed * config.DatagramsPerSecond);
  b.last = now;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

void TEchoServer::Impl::Housekeeping() {
  housekeeping.expires_after(kHousekeeping);
  housekeeping.async_wait([this](const asio::error_code& ec) {
    if (ec || stopping) return;
    if (strangersUnlogged > 0)
      log(std::to_string(strangersUnlogged) + " more lines about strangers' traffic not logged");
    strangerLines = 0;
    strangersUnlogged = 0;
    // Counters that have filled up again are the same as none.
    const auto now = Clock::now();
    std::erase_if(buckets, [&](const auto& entry) {
      const double elapsed = std::chrono::duration<double>(now - entry.second.last).count();
      return entry.second.tokens + elapsed * config.DatagramsPerSecond >= config.DatagramBurst;
    });
    Housekeeping();
  });
}

void TEchoServer::Impl::DoStop(const std::string& why) {
  if (stopping) return;
  stopping = true;
  log("stopping: " + why);
  asio::error_code ec;
  acceptor.close(ec);
  for (auto& s : sip) s->socket.close(ec);
  rtp.close(ec);
  signals.cancel(ec);
  housekeeping.cancel();
  acceptRetry.cancel();
  const auto open = connections;  // Close erases from the set
  for (const auto& c : open) c->Close("server stopping");
  io.stop();
}

std::string TEchoServer::Impl::NewToken() {
  static const char hex[] = "0123456789abcdef";
  std::string token;
  do {
    token.clear();
    for (int i = 0; i < 4; ++i) {
      uint32_t r = random();
      for (int j = 0; j < 8; ++j, r >>= 4) token += hex[r & 0xF];
    }
  } while (byToken.count(token));
  return token;
}

TEchoServer::TEchoServer(TEchoServerConfig config, TLogSink log)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(log))) {
  impl_->Bind();
  if (!impl_->config.IeeeDataDir.empty()) {
    try {
      TMacList list = BuildMacList(impl_->config.IeeeDataDir);
      if (list.Entries > 0) {
        impl_->macBody = std::make_shared<const std::string>(std::move(list.Body));
        impl_->macLastModified = list.LastModified;
        impl_->macEntries = list.Entries;
        impl_->log("vendor list: " + std::to_string(list.Entries) + " entries from " +
                   std::to_string(list.Sources.size()) + " files in " +
                   impl_->config.IeeeDataDir + ", last modified " + HttpDate(list.LastModified));
      } else {
        impl_->log("vendor list: no IEEE registry files in " + impl_->config.IeeeDataDir +
                   "; " + kMacListPath + " answers 404");
      }
    } catch (const std::exception& e) {
      impl_->log(std::string("vendor list not built: ") + e.what());
    }
  }
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
  if (s.stopping) return;
  std::string ports;
  for (const auto& sip : s.sip) ports += " " + std::to_string(sip->plan.Port);
  s.log("serving on " + s.config.Address + ": TCP " + std::to_string(ControlPort()) + ", UDP" +
        ports + ", RTP from " + std::to_string(RtpPort()));
  s.StartAccept();
  for (auto& sip : s.sip) s.StartReceive(*sip);
  s.Housekeeping();
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

uint16_t TEchoServer::RtpPort() const {
  asio::error_code ec;
  return impl_->rtp.local_endpoint(ec).port();
}

size_t TEchoServer::MacListEntries() const { return impl_->macEntries; }

TEchoServerCounters TEchoServer::Counters() const {
  const AtomicCounters& c = impl_->counters;
  return {c.Connections.load(), c.Refused.load(),    c.Sessions.load(),
          c.Echoes.load(),      c.Dropped.load(),    c.NatReports.load(),
          c.RtpPackets.load(),  c.HttpRequests.load(), c.OpenConnections.load()};
}

void TEchoServer::StderrLog(const std::string& line) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::string date = HttpDate(t);  // "Sun, 06 Nov 1994 08:49:37 GMT"
  std::string out = date.substr(5, 20) + " " + line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
}
