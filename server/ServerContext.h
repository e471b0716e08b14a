#pragma once
// What the parts of the echo server share on its one event loop: settings, log, counters, the
// sessions open now and the registers that find them.
#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>

#include "server/ConnectionCore.h"
#include "server/ServerOptions.h"
#include "server/SessionPolicy.h"

struct TAtomicCounters {
  std::atomic<uint64_t> Connections{0}, Refused{0}, Evicted{0}, Sessions{0}, Echoes{0},
      Dropped{0}, NatReports{0}, RtpPackets{0}, HttpRequests{0}, OpenConnections{0};
  std::atomic<uint64_t> StunAnswers{0}, Calls{0}, CallsBusy{0}, CallPackets{0};
};

using TConnectionId = TAdmission::TId;

class TTcpConnection;
class TControlSession;
class TUdpSide;

// "a.b.c.d:port".
std::string EndpointText(uint32_t address, uint16_t port);

class TServerContext {
 public:
  using TLogSink = std::function<void(const std::string& line)>;

  // The longest log line; a longer one is cut, so that no peer makes the log grow faster than
  // its rations allow.
  static constexpr size_t kMaxLogLine = 400;

  TServerContext(asio::io_context& io, TEchoServerConfig config, TLogSink log)
      : Io(io),
        Config(std::move(config)),
        Log([sink = std::move(log)](const std::string& line) {
          sink(line.size() <= kMaxLogLine ? line : line.substr(0, kMaxLogLine - 3) + "...");
        }),
        Admission(Config.MaxConnections, Config.MaxConnectionsPerAddress, Config.NetworkPrefixBits,
                  Config.ProtectedPerNetwork),
        CallShare(Config.CallsAtOnce(), Config.CallsPerNetwork(), Config.CallsPerAddress(),
                  TAdmission::PrefixMask(Config.NetworkPrefixBits)),
        Tally(TAdmission::PrefixMask(Config.NetworkPrefixBits), 65536) {}

  asio::io_context& Io;
  const TEchoServerConfig Config;
  const TLogSink Log;
  TAtomicCounters Counters;
  TServedList List;
  // What every TCP connection reads into, one at a time on the one event loop.
  std::array<char, 4096> ReadBuffer{};
  TUdpSide* Udp = nullptr;
  bool Stopping = false;

  // Every open TCP connection, whatever it turned out to be, by its id.
  std::unordered_map<TConnectionId, std::shared_ptr<TTcpConnection>> Connections;
  TConnectionId NextConnectionId = 1;
  // The admitted ones: who makes room when the server is full.
  TAdmission Admission;
  // The bytes all connections hold for their peers (TTcpConnection::Hold).
  size_t HeldBytes = 0;
  // Refused connections open now, waiting to be told that the server is busy.
  size_t Refusing = 0;
  // Greeted control sessions by token and by peer address.
  TSessionRegister<TControlSession> Sessions;

  // The NAT time-out test as each token announces it, once its port is bound ("" when the
  // server runs no such test).
  std::string TimeoutPlanSuffix;
  // The test call as each token announces it, once the RTP socket is bound ("" when the server
  // takes no calls); the calls running now, shared per network.
  std::string CallPlanSuffix;
  TCallShare CallShare;
  // A fresh random token that no open session holds.
  std::string NewToken();
  uint32_t Random() { return random_(); }

  // Ends that say nothing about a tester: summed per LogSummaryMs.
  TLogTally Tally;
  void FlushTally() {
    const int ms = Config.LogSummaryMs;
    const std::string period = ms == 60000 ? "minute" : std::to_string(ms) + " ms";
    for (const std::string& line : Tally.Flush(period)) Log(line);
    if (acceptFailures_ > 1)
      Log("accept failed " + Thousands(acceptFailures_ - 1) + " more times in the last " + period);
    acceptFailures_ = 0;
    ownLines_ = 0;
  }

  // The end line of a tester's session or connection: at most Config.LogLinesPerPeriod of them a
  // period, the rest summed.
  void OwnLog(uint32_t peer, const std::string& line) {
    if (ownLines_ < Config.LogLinesPerPeriod) {
      ++ownLines_;
      Log(line);
    } else {
      Tally.Count(TTallied::Unlogged, peer);
    }
  }
  // A failed accept (out of descriptors, say), retried soon: the first of a period is logged,
  // the rest counted.
  void AcceptFailed(const std::string& line) {
    if (acceptFailures_++ == 0) Log(line);
  }

  // Lines about traffic from strangers (scanners, spoofed or stray datagrams) are rationed:
  // at most kStrangerLines per period.
  // The line is made only when it will be written: floods cost no text.
  static constexpr int kStrangerLines = 20;
  template <typename MakeLine>
  void StrangerLog(MakeLine makeLine) {
    if (strangerLines_ < kStrangerLines) {
      ++strangerLines_;
      Log(makeLine());
    } else {
      ++strangersUnlogged_;
    }
  }
  // Starts a new period of stranger lines, saying how many the last one held back.
  void NewStrangerPeriod() {
    if (strangersUnlogged_ > 0)
      Log(std::to_string(strangersUnlogged_) + " more lines about strangers' traffic not logged");
    strangerLines_ = 0;
    strangersUnlogged_ = 0;
  }

 private:
  std::random_device random_;
  int strangerLines_ = 0;
  uint64_t strangersUnlogged_ = 0;
  size_t ownLines_ = 0;
  uint64_t acceptFailures_ = 0;
};
