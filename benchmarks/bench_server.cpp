// The echo server under load. The server runs in a child process of its own with its default
// limits, so that its peak memory is its own. Each well-behaved session does what a tester does:
// greeting, REGISTER and INVITE to both SIP ports (each waited for and sent again after 2 s, at
// most three sends), then both NAT test bursts of six INVITEs 100 ms apart, whose echoes it
// waits for at most 500 ms after the last before it closes (or, where the run asks, the first
// NAT session report from each port, at most 8 s).
//
// Four runs:
//   quiet    --sessions well-behaved sessions at once, each from a loopback address of its own;
//   hostile  the same while the hostile load below runs beside them;
//   lockout  an attacker fills a server of the old capacity (5,000 sessions from 157 addresses in
//            4 networks, 32 from each address), keeps them open and opens again whatever is closed; 3 s after
//            it is full, --newcomers testers from other networks (each its own) run the whole test, NAT
//            reports included. Twice: the attacker's sessions idle after their greeting, and
//            each faking a NAT test (one NAT test INVITE with its token, the longest life);
//   shared   --shared testers at once from one address (an office, a carrier-grade NAT), NAT
//            reports included;
//   botnet   a botnet fills the server from many networks: 2,500 networks x 2 sessions, 1,000 x 5
//            and 5,000 x 1, each session sending a NAT test INVITE right after its token (so it
//            looks as far into its test as can be) and opened again 100 ms after a close; 3 s
//            after it holds all it can, 15 lone testers (each a network of its own) and an office
//            of 5 in one /24 run the whole test at once, NAT reports included (--botnet-wait S:
//            S s after instead). Each shape at the old capacity (5,000) and at the default one.
//   calls    --calls N test calls at once (0: 100, 200, 400, ... until one step loses packets or
//            its jitter passes 3 ms), each from a loopback address of its own: greeting, then
//            --call-seconds of RTP at 50 packets a second to the server's RTP port, the stream
//            back measured as the tester measures it, and the server's report of its own
//            direction. The server's cap on calls and on the RTP rate is lifted; what one core
//            carries is what its one event loop carries with no loss and jitter under 3 ms. The
//            server runs pinned to one core, the callers on the others; each load runs again
//            against the floor, a reflector that only sends each datagram straight back in
//            batches (recvmmsg, sendmmsg) on the same core, for the CPU per datagram of both.
//   memory   what a session costs in resident memory: min(--sessions, 4000) sessions held at once,
//            alone and each with every NAT time-out mapping its token announces.
// The hostile load of the hostile run, on a thread of its own, runs at the same time:
//   - forged-source datagrams flood the SIP ports, paced at --flood-rate per second: small ones
//     with a token holder's Call-ID or a stranger's, and one in 16 each oversized (30,000
//     bytes) or of random bytes;
//   - malformed greetings and HTTP heads come in on connections that are opened again and again;
//   - --silent connections connect and stay silent (opened again when the server closes them).
//
//   bench_server [--run quiet|hostile|lockout|shared|botnet|calls|memory|all] [--sessions N] [--silent N]
//                [--flood-rate N] [--newcomers N] [--shared N] [--botnet-wait S] [--calls N]
//                [--call-seconds S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proto/XorUnit.h"
#include "probes/SipProbe.h"
#include "proto/CallReceiver.h"
#include "proto/CallWire.h"
#include "proto/NatTimeoutWire.h"
#include "server/ConnectionCore.h"
#include "server/EchoServer.h"
#include "server/ServerPlatform.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kControlPort = 28080;
constexpr uint16_t kSipPorts[2] = {25060, 25058};
constexpr int kNatSends = 6;

struct Settings {
  std::string run = "all";
  int sessions = 2000;
  int silent = 2000;
  int floodRate = 20000;
  int newcomers = 200;
  int shared = 32;
  int botnetWait = 3;  // seconds from the botnet holding all it can to the testers
  int calls = 0;       // calls at once; 0: a rising series
  int callSeconds = 10;
};

constexpr int kAttackSessions = 5000, kAttackAddresses = 157, kAttackNetworks = 4;
constexpr int kLoneTesters = 15, kOffice = 5;  // the botnet runs' testers
constexpr size_t kOldCapacity = 5000;

// 127.<net>.x.y for index i, a distinct address per index.
asio::ip::address_v4 LoopbackAddress(int net, int i) {
  return asio::ip::address_v4((127u << 24) | (static_cast<uint32_t>(net) << 16) |
                              static_cast<uint32_t>(i / 250) << 8 | static_cast<uint32_t>(i % 250 + 1));
}
const asio::ip::address_v4 kServer = asio::ip::make_address_v4("127.0.0.1");
// 127.<net>.<i>.1: each index a network of its own.
asio::ip::address_v4 OwnNetwork(int net, int i) {
  return asio::ip::address_v4((127u << 24) | (static_cast<uint32_t>(net) << 16) |
                              static_cast<uint32_t>(i % 256) << 8 | 1u);
}
// The attacker's address a: kAttackNetworks networks of 127.20.<n>.x.
asio::ip::address_v4 AttackAddress(int a) {
  return asio::ip::address_v4((127u << 24) | (20u << 16) |
                              static_cast<uint32_t>(a % kAttackNetworks) << 8 |
                              static_cast<uint32_t>(a / kAttackNetworks + 1));
}

// Peak (or present) resident memory of a process, from /proc (kB); 0 where there is none.
long PeakRssKb(pid_t pid, const char* field = "VmHWM:") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(6));
  return 0;
}

struct Totals {
  int greeted = 0, failed = 0, done = 0, busy = 0, complete = 0, completeOffice = 0;
  long echoes = 0, resends = 0, lost = 0, burstEchoesMissing = 0, natTestsNotStarted = 0,
       reportsMissing = 0;
  std::vector<double> tokenMs;  // from the connect to the token, per session greeted
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

class Load;

// One well-behaved session.
class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  ClientSession(asio::io_context& io, Load& load, int index, asio::ip::address_v4 address,
                bool waitReports)
      : tcp_(io), udp_(io), timer_(io), load_(load), index_(index), address_(address),
        waitReports_(waitReports) {}
  void Start();

 private:
  void ReadMore();
  void ReceiveReports();
  void OnBytes();
  void SendProbe();
  void Step();
  void SendBursts();
  void Finish();
  void Fail(const char* why);

  tcp::socket tcp_;
  udp::socket udp_;
  asio::steady_timer timer_;
  Load& load_;
  int index_;
  asio::ip::address_v4 address_;
  bool waitReports_;
  Clock::time_point started_;
  std::array<char, 16384> buffer_{};
  std::array<char, 2048> datagram_{};
  udp::endpoint datagramFrom_;
  int reports_ = 0;     // bit 0: a NAT report came from the first port, bit 1: from the second
  bool burstsDone_ = false;
  long lost_ = 0;
  std::string in_;
  std::string token_;
  int step_ = 0;        // probe 0..3, then 4: the bursts
  int attempts_ = 0;    // sends of the current probe
  std::string sent_;    // the current probe's text
  int burstSent_ = 0;
  int burstPorts_ = 0;  // bit 0: a burst echo came from the first port, bit 1: from the second
  int burstEchoes_ = 0;
  bool finished_ = false;
};

// Well-behaved sessions, all started at once; `address` gives each its source address.
class Load {
 public:
  Load(asio::io_context& io, int sessions, std::function<asio::ip::address_v4(int)> address,
       bool waitReports)
      : io_(io), count_(sessions), address_(std::move(address)), waitReports_(waitReports) {}
  void Run() {
    start_ = Clock::now();
    for (int i = 0; i < count_; ++i) {
      auto c = std::make_shared<ClientSession>(io_, *this, i, address_(i), waitReports_);
      sessions_.push_back(c);
      c->Start();
    }
    io_.run();
    if (end_ == Clock::time_point()) end_ = Clock::now();
  }
  void Finished() {
    if (++finished_ == count_) end_ = Clock::now();
  }
  int Count() const { return count_; }
  Totals totals;
  Clock::time_point start_, end_;

 private:
  asio::io_context& io_;
  int count_;
  std::function<asio::ip::address_v4(int)> address_;
  bool waitReports_;
  std::vector<std::shared_ptr<ClientSession>> sessions_;
  int finished_ = 0;
};

void ClientSession::Start() {
  asio::error_code ec;
  const auto me = address_;
  started_ = Clock::now();
  tcp_.open(tcp::v4(), ec);
  if (!ec) tcp_.bind(tcp::endpoint(me, 0), ec);
  if (!ec) udp_.open(udp::v4(), ec);
  if (!ec) udp_.bind(udp::endpoint(me, 0), ec);
  if (ec) return Fail("bind");
  tcp_.async_connect(tcp::endpoint(kServer, kControlPort),
                     [self = shared_from_this()](const asio::error_code& e) {
                       if (e) return self->Fail("connect");
                       asio::async_write(self->tcp_, asio::buffer(kControlGreeting.data(), kControlGreeting.size()),
                                         [self](const asio::error_code& e2, size_t) {
                                           if (e2) return self->Fail("greeting");
                                           self->ReadMore();
                                         });
                     });
}

void ClientSession::ReadMore() {
  tcp_.async_read_some(asio::buffer(buffer_),
                       [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                         if (self->finished_) return;
                         if (ec) return self->Fail("connection lost");
                         self->in_.append(self->buffer_.data(), n);
                         self->OnBytes();
                         if (!self->finished_) self->ReadMore();
                       });
}

// The greeting's answer at the front of `in`: its token into `token` (empty: the server is
// busy), taken off `in`; false while it has not all come.
bool TakeToken(std::string& in, std::string& token) {
  static const std::string terminator = Scramble(std::string("@5060\0", 6));
  const size_t at = in.find(terminator);
  if (at == std::string::npos) return false;
  token = Scramble(in.substr(0, at));
  in.erase(0, at + terminator.size());
  return true;
}

void ClientSession::OnBytes() {
  if (token_.empty()) {
    if (!TakeToken(in_, token_)) return;
    if (token_.empty()) {
      // The busy notice comes with it; the server closes next.
      ++load_.totals.busy;
      return Fail("busy");
    }
    ++load_.totals.greeted;
    load_.totals.tokenMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started_).count());
    if (waitReports_) ReceiveReports();
    Step();
  }
  static const std::string echoEnd = Scramble(std::string(1, '\0'));
  size_t at;
  while (!finished_ && (at = in_.find(echoEnd)) != std::string::npos) {
    const std::string echo = Scramble(in_.substr(0, at));
    in_.erase(0, at + 1);
    ++load_.totals.echoes;
    if (step_ == 4) {
      burstPorts_ |= echo.find(" on UDP port " + std::to_string(kSipPorts[0]) + " ") != std::string::npos ? 1 : 2;
      if (++burstEchoes_ == 2 * kNatSends && (!waitReports_ || reports_ == 3)) {
        timer_.cancel();
        Finish();
      }
      continue;
    }
    const size_t lineEnd = echo.find("\r\n");
    if (sent_.empty() || lineEnd == std::string::npos || echo.substr(lineEnd + 2) != sent_)
      continue;  // a late echo of an earlier send
    timer_.cancel();
    sent_.clear();
    ++step_;
    Step();
  }
}

void ClientSession::Step() {
  if (step_ == 4) return SendBursts();
  attempts_ = 0;
  SendProbe();
}

void ClientSession::SendProbe() {
  const uint16_t port = kSipPorts[step_ % 2];
  asio::error_code ec;
  const udp::endpoint local = udp_.local_endpoint(ec);
  TSipProbe probe;
  if (step_ < 2)
    probe.BuildRegister(token_, std::to_string(port), local.address().to_string(),
                        std::to_string(local.port()));
  else
    probe.BuildInvite(token_, std::to_string(port), local.address().to_string(),
                      std::to_string(local.port()), false, local.port());
  sent_ = step_ < 2 ? probe.RegisterMsg : probe.InviteMsg;
  if (++attempts_ > 1) ++load_.totals.resends;
  udp_.send_to(asio::buffer(sent_), udp::endpoint(kServer, port), 0, ec);
  timer_.expires_after(std::chrono::seconds(2));
  timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
    if (e || self->finished_) return;
    if (self->attempts_ < 3) return self->SendProbe();
    ++self->load_.totals.lost;  // as the tester would: no echo after three sends
    ++self->lost_;
    self->sent_.clear();
    ++self->step_;
    self->Step();
  });
}

// Both NAT test bursts as the tester sends them: six INVITEs 100 ms apart from the one port,
// then from the other. The RTP port announced is this session's own UDP port.
void ClientSession::SendBursts() {
  if (burstSent_ == 2 * kNatSends) {
    // The tester does not wait for these echoes; the session ends soon after its bursts, or
    // once the first NAT session report of each port came.
    burstsDone_ = true;
    if (waitReports_ && reports_ == 3) return Finish();
    timer_.expires_after(std::chrono::milliseconds(waitReports_ ? 8000 : 500));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (e || self->finished_) return;
      self->load_.totals.burstEchoesMissing += 2 * kNatSends - self->burstEchoes_;
      self->Finish();
    });
    return;
  }
  asio::error_code ec;
  const udp::endpoint local = udp_.local_endpoint(ec);
  const uint16_t port = kSipPorts[burstSent_ / kNatSends];
  TSipProbe probe;
  probe.BuildInvite(token_, std::to_string(port), local.address().to_string(),
                    std::to_string(local.port()), true, local.port());
  udp_.send_to(asio::buffer(probe.InviteMsg), udp::endpoint(kServer, port), 0, ec);
  // Sessions that run in step would send 2,000 INVITEs in the same instant every 100 ms, which
  // no tester population does: each session keeps an offset of its own within the 100 ms.
  const int offset = burstSent_ == 0 ? index_ % 100 : 0;
  ++burstSent_;
  timer_.expires_after(std::chrono::milliseconds(100 + offset));
  timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
    if (!e && !self->finished_) self->SendBursts();
  });
}

// NAT session reports on the session's socket (RTP packets come there too and are dropped).
void ClientSession::ReceiveReports() {
  udp_.async_receive_from(asio::buffer(datagram_), datagramFrom_,
                          [self = shared_from_this()](const asio::error_code& e, size_t n) {
                            if (e || self->finished_) return;
                            const std::string_view d(self->datagram_.data(), n);
                            if (d.substr(0, 11) == "Sent after ") {
                              for (int k = 0; k < 2; ++k)
                                if (self->datagramFrom_.port() == kSipPorts[k]) self->reports_ |= 1 << k;
                              if (self->reports_ == 3 && self->burstsDone_) return self->Finish();
                            }
                            self->ReceiveReports();
                          });
}

void ClientSession::Finish() {
  if (finished_) return;
  finished_ = true;
  // No echo of a port's burst: none of its six INVITEs reached the server.
  load_.totals.natTestsNotStarted += !(burstPorts_ & 1) + !(burstPorts_ & 2);
  if (waitReports_) load_.totals.reportsMissing += !(reports_ & 1) + !(reports_ & 2);
  if (lost_ == 0 && burstPorts_ == 3 && (!waitReports_ || reports_ == 3)) {
    ++load_.totals.complete;
    if (index_ >= kLoneTesters) ++load_.totals.completeOffice;
  }
  ++load_.totals.done;
  asio::error_code ec;
  timer_.cancel();
  tcp_.close(ec);
  udp_.close(ec);
  load_.Finished();
}

void ClientSession::Fail(const char* why) {
  if (finished_) return;
  finished_ = true;
  static int reported = 0;
  if (reported++ < 5) std::fprintf(stderr, "session %d failed: %s\n", index_, why);
  if (!token_.empty() || std::string(why) != "busy") ++load_.totals.failed;
  asio::error_code ec;
  timer_.cancel();
  tcp_.close(ec);
  udp_.close(ec);
  load_.Finished();
}

// The hostile load, on its own event loop and thread until Stop.
class Hostile {
 public:
  explicit Hostile(const Settings& s) : settings_(s), flood_(io_), floodTimer_(io_) {}
  void Start() {
    for (int i = 0; i < settings_.silent; ++i) Silent(i);
    for (int i = 0; i < 50; ++i) Malformed(i);
    TokenHolder();
    flood_.open(udp::v4());
    Flood();
    thread_ = std::thread([this] { io_.run(); });
  }
  void Stop() {
    asio::post(io_, [this] { io_.stop(); });
    thread_.join();
  }
  long datagrams = 0, connections = 0;

 private:
  // A connection that sends nothing; when the server closes it, another takes its place.
  void Silent(int i) {
    auto s = std::make_shared<tcp::socket>(io_);
    asio::error_code ec;
    s->open(tcp::v4(), ec);
    s->bind(tcp::endpoint(LoopbackAddress(3, i), 0), ec);
    ++connections;
    s->async_connect(tcp::endpoint(kServer, kControlPort), [this, s, i](const asio::error_code& e) {
      if (e) return;
      auto buffer = std::make_shared<std::array<char, 64>>();
      s->async_read_some(asio::buffer(*buffer), [this, s, i, buffer](const asio::error_code&, size_t) {
        Silent(i);  // closed by the server (greeting time-out): open another
      });
    });
  }

  // Malformed openings, one after the other on connection slot i.
  void Malformed(int i) {
    static const std::vector<std::string> openings = {
        std::string("GET 5061\0", 9),
        std::string("GET 5060", 8) + std::string(2000, 'A'),
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",
        "HEAD /download/MAC.CSV HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET /download/MAC.CSV HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
        "POST /download/MAC.CSV HTTP/1.1\r\n\r\n",
        "GET /\x01\x02 HTTP/1.1\r\nHost\r\n\r\n",
    };
    auto s = std::make_shared<tcp::socket>(io_);
    asio::error_code ec;
    s->open(tcp::v4(), ec);
    s->bind(tcp::endpoint(LoopbackAddress(4, i), 0), ec);
    const auto text = std::make_shared<std::string>(openings[next_++ % openings.size()]);
    // A greeting followed by more than the server takes is sent whole; others too.
    ++connections;
    s->async_connect(tcp::endpoint(kServer, kControlPort), [this, s, i, text](const asio::error_code& e) {
      if (e) return Malformed(i);
      asio::async_write(*s, asio::buffer(*text), [this, s, i, text](const asio::error_code&, size_t) {
        Drain(s, [this, i] { Malformed(i); });
      });
    });
  }

  // Reads until the server closes, then calls done.
  void Drain(std::shared_ptr<tcp::socket> s, std::function<void()> done) {
    auto buffer = std::make_shared<std::array<char, 16384>>();
    s->async_read_some(asio::buffer(*buffer), [this, s, buffer, done](const asio::error_code& e, size_t) {
      if (e) return done();
      Drain(s, done);
    });
  }

  // A greeted session whose token the flood uses; greets again when cut off (the server ends it
  // once its time for the checks is up), and the flood takes the new token.
  void TokenHolder() {
    auto s = std::make_shared<tcp::socket>(io_);
    asio::error_code ec;
    s->open(tcp::v4(), ec);
    s->bind(tcp::endpoint(LoopbackAddress(6, 0), 0), ec);
    s->async_connect(tcp::endpoint(kServer, kControlPort), [this, s](const asio::error_code& e) {
      if (e) return;
      asio::async_write(*s, asio::buffer(kControlGreeting.data(), kControlGreeting.size()),
                        [this, s](const asio::error_code&, size_t) { ReadToken(s, std::make_shared<std::string>()); });
    });
  }
  void ReadToken(std::shared_ptr<tcp::socket> s, std::shared_ptr<std::string> in) {
    auto buffer = std::make_shared<std::array<char, 16384>>();
    s->async_read_some(asio::buffer(*buffer), [this, s, in, buffer](const asio::error_code& e, size_t n) {
      if (e) {
        token_.clear();
        return TokenHolder();
      }
      if (token_.empty()) {
        in->append(buffer->data(), n);
        const size_t at = in->find(Scramble(std::string("@5060\0", 6)));
        if (at != std::string::npos) token_ = Scramble(in->substr(0, at));
      }
      ReadToken(s, in);  // echoes are read and dropped
    });
  }

  // Paced datagrams with forged sources.
  void Flood() {
    floodTimer_.expires_after(std::chrono::milliseconds(1));
    floodTimer_.async_wait([this](const asio::error_code& e) {
      if (e) return;
      // As many as the rate asks for since the flood began: timer ticks come late on a busy
      // machine.
      const auto now = Clock::now();
      if (floodStart_ == Clock::time_point()) floodStart_ = now;
      const long due = static_cast<long>(std::chrono::duration<double>(now - floodStart_).count() *
                                         settings_.floodRate);
      std::uniform_int_distribution<uint32_t> any;
      for (; datagrams < due; ) {
        const uint32_t r = any(random_);
        const TUdpPeer to{kServer.to_uint(), kSipPorts[r & 1]};
        const uint32_t from = (127u << 24) | (5u << 16) | (r >> 16);
        std::string data;
        // Of 16: one oversized (30,000 bytes) with the token, one of random bytes, the rest
        // small REGISTERs, half with the token holder's Call-ID and half with a stranger's.
        switch ((r >> 1) % 16) {
          case 0: data = "INVITE sip:x SIP/2.0\r\nCall-ID: " + token_ + "@x\r\n\r\n" + std::string(30000, 'v'); break;
          case 1:
            data.resize(1 + r % 1400);
            for (char& c : data) c = static_cast<char>(any(random_));
            break;
          default:
            data = "REGISTER sip:x SIP/2.0\r\nCall-ID: " +
                   ((r >> 1) % 2 ? token_ : std::to_string(r)) + "@x\r\n\r\n";
        }
        SendDatagramFrom(flood_.native_handle(), data.data(), data.size(), to, from);
        ++datagrams;
      }
      Flood();
    });
  }

  Settings settings_;
  asio::io_context io_{1};
  udp::socket flood_;
  asio::steady_timer floodTimer_;
  std::thread thread_;
  std::mt19937 random_{42};
  std::string token_;
  size_t next_ = 0;
  Clock::time_point floodStart_;
};

// Control sessions on their own event loop and thread until Stop: each greeted, then held until
// the server closes or refuses it, and opened again 100 ms later. What a session does once it has
// its token, and where it comes from, is the subclass's. Counts the bytes it sends.
class ReopeningSessions {
 public:
  virtual ~ReopeningSessions() = default;
  void Stop() {
    asio::post(io_, [this] { io_.stop(); });
    thread_.join();
  }
  std::atomic<int> open{0};
  std::atomic<long> greeted{0}, busy{0}, closed{0}, bytes{0};

 protected:
  void Run(int slots) {
    for (int i = 0; i < slots; ++i) Open(i);
    thread_ = std::thread([this] { io_.run(); });
  }
  virtual asio::ip::address_v4 Address(int slot) const = 0;
  virtual void Greeted(int slot, const std::string& token) = 0;
  asio::io_context io_{1};

 private:
  void Open(int slot) {
    auto s = std::make_shared<tcp::socket>(io_);
    asio::error_code ec;
    s->open(tcp::v4(), ec);
    s->bind(tcp::endpoint(Address(slot), 0), ec);
    s->async_connect(tcp::endpoint(kServer, kControlPort), [this, s, slot](const asio::error_code& e) {
      if (e) return Retry(slot);
      bytes += static_cast<long>(kControlGreeting.size());
      asio::async_write(*s, asio::buffer(kControlGreeting.data(), kControlGreeting.size()),
                        [this, s, slot](const asio::error_code& e2, size_t) {
                          if (e2) return Retry(slot);
                          ReadToken(s, slot, std::make_shared<std::string>());
                        });
    });
  }
  void ReadToken(std::shared_ptr<tcp::socket> s, int slot, std::shared_ptr<std::string> in) {
    auto buffer = std::make_shared<std::array<char, 256>>();
    s->async_read_some(asio::buffer(*buffer), [this, s, slot, in, buffer](const asio::error_code& e, size_t n) {
      if (e) return Retry(slot);
      in->append(buffer->data(), n);
      const size_t at = in->find(Scramble(std::string("@5060\0", 6)));
      if (at == std::string::npos) return ReadToken(s, slot, in);
      const std::string token = Scramble(in->substr(0, at));
      if (token.empty()) {
        ++busy;
        return Retry(slot);
      }
      ++greeted;
      ++open;
      Greeted(slot, token);
      Drain(s, slot);
    });
  }
  void Drain(std::shared_ptr<tcp::socket> s, int slot) {
    auto buffer = std::make_shared<std::array<char, 4096>>();
    s->async_read_some(asio::buffer(*buffer), [this, s, slot, buffer](const asio::error_code& e, size_t) {
      if (!e) return Drain(s, slot);
      --open;
      ++closed;
      Retry(slot);
    });
  }
  void Retry(int slot) {
    auto t = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
    t->async_wait([this, t, slot](const asio::error_code& e) {
      if (!e) Open(slot);
    });
  }
  std::thread thread_;
};

// The lockout's attacker: 32 control sessions from each of kAttackAddresses addresses (more than
// the server's 5,000), each left idle once greeted, or made to look like a NAT test (one NAT test
// INVITE with its token, which keeps a session longest).
class Attacker : public ReopeningSessions {
 public:
  explicit Attacker(bool fakeNatTests) : fake_(fakeNatTests) {}
  void Start() {
    for (int a = 0; a < kAttackAddresses; ++a) {
      auto u = std::make_unique<udp::socket>(io_);
      asio::error_code ec;
      u->open(udp::v4(), ec);
      u->bind(udp::endpoint(AttackAddress(a), 0), ec);
      udp_.push_back(std::move(u));
    }
    Run(kAttackAddresses * 32);
  }

 private:
  asio::ip::address_v4 Address(int slot) const override { return AttackAddress(slot % kAttackAddresses); }
  void Greeted(int slot, const std::string& token) override {
    if (!fake_) return;
    udp::socket& u = *udp_[slot % kAttackAddresses];
    asio::error_code ec;
    const udp::endpoint local = u.local_endpoint(ec);
    TSipProbe probe;
    probe.BuildInvite(token, std::to_string(kSipPorts[0]), local.address().to_string(),
                      std::to_string(local.port()), true, local.port());
    u.send_to(asio::buffer(probe.InviteMsg), udp::endpoint(kServer, kSipPorts[0]), 0, ec);
  }

  bool fake_;
  std::vector<std::unique_ptr<udp::socket>> udp_;
};

// A botnet: `perNetwork` control sessions from each of `networks` /24 networks (127.40.0.0 on),
// each sending a NAT test INVITE with its token from its own address right after the token.
class Botnet : public ReopeningSessions {
 public:
  Botnet(int networks, int perNetwork) : networks_(networks), perNetwork_(perNetwork) {}
  int Slots() const { return networks_ * perNetwork_; }
  void Start() {
    udp_.open(udp::v4());
    Run(Slots());
  }

 private:
  asio::ip::address_v4 Address(int slot) const override {
    const uint32_t net = static_cast<uint32_t>(slot / perNetwork_);
    return asio::ip::address_v4((127u << 24) | (40u + net / 256) << 16 | (net % 256) << 8 |
                                static_cast<uint32_t>(slot % perNetwork_ + 1));
  }
  // Its NAT test INVITE, from its own address (the socket's port).
  void Greeted(int slot, const std::string& token) override {
    asio::error_code ec;
    const uint16_t port = udp_.local_endpoint(ec).port();
    TSipProbe probe;
    probe.BuildInvite(token, std::to_string(kSipPorts[0]), Address(slot).to_string(), std::to_string(port), true,
                      port);
    SendDatagramFrom(udp_.native_handle(), probe.InviteMsg.data(), probe.InviteMsg.size(),
                     TUdpPeer{kServer.to_uint(), kSipPorts[0]}, Address(slot).to_uint());
    bytes += static_cast<long>(probe.InviteMsg.size());
  }

  int networks_, perNetwork_;
  udp::socket udp_{io_};
};

// Sessions that each open every NAT time-out mapping the token announces (one request each,
// from the session's own address) and then hold still: what a session costs with its mappings.
// Without mappings they only hold their session.
class TimeoutHolders : public ReopeningSessions {
 public:
  TimeoutHolders(int sessions, bool mappings) : sessions_(sessions), mappings_(mappings) {}
  void Start() {
    udp_.open(udp::v4());
    Run(sessions_);
  }
  std::atomic<long> requests{0};

 private:
  asio::ip::address_v4 Address(int slot) const override { return LoopbackAddress(50, slot); }
  void Greeted(int slot, const std::string& token) override {
    if (!mappings_) return;
    const auto plan = nat_timeout::PlanFromToken(token);
    if (!plan) return;
    int mapping = 0;
    const auto send = [&](nat_timeout::TKind kind, int idle) {
      const std::string text = nat_timeout::RequestText({token, ++mapping, kind, idle, 1});
      SendDatagramFrom(udp_.native_handle(), text.data(), text.size(), TUdpPeer{kServer.to_uint(), kSipPorts[0]},
                       Address(slot).to_uint());
      ++requests;
    };
    for (int idle : plan->IdleSecs) {
      send(nat_timeout::TKind::New, idle);
      send(nat_timeout::TKind::Busy, idle);
    }
    send(nat_timeout::TKind::Refresh, 0);
  }

  int sessions_;
  bool mappings_;
  udp::socket udp_{io_};
};

struct RunResult {
  Totals totals;
  int sessions = 0;
  double seconds = 0;
  long serverPeakKb = 0;
  TEchoServerCounters counters;
  long floodDatagrams = 0, hostileConnections = 0;
  double hostileSeconds = 0;
  int attackerOpenBefore = 0, attackerOpenAfter = 0;
  long attackerBusy = 0, attackerClosed = 0;
  long attackerBytes = 0, logBytes = 0;
  long idleKb = 0;  // the server's resident memory before any load
  size_t capacity = 0;
};

// What the server's child process reports when it ends.
struct ServerReport {
  TEchoServerCounters counters;
  long logBytes = 0;  // as the default log writes them: a time stamp, the line, a line end
};

// ---- Calls ----------------------------------------------------------------------------------------

struct CallTotals {
  int started = 0, reports = 0, busy = 0, failed = 0;
  long upSent = 0, upReceived = 0, downSent = 0, downReceived = 0;
  long long worstUpJitterUs = 0, worstDownJitterUs = 0;
  std::vector<double> rttMs;
};

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// One tester's call: greeting, then a stream of `seconds` at 50 packets a second from a socket
// of its own, whose ticks begin at a phase of its own; it ends with the server's report.
class Caller : public std::enable_shared_from_this<Caller> {
 public:
  // reflector: the stream goes straight to that port, without a session (the floor's run).
  Caller(asio::io_context& io, CallTotals& totals, int index, int seconds, uint16_t reflector = 0)
      : tcp_(io), udp_(io), timer_(io), deadline_(io), totals_(totals), index_(index),
        ticks_(seconds * call_wire::kPacketsPerSecond), reflector_(reflector) {}

  void Start() {
    asio::error_code ec;
    const auto me = LoopbackAddress(40, index_);
    if (reflector_ == 0) tcp_.open(tcp::v4(), ec);
    if (!ec && reflector_ == 0) tcp_.bind(tcp::endpoint(me, 0), ec);
    if (!ec) udp_.open(udp::v4(), ec);
    if (!ec) udp_.bind(udp::endpoint(me, 0), ec);
    if (ec) return Fail();
    if (reflector_ != 0) {
      token_ = "reflected";
      server_ = udp::endpoint(kServer, reflector_);
      ++totals_.started;
      Receive();
      start_ = Clock::now() + std::chrono::microseconds(index_ * 20000 / 97 % 20000);
      Tick();
      // Done a second after its stream.
      deadline_.expires_at(start_ + std::chrono::milliseconds(ticks_ * call_wire::kPacketMs + 1000));
      deadline_.async_wait([self = shared_from_this()](const asio::error_code& e) {
        if (e) return;
        ++self->totals_.reports;
        self->totals_.upSent += self->sent_;
        self->totals_.upReceived += self->sent_;
        self->totals_.downSent += self->sent_;
        self->totals_.downReceived += self->down_.Received();
        self->totals_.worstDownJitterUs = std::max(self->totals_.worstDownJitterUs, self->down_.JitterUs());
        self->Finish();
      });
      return;
    }
    deadline_.expires_after(std::chrono::seconds(ticks_ / call_wire::kPacketsPerSecond + 15));
    deadline_.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (!e) self->Fail();
    });
    tcp_.async_connect(tcp::endpoint(kServer, kControlPort), [self = shared_from_this()](const asio::error_code& e) {
      if (e) return self->Fail();
      asio::async_write(self->tcp_, asio::buffer(kControlGreeting.data(), kControlGreeting.size()),
                        [self](const asio::error_code& e2, size_t) {
                          if (e2) return self->Fail();
                          self->ReadControl();
                        });
    });
  }

 private:
  void ReadControl() {
    tcp_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const asio::error_code& e, size_t n) {
      if (self->done_) return;
      if (e) return self->Fail();
      self->in_.append(self->buffer_.data(), n);
      self->OnControl();
      if (!self->done_) self->ReadControl();
    });
  }

  void OnControl() {
    if (token_.empty()) {
      if (!TakeToken(in_, token_)) return;
      const auto plan = call_wire::PlanFromToken(token_);
      if (!plan) return Fail();
      server_ = udp::endpoint(kServer, plan->RtpPort);
      ++totals_.started;
      Receive();
      // Phones do not tick in step: each call its own phase within a packet's time.
      start_ = Clock::now() + std::chrono::microseconds(index_ * 20000 / 97 % 20000);
      Tick();
    }
    static const std::string end = Scramble(std::string(1, '\0'));
    size_t at;
    while (!done_ && (at = in_.find(end)) != std::string::npos) {
      const auto report = call_wire::ParseReport(Scramble(in_.substr(0, at)));
      in_.erase(0, at + 1);
      if (!report) continue;
      if (report->Busy) {
        ++totals_.busy;
        return Finish();
      }
      ++totals_.reports;
      totals_.upSent += sent_;
      totals_.upReceived += report->Received;
      totals_.downSent += report->Sent;
      totals_.downReceived += down_.Received();
      totals_.worstUpJitterUs = std::max(totals_.worstUpJitterUs, report->JitterUs);
      totals_.worstDownJitterUs = std::max(totals_.worstDownJitterUs, down_.JitterUs());
      return Finish();
    }
  }

  void Tick() {
    if (sent_ == ticks_) return;
    timer_.expires_at(start_ + sent_ * std::chrono::milliseconds(call_wire::kPacketMs));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (e || self->done_) return;
      call_wire::TPacket p;
      p.Seq = static_cast<uint16_t>(self->sent_);
      p.Timestamp = static_cast<uint32_t>(self->sent_ * call_wire::kTimestampStep);
      p.Ssrc = static_cast<uint32_t>(self->index_);
      p.Marker = self->sent_ == 0;
      p.Index = static_cast<uint32_t>(self->sent_);
      p.TimeUs = static_cast<uint64_t>(NowUs());
      p.Token = self->token_;
      const std::string bytes = call_wire::PacketBytes(p);
      asio::error_code ec;
      self->udp_.send_to(asio::buffer(bytes), self->server_, 0, ec);
      ++self->sent_;
      self->Tick();
    });
  }

  void Receive() {
    udp_.async_receive_from(asio::buffer(datagram_), from_, [self = shared_from_this()](const asio::error_code& e, size_t n) {
      if (e || self->done_) return;
      const int64_t now = NowUs();
      if (const auto p = call_wire::ParsePacket(std::string_view(self->datagram_.data(), n))) {
        self->down_.Take(p->Index, p->Timestamp, now);
        // Out and back, less what the server held.
        if (p->TimeUs > 0 && self->totals_.rttMs.size() < 2000000)
          self->totals_.rttMs.push_back(static_cast<double>(now - static_cast<int64_t>(p->TimeUs) - p->HoldUs) / 1000);
      }
      self->Receive();
    });
  }

  void Finish() {
    if (done_) return;
    done_ = true;
    asio::error_code ec;
    timer_.cancel();
    deadline_.cancel();
    tcp_.close(ec);
    udp_.close(ec);
  }
  void Fail() {
    if (done_) return;
    ++totals_.failed;
    Finish();
  }

  tcp::socket tcp_;
  udp::socket udp_;
  asio::steady_timer timer_, deadline_;
  CallTotals& totals_;
  int index_;
  int ticks_;
  uint16_t reflector_;
  std::array<char, 4096> buffer_{};
  std::array<char, 2048> datagram_{};
  udp::endpoint from_, server_;
  std::string in_, token_;
  Clock::time_point start_;
  int sent_ = 0;
  call_wire::TStreamReceiver down_;
  bool done_ = false;
};

// CPU seconds a process has used so far, from /proc.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs the calling process on CPU `cpu` alone, where the machine has it.
void PinTo(int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// The cores calls are measured on: the server (or the floor's reflector) on one, the callers on
// the others; -1 where the machine has one core.
int ServerCore() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) < 2) return -1;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) return c;
  return -1;
}

// The floor: a reflector that does nothing but take datagrams and send each straight back where
// it came from, in batches (recvmmsg, sendmmsg), in a child process on `cpu`. Its port in `port`.
pid_t StartReflector(int cpu, uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(kServer.to_uint());
  socklen_t length = sizeof at;
  const int big = 4 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(at.sin_port);
  const pid_t pid = fork();
  if (pid != 0) {
    close(fd);
    return pid;
  }
  PinTo(cpu);
  constexpr int kBatch = 64;
  static std::array<std::array<char, 2048>, kBatch> data;
  std::array<sockaddr_in, kBatch> from{};
  std::array<iovec, kBatch> io{};
  std::array<mmsghdr, kBatch> msgs{};
  for (;;) {
    for (int i = 0; i < kBatch; ++i) {
      io[i] = {data[i].data(), data[i].size()};
      msgs[i].msg_hdr = {};
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
      msgs[i].msg_hdr.msg_iov = &io[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(fd, msgs.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    for (int i = 0; i < n; ++i) io[i].iov_len = msgs[i].msg_len;
    sendmmsg(fd, msgs.data(), static_cast<unsigned>(n), 0);
  }
}

double OwnCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct CallResult {
  int calls = 0;
  CallTotals totals;
  double seconds = 0, serverCpu = 0, clientCpu = 0;
  long serverPeakKb = 0;
  TEchoServerCounters counters;
  bool floor = false;  // against the reflector
  // The server's CPU per datagram it took or sent (us).
  double CpuPerDatagramUs() const {
    const long datagrams = totals.upReceived + totals.downSent;
    return datagrams > 0 ? serverCpu * 1e6 / static_cast<double>(datagrams) : 0;
  }
  // No packet lost either way and every call's jitter under 3 ms.
  bool Clean() const {
    return totals.reports == calls && totals.upReceived == totals.upSent &&
           totals.downReceived == totals.downSent && totals.worstUpJitterUs < 3000 && totals.worstDownJitterUs < 3000;
  }
};

enum class RunKind { Quiet, Hostile, LockoutIdle, LockoutNat, Shared, Botnet };

// The server in a child process with its default limits (capacity 0: the default); its counters
// come back over a pipe.
// calls: its caps on calls and on the RTP rate are lifted, so that only its event loop limits them.
// list: it builds the vendor list, whose memory, freed after the build, the heap keeps for what
// comes later (a memory run goes without it, so that what sessions take shows).
pid_t StartServer(int counterPipe, size_t capacity = 0, bool calls = false, bool list = true, int cpu = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  PinTo(cpu);
  TEchoServerConfig config;
  config.Address = "127.0.0.1";
  config.ControlPort = kControlPort;
  config.SipPorts[0].Port = kSipPorts[0];
  config.SipPorts[1].Port = kSipPorts[1];
  config.RtpPort = 0;
  if (capacity > 0) config.MaxConnections = capacity;
  if (!list) config.IeeeDataDir.clear();
  if (calls) {
    config.MaxCalls = 1000000;
    config.RtpPacketsPerSecond = 10000000;
  }
  try {
    static long logBytes = 0;
    TEchoServer server(config, [](const std::string& line) { logBytes += 21 + static_cast<long>(line.size()); });
    server.HandleSignals();
    server.Run();
    const ServerReport report{server.Counters(), logBytes};
    if (write(counterPipe, &report, sizeof report) != sizeof report) _exit(1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    _exit(1);
  }
  _exit(0);
}

// Until the server answers a greeting: its event loop runs (the vendor list is built first).
bool WaitListening() {
  for (int i = 0; i < 1000; ++i) {
    asio::io_context io;
    tcp::socket s(io);
    asio::error_code ec;
    s.connect(tcp::endpoint(kServer, kControlPort), ec);
    if (!ec) {
      asio::write(s, asio::buffer(kControlGreeting.data(), kControlGreeting.size()), ec);
      std::array<char, 64> answer;
      if (!ec && s.read_some(asio::buffer(answer), ec) > 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<RunResult> RunOnce(const Settings& settings, RunKind kind, std::pair<int, int> botnetShape = {},
                                 size_t capacity = 0) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::nullopt;
  const pid_t server = StartServer(pipeEnds[1], capacity);
  close(pipeEnds[1]);
  if (server < 0 || !WaitListening()) {
    if (server > 0) kill(server, SIGKILL);
    return std::nullopt;
  }
  RunResult r;
  r.idleKb = PeakRssKb(server, "VmRSS:");
  std::unique_ptr<Hostile> h;
  if (kind == RunKind::Hostile) {
    h = std::make_unique<Hostile>(settings);
    h->Start();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the silent ones are in
  }
  std::unique_ptr<Attacker> attacker;
  if (kind == RunKind::LockoutIdle || kind == RunKind::LockoutNat) {
    attacker = std::make_unique<Attacker>(kind == RunKind::LockoutNat);
    attacker->Start();
    // Until the server is full: the attacker holds all it can and is refused the rest.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && (attacker->open < kAttackSessions || attacker->busy == 0))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The lockout holds: the attacker's first NAT reports and RTP bursts have gone out.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    r.attackerOpenBefore = attacker->open;
  }
  std::unique_ptr<Botnet> botnet;
  if (kind == RunKind::Botnet) {
    botnet = std::make_unique<Botnet>(botnetShape.first, botnetShape.second);
    botnet->Start();
    // Until it holds all it can: all its sessions, or the server is full and refuses it.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && botnet->open < botnet->Slots() && botnet->busy == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::seconds(settings.botnetWait));
    r.attackerOpenBefore = botnet->open;
  }
  std::function<asio::ip::address_v4(int)> address = [](int i) { return LoopbackAddress(1, i); };
  int sessions = settings.sessions;
  bool waitReports = false;
  if (botnet) {
    // Lone testers, each a network of its own, and an office of five in one /24.
    address = [](int i) {
      return i < kLoneTesters ? OwnNetwork(21, i)
                              : asio::ip::address_v4((127u << 24) | (22u << 16) | static_cast<uint32_t>(i - kLoneTesters + 1));
    };
    sessions = kLoneTesters + kOffice;
    waitReports = true;
  } else if (attacker) {
    address = [](int i) { return OwnNetwork(21, i); };
    sessions = settings.newcomers;
    waitReports = true;
  } else if (kind == RunKind::Shared) {
    address = [](int) { return asio::ip::make_address_v4("127.30.0.1"); };
    sessions = settings.shared;
    waitReports = true;
  }
  asio::io_context io(1);
  Load load(io, sessions, address, waitReports);
  load.Run();
  r.totals = load.totals;
  r.sessions = sessions;
  r.seconds = std::chrono::duration<double>(load.end_ - load.start_).count();
  if (h) {
    r.hostileSeconds = std::chrono::duration<double>(Clock::now() - load.start_).count() + 1;
    h->Stop();
    r.floodDatagrams = h->datagrams;
    r.hostileConnections = h->connections;
  }
  if (attacker) {
    r.attackerOpenAfter = attacker->open;
    r.attackerBusy = attacker->busy;
    r.attackerClosed = attacker->closed;
    attacker->Stop();
  }
  if (botnet) {
    r.attackerOpenAfter = botnet->open;
    r.attackerBusy = botnet->busy;
    r.attackerClosed = botnet->closed;
    r.attackerBytes = botnet->bytes;
    botnet->Stop();
  }
  r.capacity = capacity;
  r.serverPeakKb = PeakRssKb(server);
  kill(server, SIGTERM);
  ServerReport report;
  if (read(pipeEnds[0], &report, sizeof report) != sizeof report)
    std::fprintf(stderr, "bench_server: no counters from the server\n");
  r.counters = report.counters;
  r.logBytes = report.logBytes;
  close(pipeEnds[0]);
  waitpid(server, nullptr, 0);
  return r;
}

// N calls at once against a server of its own, pinned to a core of its own with the callers on
// the others; with floor, against the reflector instead (same core, same callers).
std::optional<CallResult> RunCalls(int calls, int seconds, bool floor = false) {
  const int core = ServerCore();
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::nullopt;
  uint16_t reflector = 0;
  const pid_t server = floor ? StartReflector(core, reflector) : StartServer(pipeEnds[1], 0, true, true, core);
  close(pipeEnds[1]);
  if (server < 0 || (!floor && !WaitListening())) {
    if (server > 0) kill(server, SIGKILL);
    return std::nullopt;
  }
  // The callers keep off the measured core.
  cpu_set_t before;
  CPU_ZERO(&before);
  sched_getaffinity(0, sizeof before, &before);
  if (core >= 0) {
    cpu_set_t others = before;
    CPU_CLR(core, &others);
    sched_setaffinity(0, sizeof others, &others);
  }
  CallResult r;
  r.calls = calls;
  r.floor = floor;
  asio::io_context io(1);
  std::vector<std::shared_ptr<Caller>> callers;
  for (int i = 0; i < calls; ++i) {
    callers.push_back(std::make_shared<Caller>(io, r.totals, i, seconds, reflector));
    callers.back()->Start();
  }
  const double serverCpu = CpuSeconds(server), clientCpu = OwnCpuSeconds();
  const auto start = Clock::now();
  io.run();
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.serverCpu = CpuSeconds(server) - serverCpu;
  r.clientCpu = OwnCpuSeconds() - clientCpu;
  r.serverPeakKb = PeakRssKb(server);
  sched_setaffinity(0, sizeof before, &before);
  kill(server, floor ? SIGKILL : SIGTERM);
  ServerReport report;
  if (!floor && read(pipeEnds[0], &report, sizeof report) != sizeof report)
    std::fprintf(stderr, "bench_server: no counters from the server\n");
  r.counters = report.counters;
  close(pipeEnds[0]);
  waitpid(server, nullptr, 0);
  return r;
}

// Resident memory a session costs, with its NAT time-out mappings and without: `sessions` of
// them held at once against a server of its own.
struct MemoryResult {
  int sessions = 0;
  long held = 0, requests = 0;
  long idleKb = 0, heldKb = 0;
};

std::optional<MemoryResult> RunMemory(int sessions, bool mappings) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::nullopt;
  const pid_t server = StartServer(pipeEnds[1], 0, false, false);
  close(pipeEnds[1]);
  if (server < 0 || !WaitListening()) {
    if (server > 0) kill(server, SIGKILL);
    return std::nullopt;
  }
  MemoryResult r;
  r.sessions = sessions;
  r.idleKb = PeakRssKb(server, "VmRSS:");
  TimeoutHolders holders(sessions, mappings);
  holders.Start();
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  const long wanted = mappings ? static_cast<long>(sessions) * static_cast<long>(2 * TEchoServerConfig().TimeoutIdleSecs.size() + 1) : 0;
  while (Clock::now() < deadline && (holders.open < sessions || holders.requests < wanted))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The requests are answered and every mapping waits for its idle time.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  r.held = holders.open;
  r.requests = holders.requests;
  r.heldKb = PeakRssKb(server, "VmRSS:");
  holders.Stop();
  kill(server, SIGTERM);
  ServerReport report;
  if (read(pipeEnds[0], &report, sizeof report) != sizeof report)
    std::fprintf(stderr, "bench_server: no counters from the server\n");
  close(pipeEnds[0]);
  waitpid(server, nullptr, 0);
  return r;
}

bool ParseArgs(int argc, char** argv, Settings& s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--benchmark_", 0) == 0) continue;  // scripts/bench.sh passes its arguments to all
    if (i + 1 >= argc) return false;
    const int v = std::atoi(argv[++i]);
    if (a == "--run") {
      s.run = argv[i];
      if (s.run != "quiet" && s.run != "hostile" && s.run != "lockout" && s.run != "shared" && s.run != "botnet" &&
          s.run != "calls" && s.run != "memory" && s.run != "all")
        return false;
      continue;
    }
    if (a == "--sessions") s.sessions = v;
    else if (a == "--newcomers") s.newcomers = v;
    else if (a == "--shared") s.shared = v;
    else if (a == "--silent") s.silent = v;
    else if (a == "--flood-rate") s.floodRate = v;
    else if (a == "--botnet-wait") s.botnetWait = v;
    else if (a == "--calls") s.calls = v;
    else if (a == "--call-seconds") s.callSeconds = v;
    else return false;
  }
  return s.sessions > 0 && s.sessions <= 60000 && s.silent >= 0 && s.silent <= 60000 &&
         s.newcomers > 0 && s.newcomers <= 256 && s.shared > 0 && s.shared <= 1000 && s.botnetWait >= 0 &&
         s.botnetWait <= 120 && s.calls >= 0 && s.calls <= 20000 && s.callSeconds >= 1 &&
         s.callSeconds <= call_wire::kMaxSeconds - 2;
}

// One table: a column per run.
void Print(const std::vector<std::pair<std::string, RunResult>>& runs,
           const std::vector<std::pair<const char*, std::function<std::string(const RunResult&)>>>& rows) {
  std::printf("%-40s", "");
  for (const auto& [name, r] : runs) std::printf(" %16s", name.c_str());
  std::printf("\n");
  for (const auto& [what, f] : rows) {
    std::printf("%-40s", what);
    for (const auto& [name, r] : runs) std::printf(" %16s", f(r).c_str());
    std::printf("\n");
  }
  std::printf("\n");
}

std::string Num(long v) { return std::to_string(v); }
std::string Ms(double v) {
  if (v < 0) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.0f ms", v);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, settings)) {
    std::fprintf(stderr,
                 "usage: bench_server [--run quiet|hostile|lockout|shared|botnet|calls|memory|all] [--sessions N] [--silent N]\n"
                 "                    [--flood-rate N] [--newcomers N] [--shared N] [--botnet-wait S] [--calls N]\n"
                 "                    [--call-seconds S]\n");
    return 2;
  }
  RaiseOpenFileLimit();
  signal(SIGPIPE, SIG_IGN);
  const bool all = settings.run == "all";
  bool bad = false;
  auto run = [&](RunKind kind, std::pair<int, int> shape = {}, size_t capacity = 0) {
    auto r = RunOnce(settings, kind, shape, capacity);
    if (!r) {
      std::fprintf(stderr, "bench_server: the server did not start\n");
      std::exit(1);
    }
    bad |= r->totals.failed > 0;
    return *r;
  };
  if (all || settings.run == "quiet" || settings.run == "hostile") {
    std::vector<std::pair<std::string, RunResult>> runs;
    if (all || settings.run == "quiet") runs.emplace_back("quiet", run(RunKind::Quiet));
    if (all || settings.run == "hostile") runs.emplace_back("hostile", run(RunKind::Hostile));
    for (const auto& [name, r] : runs) bad |= r.totals.lost > 0;
    Print(runs, {
        {"sessions (all steps done)", [](const RunResult& r) { return Num(r.totals.done); }},
        {"sessions failed", [](const RunResult& r) { return Num(r.totals.failed); }},
        {"echoes lost (of 4 per session)", [](const RunResult& r) { return Num(r.totals.lost); }},
        {"probe resends", [](const RunResult& r) { return Num(r.totals.resends); }},
        {"NAT burst echoes missing", [](const RunResult& r) { return Num(r.totals.burstEchoesMissing); }},
        {"NAT tests not started (of 2 each)", [](const RunResult& r) { return Num(r.totals.natTestsNotStarted); }},
        {"sessions per second", [](const RunResult& r) { return Num(static_cast<long>(r.sessions / r.seconds)); }},
        {"server peak RSS (kB)", [](const RunResult& r) { return Num(r.serverPeakKb); }},
        {"server: echoes sent", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Echoes)); }},
        {"echoes received", [](const RunResult& r) { return Num(r.totals.echoes); }},
        {"server: datagrams dropped", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Dropped)); }},
        {"server: connections refused", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Refused)); }},
        {"hostile datagrams sent", [](const RunResult& r) { return Num(r.floodDatagrams); }},
        {"hostile datagrams per second", [](const RunResult& r) {
           return Num(static_cast<long>(r.hostileSeconds > 0 ? r.floodDatagrams / r.hostileSeconds : 0));
         }},
        {"hostile connections opened", [](const RunResult& r) { return Num(r.hostileConnections); }},
    });
  }
  if (all || settings.run == "lockout" || settings.run == "shared") {
    std::vector<std::pair<std::string, RunResult>> runs;
    if (all || settings.run == "lockout") {
      // At the old capacity, which the attacker fills.
      runs.emplace_back("lockout, idle", run(RunKind::LockoutIdle, {}, kOldCapacity));
      runs.emplace_back("lockout, NAT", run(RunKind::LockoutNat, {}, kOldCapacity));
    }
    if (all || settings.run == "shared") runs.emplace_back("one address", run(RunKind::Shared));
    for (const auto& [name, r] : runs) bad |= r.totals.complete != r.sessions;
    Print(runs, {
        {"testers", [](const RunResult& r) { return Num(r.sessions); }},
        {"served (a token)", [](const RunResult& r) { return Num(r.totals.greeted); }},
        {"told busy", [](const RunResult& r) { return Num(r.totals.busy); }},
        {"failed otherwise", [](const RunResult& r) { return Num(r.totals.failed); }},
        {"token after connect, median", [](const RunResult& r) { return Ms(Percentile(r.totals.tokenMs, 0.5)); }},
        {"token after connect, slowest", [](const RunResult& r) { return Ms(Percentile(r.totals.tokenMs, 1)); }},
        {"all 4 echoes and NAT reports on both", [](const RunResult& r) { return Num(r.totals.complete); }},
        {"echoes lost (of 4 each)", [](const RunResult& r) { return Num(r.totals.lost); }},
        {"probe resends", [](const RunResult& r) { return Num(r.totals.resends); }},
        {"NAT reports missing (of 2 each)", [](const RunResult& r) { return Num(r.totals.reportsMissing); }},
        {"attacker sessions open before", [](const RunResult& r) { return Num(r.attackerOpenBefore); }},
        {"attacker sessions open after", [](const RunResult& r) { return Num(r.attackerOpenAfter); }},
        {"attacker: told busy", [](const RunResult& r) { return Num(r.attackerBusy); }},
        {"server: closed to make room", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Evicted)); }},
        {"server: refused", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Refused)); }},
        {"server: datagrams dropped", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Dropped)); }},
        {"server peak RSS (kB)", [](const RunResult& r) { return Num(r.serverPeakKb); }},
    });
  }
  if (all || settings.run == "botnet") {
    std::vector<std::pair<std::string, RunResult>> runs;
    const std::pair<int, int> shapes[] = {{2500, 2}, {1000, 5}, {5000, 1}};
    for (const auto& shape : shapes)
      for (const size_t capacity : {kOldCapacity, size_t{0}})
        runs.emplace_back(std::to_string(shape.first) + "x" + std::to_string(shape.second) +
                              (capacity ? " at 5k" : " at dflt"),
                          run(RunKind::Botnet, shape, capacity));
    for (const auto& [name, r] : runs) bad |= r.capacity == 0 && r.totals.complete != r.sessions;
    Print(runs, {
        {"lone testers served completely (of 15)", [](const RunResult& r) {
           return Num(r.totals.complete - r.totals.completeOffice);
         }},
        {"office served completely (of 5)", [](const RunResult& r) { return Num(r.totals.completeOffice); }},
        {"told busy", [](const RunResult& r) { return Num(r.totals.busy); }},
        {"token after connect, median", [](const RunResult& r) { return Ms(Percentile(r.totals.tokenMs, 0.5)); }},
        {"token after connect, slowest", [](const RunResult& r) { return Ms(Percentile(r.totals.tokenMs, 1)); }},
        {"attacker sessions open before", [](const RunResult& r) { return Num(r.attackerOpenBefore); }},
        {"attacker: told busy", [](const RunResult& r) { return Num(r.attackerBusy); }},
        {"attacker sessions closed", [](const RunResult& r) { return Num(r.attackerClosed); }},
        {"server: closed to make room", [](const RunResult& r) { return Num(static_cast<long>(r.counters.Evicted)); }},
        {"server peak RSS (kB)", [](const RunResult& r) { return Num(r.serverPeakKb); }},
        {"server bytes per attacker session", [](const RunResult& r) {
           return Num(r.attackerOpenBefore ? (r.serverPeakKb - r.idleKb) * 1024 / r.attackerOpenBefore : 0);
         }},
        {"log bytes", [](const RunResult& r) { return Num(r.logBytes); }},
        {"attacker bytes", [](const RunResult& r) { return Num(r.attackerBytes); }},
        {"log bytes per attacker byte", [](const RunResult& r) {
           char b[32];
           std::snprintf(b, sizeof b, "%.4f", r.attackerBytes ? double(r.logBytes) / double(r.attackerBytes) : 0.0);
           return std::string(b);
         }},
    });
  }
  if (all || settings.run == "calls") {
    std::vector<CallResult> results;
    if (settings.calls > 0) {
      if (auto r = RunCalls(settings.calls, settings.callSeconds)) results.push_back(*r);
    } else {
      // Doubling until a step is not clean, then halfway back between the last clean one and it.
      int clean = 0;
      for (int n = 100; n <= 12800; n *= 2) {
        auto r = RunCalls(n, settings.callSeconds);
        if (!r) break;
        results.push_back(*r);
        if (!r->Clean()) {
          if (clean > 0)
            if (auto mid = RunCalls((clean + n) / 2, settings.callSeconds)) results.push_back(*mid);
          break;
        }
        clean = n;
      }
    }
    if (results.empty()) {
      std::fprintf(stderr, "bench_server: the server did not start\n");
      return 1;
    }
    // The floor at each load: the reflector on the same core with the same callers.
    std::vector<CallResult> floors;
    for (const CallResult& r : results) {
      auto f = RunCalls(r.calls, settings.callSeconds, true);
      floors.push_back(f ? *f : CallResult{});
    }
    std::vector<std::pair<std::string, CallResult>> runs;
    for (const CallResult& r : results) runs.emplace_back(std::to_string(r.calls) + " calls", r);
    const auto floorOf = [&](const CallResult& r) -> const CallResult& {
      for (size_t i = 0; i < results.size(); ++i)
        if (results[i].calls == r.calls) return floors[i];
      return floors.front();
    };
    auto table = [&](const char* what, std::function<std::string(const CallResult&)> f) {
      std::printf("%-40s", what);
      for (const auto& [name, r] : runs) std::printf(" %14s", f(r).c_str());
      std::printf("\n");
    };
    std::printf("%-40s", "");
    for (const auto& [name, r] : runs) std::printf(" %14s", name.c_str());
    std::printf("\n");
    auto jitter = [](long long us) {
      char b[32];
      std::snprintf(b, sizeof b, "%.2f ms", static_cast<double>(us) / 1000);
      return std::string(b);
    };
    auto fixed = [](double v, const char* unit) {
      char b[32];
      std::snprintf(b, sizeof b, "%.2f%s", v, unit);
      return std::string(b);
    };
    table("calls with a report", [](const CallResult& r) { return Num(r.totals.reports); });
    table("calls failed or told busy", [](const CallResult& r) { return Num(r.totals.failed + r.totals.busy); });
    table("up: packets lost", [](const CallResult& r) { return Num(r.totals.upSent - r.totals.upReceived); });
    table("down: packets lost", [](const CallResult& r) { return Num(r.totals.downSent - r.totals.downReceived); });
    table("down: packets sent by the server", [](const CallResult& r) { return Num(r.totals.downSent); });
    table("up: worst jitter of a call", [&](const CallResult& r) { return jitter(r.totals.worstUpJitterUs); });
    table("down: worst jitter of a call", [&](const CallResult& r) { return jitter(r.totals.worstDownJitterUs); });
    table("round trip, median", [&](const CallResult& r) { return fixed(Percentile(r.totals.rttMs, 0.5), " ms"); });
    table("round trip, 99th percentile", [&](const CallResult& r) { return fixed(Percentile(r.totals.rttMs, 0.99), " ms"); });
    table("server CPU (cores)", [&](const CallResult& r) { return fixed(r.serverCpu / r.seconds, ""); });
    table("calls per core at that load", [](const CallResult& r) {
      return Num(r.serverCpu > 0 ? static_cast<long>(r.calls * r.seconds / r.serverCpu) : 0);
    });
    table("server CPU per datagram (us)", [&](const CallResult& r) { return fixed(r.CpuPerDatagramUs(), ""); });
    table("floor: reflector CPU (cores)", [&](const CallResult& r) {
      return fixed(floorOf(r).serverCpu / std::max(floorOf(r).seconds, 1e-9), "");
    });
    table("floor: CPU per datagram (us)", [&](const CallResult& r) { return fixed(floorOf(r).CpuPerDatagramUs(), ""); });
    table("ours / floor per datagram", [&](const CallResult& r) {
      const double f = floorOf(r).CpuPerDatagramUs();
      return f > 0 ? fixed(r.CpuPerDatagramUs() / f, "") : std::string("-");
    });
    table("client CPU (cores)", [&](const CallResult& r) { return fixed(r.clientCpu / r.seconds, ""); });
    table("server peak RSS (kB)", [](const CallResult& r) { return Num(r.serverPeakKb); });
    table("clean (no loss, jitter < 3 ms)", [](const CallResult& r) { return std::string(r.Clean() ? "yes" : "no"); });
    std::printf("\n");
  }
  if (all || settings.run == "memory") {
    const int n = std::min(settings.sessions, 4000);
    const auto alone = RunMemory(n, false), withMappings = RunMemory(n, true);
    if (!alone || !withMappings) {
      std::fprintf(stderr, "bench_server: the server did not start\n");
      return 1;
    }
    const auto perSession = [](const MemoryResult& r) {
      return r.held > 0 ? (r.heldKb - r.idleKb) * 1024 / r.held : 0;
    };
    std::printf("%-40s %16s %16s\n", "", "session alone", "with mappings");
    std::printf("%-40s %16ld %16ld\n", "sessions held", alone->held, withMappings->held);
    std::printf("%-40s %16ld %16ld\n", "time-out requests sent", alone->requests, withMappings->requests);
    std::printf("%-40s %16ld %16ld\n", "server RSS idle (kB)", alone->idleKb, withMappings->idleKb);
    std::printf("%-40s %16ld %16ld\n", "server RSS held (kB)", alone->heldKb, withMappings->heldKb);
    std::printf("%-40s %16ld %16ld\n\n", "bytes per session", perSession(*alone), perSession(*withMappings));
  }
  return bad;
}
