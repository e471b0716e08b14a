// The echo server under load, quiet and hostile, side by side. The server runs in a child
// process of its own with its default limits, so that its peak memory is its own. Each
// well-behaved session does what a tester does, from a loopback address of its own: greeting,
// REGISTER and INVITE to both SIP ports (each waited for and sent again after 2 s, at most three
// sends), then both NAT test bursts of six INVITEs 100 ms apart, whose echoes it waits for at
// most 500 ms after the last before it closes.
// The hostile load, on a thread of its own, runs at the same time:
//   - forged-source datagrams flood the SIP ports, paced at --flood-rate per second: small ones
//     with a token holder's Call-ID or a stranger's, and one in 16 each oversized (30,000
//     bytes) or of random bytes;
//   - malformed greetings and HTTP heads come in on connections that are opened again and again;
//   - --silent connections connect and stay silent (opened again when the server closes them).
//
//   bench_server [--sessions N] [--silent N] [--flood-rate N]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/XorUnit.h"
#include "probes/SipProbe.h"
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
  int sessions = 2000;
  int silent = 2000;
  int floodRate = 20000;
};

// 127.<net>.x.y for index i, a distinct address per index.
asio::ip::address_v4 LoopbackAddress(int net, int i) {
  return asio::ip::address_v4((127u << 24) | (static_cast<uint32_t>(net) << 16) |
                              static_cast<uint32_t>(i / 250) << 8 | static_cast<uint32_t>(i % 250 + 1));
}
const asio::ip::address_v4 kServer = asio::ip::make_address_v4("127.0.0.1");

// Peak resident memory of a process, from /proc (kB); 0 where there is none.
long PeakRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

struct Totals {
  int greeted = 0, failed = 0, done = 0;
  long echoes = 0, resends = 0, lost = 0, burstEchoesMissing = 0, natTestsNotStarted = 0;
};

class Load;

// One well-behaved session.
class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  ClientSession(asio::io_context& io, Load& load, int index)
      : tcp_(io), udp_(io), timer_(io), load_(load), index_(index) {}
  void Start();

 private:
  void ReadMore();
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
  std::array<char, 16384> buffer_{};
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

class Load {
 public:
  Load(asio::io_context& io, const Settings& s) : io_(io), settings_(s) {}
  void Run() {
    start_ = Clock::now();
    for (int i = 0; i < settings_.sessions; ++i) {
      auto c = std::make_shared<ClientSession>(io_, *this, i);
      sessions_.push_back(c);
      c->Start();
    }
    io_.run();
    if (end_ == Clock::time_point()) end_ = Clock::now();
  }
  void Finished() {
    if (++finished_ == settings_.sessions) end_ = Clock::now();
  }
  Totals totals;
  Clock::time_point start_, end_;

 private:
  asio::io_context& io_;
  Settings settings_;
  std::vector<std::shared_ptr<ClientSession>> sessions_;
  int finished_ = 0;
};

void ClientSession::Start() {
  asio::error_code ec;
  const auto me = LoopbackAddress(1, index_);
  tcp_.open(tcp::v4(), ec);
  if (!ec) tcp_.bind(tcp::endpoint(me, 0), ec);
  if (!ec) udp_.open(udp::v4(), ec);
  if (!ec) udp_.bind(udp::endpoint(me, 0), ec);
  if (ec) return Fail("bind");
  tcp_.async_connect(tcp::endpoint(kServer, kControlPort),
                     [self = shared_from_this()](const asio::error_code& e) {
                       if (e) return self->Fail("connect");
                       asio::async_write(self->tcp_, asio::buffer(kGreeting.data(), kGreeting.size()),
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

void ClientSession::OnBytes() {
  if (token_.empty()) {
    static const std::string terminator = Scramble(std::string("@5060\0", 6));
    const size_t at = in_.find(terminator);
    if (at == std::string::npos) return;
    token_ = Scramble(in_.substr(0, at));
    in_.erase(0, at + terminator.size());
    if (token_.empty()) return Fail("token");
    ++load_.totals.greeted;
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
      if (++burstEchoes_ == 2 * kNatSends) {
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
    self->sent_.clear();
    ++self->step_;
    self->Step();
  });
}

// Both NAT test bursts as the tester sends them: six INVITEs 100 ms apart from the one port,
// then from the other. The RTP port announced is this session's own UDP port.
void ClientSession::SendBursts() {
  if (burstSent_ == 2 * kNatSends) {
    // The tester does not wait for these echoes; the session ends soon after its bursts.
    timer_.expires_after(std::chrono::milliseconds(500));
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

void ClientSession::Finish() {
  if (finished_) return;
  finished_ = true;
  // No echo of a port's burst: none of its six INVITEs reached the server.
  load_.totals.natTestsNotStarted += !(burstPorts_ & 1) + !(burstPorts_ & 2);
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
  ++load_.totals.failed;
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

  // A greeted session whose token the flood uses; greets again when cut off.
  void TokenHolder() {
    auto s = std::make_shared<tcp::socket>(io_);
    asio::error_code ec;
    s->open(tcp::v4(), ec);
    s->bind(tcp::endpoint(LoopbackAddress(6, 0), 0), ec);
    s->async_connect(tcp::endpoint(kServer, kControlPort), [this, s](const asio::error_code& e) {
      if (e) return;
      asio::async_write(*s, asio::buffer(kGreeting.data(), kGreeting.size()),
                        [this, s](const asio::error_code&, size_t) { ReadToken(s, std::make_shared<std::string>()); });
    });
  }
  void ReadToken(std::shared_ptr<tcp::socket> s, std::shared_ptr<std::string> in) {
    auto buffer = std::make_shared<std::array<char, 16384>>();
    s->async_read_some(asio::buffer(*buffer), [this, s, in, buffer](const asio::error_code& e, size_t n) {
      if (e) return TokenHolder();
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

struct RunResult {
  Totals totals;
  double seconds = 0;
  long serverPeakKb = 0;
  TEchoServerCounters counters;
  long floodDatagrams = 0, hostileConnections = 0;
  double hostileSeconds = 0;
};

// The server in a child process with its default limits; its counters come back over a pipe.
pid_t StartServer(int counterPipe) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  TEchoServerConfig config;
  config.Address = "127.0.0.1";
  config.ControlPort = kControlPort;
  config.SipPorts[0].Port = kSipPorts[0];
  config.SipPorts[1].Port = kSipPorts[1];
  config.RtpPort = 0;
  try {
    TEchoServer server(config, [](const std::string&) {});
    server.HandleSignals();
    server.Run();
    const TEchoServerCounters c = server.Counters();
    if (write(counterPipe, &c, sizeof c) != sizeof c) _exit(1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    _exit(1);
  }
  _exit(0);
}

bool WaitListening() {
  for (int i = 0; i < 500; ++i) {
    asio::io_context io;
    tcp::socket s(io);
    asio::error_code ec;
    s.connect(tcp::endpoint(kServer, kControlPort), ec);
    if (!ec) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<RunResult> RunOnce(const Settings& settings, bool hostile) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::nullopt;
  const pid_t server = StartServer(pipeEnds[1]);
  close(pipeEnds[1]);
  if (server < 0 || !WaitListening()) {
    if (server > 0) kill(server, SIGKILL);
    return std::nullopt;
  }
  std::unique_ptr<Hostile> h;
  if (hostile) {
    h = std::make_unique<Hostile>(settings);
    h->Start();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the silent ones are in
  }
  asio::io_context io(1);
  Load load(io, settings);
  load.Run();
  RunResult r;
  r.totals = load.totals;
  r.seconds = std::chrono::duration<double>(load.end_ - load.start_).count();
  if (h) {
    r.hostileSeconds = std::chrono::duration<double>(Clock::now() - load.start_).count() + 1;
    h->Stop();
    r.floodDatagrams = h->datagrams;
    r.hostileConnections = h->connections;
  }
  r.serverPeakKb = PeakRssKb(server);
  kill(server, SIGTERM);
  if (read(pipeEnds[0], &r.counters, sizeof r.counters) != sizeof r.counters)
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
    if (a == "--sessions") s.sessions = v;
    else if (a == "--silent") s.silent = v;
    else if (a == "--flood-rate") s.floodRate = v;
    else return false;
  }
  return s.sessions > 0 && s.sessions <= 60000 && s.silent >= 0 && s.silent <= 60000;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, settings)) {
    std::fprintf(stderr, "usage: bench_server [--sessions N] [--silent N] [--flood-rate N]\n");
    return 2;
  }
  RaiseOpenFileLimit();
  signal(SIGPIPE, SIG_IGN);
  const auto quiet = RunOnce(settings, false);
  const auto hostile = RunOnce(settings, true);
  if (!quiet || !hostile) {
    std::fprintf(stderr, "bench_server: the server did not start\n");
    return 1;
  }
  const auto row = [&](const char* what, auto f) {
    std::printf("%-34s %16s %16s\n", what, f(*quiet).c_str(), f(*hostile).c_str());
  };
  const auto num = [](auto v) { return std::to_string(v); };
  std::printf("%-34s %16s %16s\n", "", "quiet", "hostile");
  row("sessions (all steps done)", [&](const RunResult& r) { return num(r.totals.done); });
  row("sessions failed", [&](const RunResult& r) { return num(r.totals.failed); });
  row("echoes lost (of 4 per session)", [&](const RunResult& r) { return num(r.totals.lost); });
  row("probe resends", [&](const RunResult& r) { return num(r.totals.resends); });
  row("NAT burst echoes missing", [&](const RunResult& r) { return num(r.totals.burstEchoesMissing); });
  row("NAT tests not started (of 2 each)", [&](const RunResult& r) { return num(r.totals.natTestsNotStarted); });
  row("sessions per second", [&](const RunResult& r) {
    return num(static_cast<long>(settings.sessions / r.seconds));
  });
  row("server peak RSS (kB)", [&](const RunResult& r) { return num(r.serverPeakKb); });
  row("server: echoes sent", [&](const RunResult& r) { return num(r.counters.Echoes); });
  row("echoes received", [&](const RunResult& r) { return num(r.totals.echoes); });
  row("server: datagrams dropped", [&](const RunResult& r) { return num(r.counters.Dropped); });
  row("server: connections refused", [&](const RunResult& r) { return num(r.counters.Refused); });
  row("hostile datagrams sent", [&](const RunResult& r) { return num(r.floodDatagrams); });
  row("hostile datagrams per second", [&](const RunResult& r) {
    return num(static_cast<long>(r.hostileSeconds > 0 ? r.floodDatagrams / r.hostileSeconds : 0));
  });
  row("hostile connections opened", [&](const RunResult& r) { return num(r.hostileConnections); });
  return quiet->totals.lost + hostile->totals.lost + quiet->totals.failed + hostile->totals.failed > 0;
}
