// Load on the echo server: many concurrent sessions on loopback, each doing what a tester does
// (greeting, then REGISTER and INVITE from one UDP socket to both SIP ports, each waited for
// and sent again after 2 s, at most three times). Reports sessions per second, peak memory and
// lost echoes.
//
//   bench_server [--sessions N] [--server IP --control-port N --sip-ports A,B]
//
// Without --server it runs the server in this process on 127.0.0.1 (its own thread) with the
// per-address limits opened up, since every session comes from that one address.
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/XorUnit.h"
#include "probes/SipProbe.h"
#include "server/EchoServer.h"
#include "server/ServerPlatform.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

struct Settings {
  int sessions = 2000;
  std::string server = "127.0.0.1";
  uint16_t controlPort = 28080;
  uint16_t sipPorts[2] = {25060, 25058};
  bool external = false;
};

struct Totals {
  int connected = 0, greeted = 0, failed = 0, done = 0;
  long probesSent = 0, echoes = 0, resends = 0, lost = 0, stray = 0;
};

// Peak resident memory of this process, from /proc (kB); 0 where there is none.
long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

class Load;

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  ClientSession(asio::io_context& io, Load& load, int index)
      : tcp_(io), udp_(io), timer_(io), load_(load), index_(index) {}
  void Start();
  void StartProbes();

 private:
  void ReadMore();
  void OnBytes();
  void SendProbe();
  void Step();
  void Fail(const char* why);

  tcp::socket tcp_;
  udp::socket udp_;
  asio::steady_timer timer_;
  Load& load_;
  int index_;
  std::array<char, 16384> buffer_{};
  std::string in_;
  std::string token_;
  int step_ = 0;      // probe 0..3
  int attempts_ = 0;  // sends of the current probe
  std::string sent_;  // the current probe's text
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
  }
  void Greeted() {
    ++totals.greeted;
    CheckAllGreeted();
  }
  void Failed() {
    ++totals.failed;
    CheckAllGreeted();
    Finished();
  }
  void Finished() {
    if (++finishedCount_ == settings_.sessions) end_ = Clock::now();
  }
  void CheckAllGreeted() {
    // All sessions are open at once before the probes start: that is the concurrency measured.
    if (greetedAt_ == Clock::time_point() && totals.greeted + totals.failed == settings_.sessions) {
      greetedAt_ = Clock::now();
      for (auto& s : sessions_) s->StartProbes();
    }
  }
  const Settings& settings() const { return settings_; }
  asio::io_context& io() { return io_; }
  Totals totals;
  Clock::time_point start_, greetedAt_, end_;

 private:
  asio::io_context& io_;
  Settings settings_;
  std::vector<std::shared_ptr<ClientSession>> sessions_;
  int finishedCount_ = 0;
};

void ClientSession::Start() {
  const tcp::endpoint to(asio::ip::make_address_v4(load_.settings().server),
                         load_.settings().controlPort);
  tcp_.async_connect(to, [self = shared_from_this()](const asio::error_code& ec) {
    if (ec) return self->Fail("connect");
    ++self->load_.totals.connected;
    static const std::string greeting("GET 5060\0", 9);
    asio::async_write(self->tcp_, asio::buffer(greeting),
                      [self](const asio::error_code& e, size_t) {
                        if (e) return self->Fail("greeting");
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
    asio::error_code ec;
    udp_.open(udp::v4(), ec);
    if (!ec) udp_.bind(udp::endpoint(tcp_.local_endpoint(ec).address(), 0), ec);
    if (ec || token_.empty()) return Fail("token");
    load_.Greeted();
  }
  static const std::string echoEnd = Scramble(std::string(1, '\0'));
  size_t at;
  while ((at = in_.find(echoEnd)) != std::string::npos) {
    const std::string echo = Scramble(in_.substr(0, at));
    in_.erase(0, at + 1);
    ++load_.totals.echoes;
    const size_t lineEnd = echo.find("\r\n");
    if (sent_.empty() || lineEnd == std::string::npos || echo.substr(lineEnd + 2) != sent_) {
      ++load_.totals.stray;  // a late echo of an earlier send
      continue;
    }
    timer_.cancel();
    sent_.clear();
    ++step_;
    Step();
    if (finished_) return;
  }
}

void ClientSession::StartProbes() {
  if (finished_) return;
  step_ = 0;
  Step();
}

void ClientSession::Step() {
  if (step_ == 4) {
    finished_ = true;
    ++load_.totals.done;
    asio::error_code ec;
    tcp_.close(ec);
    udp_.close(ec);
    load_.Finished();
    return;
  }
  attempts_ = 0;
  SendProbe();
}

void ClientSession::SendProbe() {
  const uint16_t port = load_.settings().sipPorts[step_ % 2];
  asio::error_code ec;
  const udp::endpoint local = udp_.local_endpoint(ec);
  TSipProbe probe;
  if (step_ < 2)
    probe.BuildRegister(token_, std::to_string(port), local.address().to_string(),
                        std::to_string(local.port()));
  else
    probe.BuildInvite(token_, std::to_string(port), local.address().to_string(),
                      std::to_string(local.port()), false, 5004);
  sent_ = step_ < 2 ? probe.RegisterMsg : probe.InviteMsg;
  ++attempts_;
  ++load_.totals.probesSent;
  if (attempts_ > 1) ++load_.totals.resends;
  udp_.send_to(asio::buffer(sent_),
               udp::endpoint(asio::ip::make_address_v4(load_.settings().server), port), 0, ec);
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

void ClientSession::Fail(const char* why) {
  if (finished_) return;
  finished_ = true;
  static int reported = 0;
  if (reported++ < 5) std::fprintf(stderr, "session %d failed: %s\n", index_, why);
  asio::error_code ec;
  timer_.cancel();
  tcp_.close(ec);
  udp_.close(ec);
  load_.Failed();
}

bool ParseArgs(int argc, char** argv, Settings& s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--benchmark_", 0) == 0) continue;  // scripts/bench.sh passes its arguments to all
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--sessions") {
      s.sessions = std::stoi(v);
    } else if (a == "--server") {
      s.server = v;
      s.external = true;
    } else if (a == "--control-port") {
      s.controlPort = static_cast<uint16_t>(std::stoi(v));
    } else if (a == "--sip-ports") {
      s.sipPorts[0] = static_cast<uint16_t>(std::stoi(v.substr(0, v.find(','))));
      s.sipPorts[1] = static_cast<uint16_t>(std::stoi(v.substr(v.find(',') + 1)));
    } else {
      return false;
    }
  }
  return s.sessions > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, settings)) {
    std::fprintf(stderr,
                 "usage: bench_server [--sessions N] [--server IP --control-port N "
                 "--sip-ports A,B]\n");
    return 2;
  }
  RaiseOpenFileLimit();
  const long rssBefore = PeakRssKb();

  std::unique_ptr<TEchoServer> server;
  std::thread serverThread;
  if (!settings.external) {
    TEchoServerConfig config;
    config.Address = settings.server;
    config.ControlPort = settings.controlPort;
    config.SipPorts = {{settings.sipPorts[0], {20000, 40000, 80000, 160000}},
                       {settings.sipPorts[1], {30000, 60000, 120000}}};
    config.RtpPort = 0;
    config.IeeeDataDir = "";
    config.MaxConnections = 100000;
    config.MaxConnectionsPerAddress = 100000;
    config.DatagramsPerSecond = 1e9;
    config.DatagramBurst = 1e9;
    try {
      server = std::make_unique<TEchoServer>(config, [](const std::string&) {});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_server: %s\n", e.what());
      return 1;
    }
    serverThread = std::thread([&] { server->Run(); });
  }

  asio::io_context io(1);
  Load load(io, settings);
  load.Run();
  if (load.end_ == Clock::time_point()) load.end_ = Clock::now();

  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  const Totals& t = load.totals;
  const double totalMs = ms(load.end_ - load.start_);
  const long expectedEchoes = 4L * t.greeted;
  std::printf("sessions            %d (greeted %d, failed %d, all four echoes %d)\n",
              settings.sessions, t.greeted, t.failed, t.done);
  std::printf("greeting phase      %.0f ms for all sessions open at once\n",
              ms(load.greetedAt_ - load.start_));
  std::printf("echo phase          %.0f ms\n", ms(load.end_ - load.greetedAt_));
  std::printf("sessions per second %.0f\n", settings.sessions / (totalMs / 1000.0));
  std::printf("probes sent         %ld (resends %ld)\n", t.probesSent, t.resends);
  std::printf("echoes lost         %ld of %ld (late duplicates %ld)\n", t.lost, expectedEchoes,
              t.stray);
  if (server) {
    const auto c = server->Counters();
    std::printf("server counted      %llu sessions, %llu echoes, %llu dropped, %llu refused\n",
                static_cast<unsigned long long>(c.Sessions),
                static_cast<unsigned long long>(c.Echoes),
                static_cast<unsigned long long>(c.Dropped),
                static_cast<unsigned long long>(c.Refused));
    server->Stop();
    serverThread.join();
  }
  std::printf("peak memory         %ld kB for this process (%ld kB before the load%s)\n",
              PeakRssKb(), rssBefore, server ? "; server and clients together" : "");
  if (t.failed > 0 || t.lost > 0) {
    std::printf("FAILED: %d sessions failed, %ld echoes lost\n", t.failed, t.lost);
    return 1;
  }
  return 0;
}
