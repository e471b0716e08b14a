#include "probes/Sequencer.h"

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "proto/LargeSipWire.h"
#include "proto/XorUnit.h"
#include "net/IdException.h"

namespace {

constexpr int kWaitMs = 2000;       // wait for an answer on the control connection
constexpr int kAttempts = 3;        // sends of one probe before it counts as without echo
constexpr int kConfirmRounds = 3;   // further sends of it, each beside a witness ...
constexpr int kConfirmWaitMs = 1000;  // ... each waited for this long: the first probe's six sends end
                                      // within 9 s, before the server gives up on a session without one
constexpr int kNatSends = 6;        // NAT session test INVITEs per socket
constexpr int kNatGapMs = 100;      // pause after each of them
constexpr int kDownGraceMs = 1000;  // after the echo of a request for large answers, for the answers
constexpr int kDownPollMs = 50;
constexpr int kLargeTcpWaitMs = 3000;  // the large INVITE over TCP: its echo, TCP's resends included

const char kFirewallHint[] = "Please, check your firewall settings.";
const char kTimedOut[] = "the connection timed out";  // as ServerNotReachedReason says it
constexpr int kTcpPollMs = 250;  // while TCP sends a message again: how often its state is read
// A server that cannot serve the run answers the greeting with an empty token and this notice
// as one more frame, then closes.
const char kBusyNotice[] = "busy";
constexpr int kBusyWaitMs = 500;  // the notice comes with the token's terminator

struct TExchange {
  bool invite;
  TSipSocket socket;
  int nominalPort;
  bool leadIn;
};

int SocketIndex(TSipSocket s) { return s == TSipSocket::Sip5060 ? 0 : 1; }

std::string FirstLine(const std::string& text, size_t from) {
  const size_t end = text.find("\r\n", from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::string MethodOf(const std::string& requestLine) { return requestLine.substr(0, requestLine.find(' ')); }

// The sequence's state besides the report: the probes sent, and what a wait needs.
struct TRun {
  TSequencerIo& io;
  const TSequenceParams& params;
  TSequenceReport& report;
  std::function<void(const std::string&)> log;
  std::vector<TSentProbe> sent;
  bool timeUp = false;

  void Send(size_t probe) {
    const TSentProbe& p = sent[probe];
    io.SendDatagram(p.Socket, params.ServerHost, p.RemotePort, p.Text);
  }

  // One attempt's wait (waitMs) for the echo of sent[probe]. An echo of `witness` (when not -1) sets
  // witnessSeen; late echoes of other probes are logged and dropped while the attempt has time
  // left. "" when no echo of the probe came in time (timeUp tells whether the run's time ended).
  std::string Await(size_t probe, int witness, bool& witnessSeen, int waitMs = kWaitMs) {
    int64_t deadline = io.NowMs() + waitMs;
    if (params.DeadlineMs > 0 && params.DeadlineMs < deadline) deadline = params.DeadlineMs;
    for (int64_t left = deadline - io.NowMs(); left > 0; left = deadline - io.NowMs()) {
      std::string echo = Scramble(io.ControlReadLine(EchoTerminator(), static_cast<int>(left)));
      if (echo.empty()) break;
      const int owner = EchoOwner(echo, sent, probe, report.Public5060, report.Public5058);
      if (owner == static_cast<int>(probe)) return echo;
      if (owner >= 0 && owner == witness) {
        witnessSeen = true;
        continue;
      }
      const size_t text = echo.find("\r\n");
      log("Late echo of an earlier probe dropped: " +
          (owner >= 0 ? sent[owner].RequestLine : text == std::string::npos ? echo : FirstLine(echo, text + 2)));
    }
    if (params.DeadlineMs > 0 && io.NowMs() >= params.DeadlineMs) timeUp = true;
    return {};
  }

  // Waits up to waitMs for the echoes of the probes in `want` that have none in `echoes` yet,
  // several probes at once; an echo of another probe is logged and dropped.
  void AwaitSet(std::map<size_t, std::string>& echoes, const std::vector<size_t>& want, int waitMs) {
    int64_t deadline = io.NowMs() + waitMs;
    if (params.DeadlineMs > 0 && params.DeadlineMs < deadline) deadline = params.DeadlineMs;
    for (int64_t left = deadline - io.NowMs(); left > 0; left = deadline - io.NowMs()) {
      size_t current = want.size();
      for (size_t i = 0; i < want.size() && current == want.size(); ++i)
        if (!echoes.count(want[i])) current = i;
      if (current == want.size()) return;
      std::string echo = Scramble(io.ControlReadLine(EchoTerminator(), static_cast<int>(left)));
      if (echo.empty()) break;
      const int owner = EchoOwner(echo, sent, want[current], report.Public5060, report.Public5058);
      if (owner >= 0 && std::find(want.begin(), want.end(), static_cast<size_t>(owner)) != want.end()) {
        echoes.emplace(static_cast<size_t>(owner), std::move(echo));  // a resend's echo: the first counts
        continue;
      }
      const size_t text = echo.find("\r\n");
      log("Late echo of an earlier probe dropped: " +
          (owner >= 0 ? sent[owner].RequestLine : text == std::string::npos ? echo : FirstLine(echo, text + 2)));
    }
    if (params.DeadlineMs > 0 && io.NowMs() >= params.DeadlineMs) timeUp = true;
  }
};

uint32_t TokenHash(const std::string& token) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : token) h = (h ^ c) * 16777619u;
  return h;
}

// The audio port the INVITE over TCP to a port announces: one that no INVITE by UDP announces
// (7004, 5004 and the RTP port, at most a few hundred above 5004), and, drawn from the run's token,
// most likely none that a run shortly before announced: an ALG drops an INVITE whose audio port
// the host announced before, for some minutes.
int TcpAudioPort(const std::string& token, int nominalPort) {
  return 20000 + 4 * static_cast<int>(TokenHash(token) % 10000) + (nominalPort == 5060 ? 0 : 2);
}

// The audio port a large INVITE announces (video on the next even port): slot 0 to 5 of the
// four-port slots after the one of the INVITEs over TCP, for the same reason.
int LargeAudioPort(const std::string& token, int slot) {
  return 20000 + 4 * static_cast<int>((TokenHash(token) % 10000 + 1 + static_cast<uint32_t>(slot)) % 10000);
}

// The REGISTER and INVITE over TCP to both ports, after the checks by UDP; false when the run's
// time ran out.
bool RunTcpChecks(TRun& run, TSipProbe& probe, const std::string& token) {
  TSequencerIo& io = run.io;
  struct TTcpExchange {
    bool invite;
    int nominalPort;
    TSequenceReport::TCheck* check;
  };
  const TTcpExchange exchanges[] = {
      {false, 5060, &run.report.TcpRegister5060},
      {false, 5058, &run.report.TcpRegister5058},
      {true, 5060, &run.report.TcpInvite5060},
      {true, 5058, &run.report.TcpInvite5058},
  };
  std::string localIp;
  int udpPort = 0;
  io.LocalBinding(TSipSocket::Sip5060, localIp, udpPort);
  bool timedOut5060 = false, timedOut5058 = false;  // every try of the port's last check timed out
  for (const TTcpExchange& x : exchanges) {
    const int remotePort = x.nominalPort == 5060 ? run.params.ServerPort : 5058;
    const std::string port = std::to_string(x.nominalPort);
    const char* method = x.invite ? "INVITE" : "REGISTER";
    auto sip = [&](const std::string& verdict) {
      if (x.nominalPort == 5060) {
        io.AddLine(TPane::Sip, "----------------------------");
        io.AddLine(TPane::Sip, x.invite ? " Checking INVITEs over TCP..." : " Checking REGISTERs over TCP...");
      }
      io.AddLine(TPane::Sip, verdict);
      x.check->Done = true;
    };
    // The run's time left, capping a wait; false when it is up.
    auto capped = [&](int& ms) {
      if (run.params.DeadlineMs <= 0) return true;
      const int64_t left = run.params.DeadlineMs - io.NowMs();
      if (left <= 0) return false;
      ms = static_cast<int>(std::min<int64_t>(left, ms));
      return true;
    };
    run.log(".");
    // A connect that times out is tried again, each time on a fresh connection.
    std::string failure;
    std::optional<int> localPort;
    int tries = 0;
    bool timedOut = false;
    bool& portTimedOut = x.nominalPort == 5060 ? timedOut5060 : timedOut5058;
    for (int waitMs = TcpConnectWaitMs(0, false, portTimedOut); waitMs > 0;
         waitMs = TcpConnectWaitMs(tries, timedOut, portTimedOut)) {
      if (!capped(waitMs)) return false;
      io.Waiting("Waiting for the TCP connection to port " + std::to_string(remotePort) +
                 (tries > 0 ? " (try " + std::to_string(tries + 1) + " of " + std::to_string(kTcpConnectTries) + ")"
                            : std::string()));
      failure.clear();
      localPort = io.TcpSipOpen(run.params.ServerHost, remotePort, waitMs, failure);
      ++tries;
      if (localPort) break;
      io.TcpSipClose();
      timedOut = failure == kTimedOut;
    }
    const std::string triesText = std::to_string(tries) + (tries == 1 ? " try" : " tries");
    if (localPort) {
      if (tries > 1)
        run.log("Connected to TCP port " + std::to_string(remotePort) + " at try " + std::to_string(tries) + ", after " +
                std::to_string(tries - 1) + " that timed out (a link that loses packets loses SYNs too)");
      run.log("Checking over TCP from local port " + std::to_string(*localPort) + " to remote port " +
              std::to_string(remotePort) + " ...");
      if (x.invite)
        probe.BuildInvite(token, std::to_string(remotePort), localIp, std::to_string(*localPort), false,
                          TcpAudioPort(token, x.nominalPort) - 2000, true);
      else
        probe.BuildRegister(token, std::to_string(remotePort), localIp, std::to_string(*localPort), true);
      const std::string& text = x.invite ? probe.InviteMsg : probe.RegisterMsg;
      run.sent.push_back({x.nominalPort == 5060 ? TSipSocket::Sip5060 : TSipSocket::Sip5058, x.invite, remotePort,
                          probe.SentRequestLine, text, true});
      try {
        io.TcpSipWrite(text);
      } catch (const EIdException& e) {
        failure = std::string("the connection broke: ") + e.what();
      }
      const std::optional<TIdTcpSendInfo> info = failure.empty() ? io.TcpSipSendInfo() : std::nullopt;
      if (info && TcpSegments(static_cast<int>(text.size()), info->Mss) > 1)
        run.log("The " + std::string(method) + " (" + std::to_string(text.size()) + " bytes) went in " +
                std::to_string(TcpSegments(static_cast<int>(text.size()), info->Mss)) + " segments of at most " +
                std::to_string(info->Mss) +
                " bytes (the connection's maximum segment size): an ALG that reads one segment at a time could "
                "not rewrite it");
    }
    if (!localPort || !failure.empty()) {
      if (localPort) io.TcpSipClose();
      if (!localPort && timedOut && tries > 1)
        run.log("No connection to TCP port " + std::to_string(remotePort) + " after " + triesText +
                ", each a fresh connection: " + failure);
      else if (!localPort && timedOut && portTimedOut)
        run.log("No connection to TCP port " + std::to_string(remotePort) + " after " + triesText +
                " (the earlier check's tries timed out too): " + failure);
      else
        run.log("No connection to TCP port " + std::to_string(remotePort) + ": " + failure);
      if (!localPort && timedOut) portTimedOut = true;
      sip("No ALG verdict on TCP port " + port + ". " + method + " not sent: the port is not reachable (" + failure +
          ")");
      x.check->Unreachable = true;
      x.check->NotConnected = !localPort;
      x.check->Why = failure;
      continue;
    }
    portTimedOut = false;
    // The echo; without it, what TCP says of the bytes decides (TcpEchoStep).
    io.Waiting("Waiting for the echo of the " + std::string(method) + " over TCP to port " +
               std::to_string(remotePort));
    const int64_t sentAt = io.NowMs();
    std::string echo;
    bool closed = false, resending = false;
    std::optional<TIdTcpSendInfo> info;
    TTcpEchoStep step = TTcpEchoStep::Wait;
    for (int rounds = 0; rounds < 200; ++rounds) {  // bounded: about 40 rounds fill the longest wait
      const int64_t waited = io.NowMs() - sentAt;
      int sliceMs = waited < kTcpEchoWaitMs ? static_cast<int>(kTcpEchoWaitMs - waited) : kTcpPollMs;
      bool ignored = false;
      if (capped(sliceMs)) echo = run.Await(run.sent.size() - 1, -1, ignored, sliceMs);
      if (!echo.empty()) break;
      if (run.timeUp || (run.params.DeadlineMs > 0 && io.NowMs() >= run.params.DeadlineMs)) {
        io.TcpSipClose();
        return false;
      }
      if ((closed = io.TcpSipClosedByPeer())) break;
      info = io.TcpSipSendInfo();
      step = TcpEchoStep(static_cast<int>(io.NowMs() - sentAt), info);
      if (step != TTcpEchoStep::Wait) break;
      if (info && info->UnackedBytes > 0 && !resending) {
        resending = true;
        io.Waiting("Waiting for the echo of the " + std::string(method) + " over TCP to port " +
                   std::to_string(remotePort) + " (not acknowledged yet: TCP sends it again)");
      }
    }
    io.TcpSipClose();
    if (echo.empty() && closed) {
      run.log("No echo of the " + std::string(method) + " sent over TCP: the other end closed the connection");
      sip("No ALG verdict on TCP port " + port + ". " + method +
          " not echoed: the connection was closed at the other end (a server that is full does so)");
      x.check->Unreachable = true;
      x.check->Why = "the connection was closed at the other end";
      continue;
    }
    if (echo.empty() && step == TTcpEchoStep::Lost) {
      run.log("No echo of the " + std::string(method) + " sent over TCP: " + std::to_string(info->UnackedBytes) +
              " of its bytes were still not acknowledged after " + std::to_string(kTcpResendWaitMs / 1000) +
              " s of TCP's resends (" + std::to_string(info->Retransmits) +
              " segment(s) sent again): the link lost them, which says nothing of an ALG");
      sip("No ALG verdict on TCP port " + port + ". " + method + " lost on the way (a lossy link, not an ALG)");
      x.check->Lost = true;
      continue;
    }
    if (echo.empty()) {
      if (info)
        run.log("No echo of the " + std::string(method) +
                " sent over TCP, although the far end acknowledged all its bytes: an ALG swallowed it, or a "
                "firewall that filters SIP on this port");
      else
        run.log("No echo of the " + std::string(method) + " sent over TCP, although its connection went through");
      sip("ALG active on TCP port " + port + ". " + method + " swallowed");
      x.check->Dropped = true;
      continue;
    }
    run.log(CutLines(echo, 1));
    const int result = x.invite ? probe.CheckInviteEcho(echo, run.log) : probe.CheckRegisterEcho(echo, run.log);
    sip(TcpAlgVerdict(result, x.nominalPort));
    x.check->Result = result;
  }
  return true;
}

// The server's line of an echo cut off and logged; the byte count it names (0 when unreadable).
int TakeServerLine(std::string& echo, const std::function<void(const std::string&)>& log) {
  const std::string line = CutLines(echo, 1);
  log(line);
  const std::optional<TServerLine> server = ParseServerLine(line);
  return server ? server->Bytes : 0;
}

// Large SIP messages both ways, after the checks over TCP: large INVITEs by UDP from both SIP
// sockets (all at once, up to three sends 2 s apart), one over TCP to each port, then the way
// back: each socket asks the server for its large answers. false when the run's time ran out.
bool RunLargeSipChecks(TRun& run, const std::string& token) {
  TSequencerIo& io = run.io;
  TLargeSipReport& rep = run.report.Large;
  rep = TLargeSipReport();
  rep.Ran = true;
  struct TSocketSide {
    TSipSocket socket;
    int nominal, remote;
    std::string ip;
    int localPort = 0;
    int paid = 0;  // the largest message of the run the server said it received on the port
  };
  TSocketSide sides[] = {{TSipSocket::Sip5060, 5060, run.params.ServerPort, {}},
                         {TSipSocket::Sip5058, 5058, 5058, {}}};
  struct TUp {
    size_t side, sent;
    int bytes;
  };
  std::vector<TUp> ups;
  std::vector<size_t> want;
  int slot = 0;
  run.log(".");
  for (size_t i = 0; i < 2; ++i) {
    TSocketSide& x = sides[i];
    io.LocalBinding(x.socket, x.ip, x.localPort);
    for (int bytes : large_sip::kSizes) {
      const std::string text =
          BuildLargeInvite(token, x.remote, x.ip, x.localPort, LargeAudioPort(token, slot++), bytes, false);
      run.sent.push_back({x.socket, true, x.remote, FirstLine(text, 0), text});
      ups.push_back({i, run.sent.size() - 1, bytes});
      want.push_back(run.sent.size() - 1);
    }
  }
  run.log("Checking large INVITEs of " + WithThousands(large_sip::kSizes[0]) + " and " +
          WithThousands(large_sip::kSizes[1]) + " bytes from local ports " + std::to_string(sides[0].localPort) +
          " and " + std::to_string(sides[1].localPort) + " ...");
  std::map<size_t, std::string> echoes;
  for (int send = 0; send < kAttempts && echoes.size() < want.size() && !run.timeUp; ++send) {
    io.Waiting("Waiting for the echoes of the large INVITEs (send " + std::to_string(send + 1) + " of " +
               std::to_string(kAttempts) + ")");
    for (size_t w : want)
      if (!echoes.count(w)) run.Send(w);
    run.AwaitSet(echoes, want, kWaitMs);
  }
  if (run.timeUp) return false;
  for (const TUp& u : ups) {
    TSocketSide& x = sides[u.side];
    if (rep.Udp.size() <= u.side) rep.Udp.push_back({x.nominal, {}, {}});
    std::optional<std::string> got;
    if (auto it = echoes.find(u.sent); it != echoes.end()) {
      got = it->second;
      x.paid = std::max(x.paid, TakeServerLine(*got, run.log));
    } else {
      run.log("No echo of the large INVITE of " + WithThousands(u.bytes) + " bytes to port " +
              std::to_string(x.remote) + " after " + std::to_string(kAttempts) + " sends");
    }
    rep.Udp[u.side].Up.Sizes.push_back(
        LargeVerdict(u.bytes, run.sent[u.sent].Text, got, "Large INVITE " + std::to_string(u.bytes), run.log));
  }

  // Once over TCP to each port: segments, not fragments, so it should pass.
  const int tcpBytes = large_sip::kSizes[1];
  for (TSocketSide& x : sides) {
    TLargeSize v;
    v.Bytes = tcpBytes;
    const bool unreachable = x.nominal == 5060 ? run.report.TcpRegister5060.NotConnected && run.report.TcpInvite5060.NotConnected
                                               : run.report.TcpRegister5058.NotConnected && run.report.TcpInvite5058.NotConnected;
    std::string failure;
    const std::optional<int> localPort =
        unreachable ? std::nullopt : io.TcpSipOpen(run.params.ServerHost, x.remote, kTcpConnectWaitMs, failure);
    if (!localPort) {
      v.Why = unreachable ? "the port is not reachable over TCP" : "no connection: " + failure;
      rep.Tcp.push_back({x.nominal, {{v}}, {}});
      continue;
    }
    const std::string text = BuildLargeInvite(token, x.remote, x.ip, *localPort, LargeAudioPort(token, slot++), tcpBytes, true);
    run.sent.push_back({x.socket, true, x.remote, FirstLine(text, 0), text, true});
    run.log("Checking a large INVITE of " + WithThousands(tcpBytes) + " bytes over TCP from local port " +
            std::to_string(*localPort) + " to remote port " + std::to_string(x.remote) + " ...");
    io.Waiting("Waiting for the echo of the large INVITE over TCP to port " + std::to_string(x.remote));
    std::string echo;
    bool closed = false;
    std::optional<TIdTcpSendInfo> info;
    try {
      io.TcpSipWrite(text);
      const int64_t sentAt = io.NowMs();
      // Polled after the first wait; bounded in count as in time.
      for (int rounds = 0; rounds < 40 && echo.empty() && !run.timeUp; ++rounds) {
        const int64_t waited = io.NowMs() - sentAt;
        if (waited >= kLargeTcpWaitMs) break;
        bool ignored = false;
        echo = run.Await(run.sent.size() - 1, -1, ignored,
                         waited < kTcpEchoWaitMs ? static_cast<int>(kTcpEchoWaitMs - waited) : kTcpPollMs);
        if (!echo.empty() || run.timeUp) break;
        if ((closed = io.TcpSipClosedByPeer())) break;
        info = io.TcpSipSendInfo();
      }
    } catch (const EIdException& e) {
      failure = std::string("the connection broke: ") + e.what();
    }
    io.TcpSipClose();
    if (run.timeUp) return false;
    if (!echo.empty()) {
      x.paid = std::max(x.paid, TakeServerLine(echo, run.log));
      v = LargeVerdict(tcpBytes, text, echo, "Large INVITE over TCP", run.log);
    } else if (!failure.empty() || closed || (info && info->UnackedBytes > 0)) {
      v.Why = !failure.empty() ? failure
              : closed         ? "the connection was closed at the other end"
                               : "not acknowledged within " + std::to_string(kLargeTcpWaitMs / 1000) +
                             " s: a lossy link";
      run.log("No echo of the large INVITE over TCP: " + v.Why);
    } else {
      v.Result = TLargeResult::Lost;
      run.log(info ? "No echo of the large INVITE over TCP, although the far end acknowledged all its bytes"
                   : "No echo of the large INVITE over TCP, although its connection went through");
    }
    rep.Tcp.push_back({x.nominal, {{v}}, {}});
  }

  // The way back: each socket asks for the answers that the messages above paid for.
  struct TAskOf {
    size_t side, sent;
    std::vector<int> sizes;
  };
  std::vector<TAskOf> asks;
  std::vector<size_t> askWant;
  for (size_t i = 0; i < 2; ++i) {
    TSocketSide& x = sides[i];
    std::vector<int> sizes;
    for (int bytes : large_sip::kSizes) {
      TLargeSize v;
      v.Bytes = bytes;
      if (x.paid + large_sip::kPaySlack < bytes)
        v.Why = "no large message of this run reached the server, which sends no more than it received";
      else
        sizes.push_back(bytes);
      rep.Udp[i].Down.Sizes.push_back(v);
    }
    if (sizes.empty()) continue;
    const std::string text = large_sip::AskText({token, sizes});
    run.sent.push_back({x.socket, false, x.remote, FirstLine(text, 0), text});
    asks.push_back({i, run.sent.size() - 1, sizes});
    askWant.push_back(run.sent.size() - 1);
  }
  if (!asks.empty()) {
    run.log(".");
    run.log("Asking the server for large answers to local ports " + std::to_string(sides[0].localPort) + " and " +
            std::to_string(sides[1].localPort) + " ...");
    std::map<size_t, std::string> askEchoes;
    for (int send = 0; send < kAttempts && askEchoes.size() < askWant.size() && !run.timeUp; ++send) {
      io.Waiting("Waiting for the large answers from the server (request " + std::to_string(send + 1) + " of " +
                 std::to_string(kAttempts) + ")");
      for (size_t w : askWant)
        if (!askEchoes.count(w)) run.Send(w);
      run.AwaitSet(askEchoes, askWant, kWaitMs);
    }
    if (run.timeUp) return false;
    // The answers leave the server with the echo of their request: a little more for the way.
    std::map<std::pair<size_t, int>, std::string> came;  // by side and size
    size_t expected = 0;
    for (const TAskOf& a : asks)
      if (askEchoes.count(a.sent)) expected += a.sizes.size();
    const int64_t until = io.NowMs() + kDownGraceMs;
    for (int polls = 0; polls < kDownGraceMs / kDownPollMs + 1; ++polls) {
      for (const TAskOf& a : asks)
        for (const std::string& d : io.LargeDownDatagrams(sides[a.side].socket)) {
          const auto down = large_sip::ParseDown(d);
          if (!down || down->Token != token) {
            run.log("A large answer of another session dropped");
            continue;
          }
          if (std::find(a.sizes.begin(), a.sizes.end(), down->Bytes) != a.sizes.end())
            came.emplace(std::pair{a.side, down->Bytes}, d);
        }
      if (came.size() >= expected || io.NowMs() >= until) break;
      io.Sleep(kDownPollMs);
    }
    for (const TAskOf& a : asks) {
      const bool asked = askEchoes.count(a.sent) > 0;
      if (asked) TakeServerLine(askEchoes[a.sent], run.log);
      for (TLargeSize& v : rep.Udp[a.side].Down.Sizes) {
        if (std::find(a.sizes.begin(), a.sizes.end(), v.Bytes) == a.sizes.end()) continue;
        if (!asked) {
          v.Why = "the request for it did not reach the server";
          continue;
        }
        auto it = came.find({a.side, v.Bytes});
        const std::optional<std::string> got = it == came.end() ? std::nullopt : std::optional(it->second);
        v = LargeVerdict(v.Bytes, large_sip::DownText(token, v.Bytes), got,
                         "Large answer " + std::to_string(v.Bytes), run.log);
        if (!got)
          run.log("No large answer of " + WithThousands(v.Bytes) + " bytes came to local port " +
                  std::to_string(sides[a.side].localPort));
      }
    }
  }
  for (const std::string& line : LargeSipPaneLines(rep)) io.AddLine(TPane::Sip, line);
  return true;
}

// After an empty token: whether the server said it is busy.
bool ServerSaidBusy(TSequencerIo& io) {
  try {
    return Scramble(io.ControlReadLine(EchoTerminator(), kBusyWaitMs)) == kBusyNotice;
  } catch (const EIdException&) {
    return false;  // closed without the notice: an empty token like any other
  }
}

}  // namespace

int EchoOwner(const std::string& echo, const std::vector<TSentProbe>& sent, size_t current,
              const std::optional<TPublicMapping>& public5060, const std::optional<TPublicMapping>& public5058) {
  const size_t serverLineEnd = echo.find("\r\n");
  if (serverLineEnd == std::string::npos) return static_cast<int>(current);
  const std::optional<TServerLine> server = ParseServerLine(echo.substr(0, serverLineEnd));
  const std::string requestLine = FirstLine(echo, serverLineEnd + 2);

  std::vector<size_t> candidates;
  for (size_t i = 0; i < sent.size(); ++i)
    if (!server || (sent[i].RemotePort == server->ServerPort && sent[i].Tcp == server->Tcp)) candidates.push_back(i);
  if (candidates.empty()) return -1;

  auto narrowed = [&](const std::function<bool(const TSentProbe&)>& keep) {
    std::vector<size_t> out;
    for (size_t i : candidates)
      if (keep(sent[i])) out.push_back(i);
    return out;
  };
  std::vector<size_t> tier = narrowed([&](const TSentProbe& p) { return p.RequestLine == requestLine; });
  if (tier.empty()) tier = narrowed([&](const TSentProbe& p) { return MethodOf(p.RequestLine) == MethodOf(requestLine); });
  if (!tier.empty()) candidates = tier;

  if (server && !server->Tcp && candidates.size() > 1) {
    // Two sockets never share a public mapping: a socket whose mapping is known to be the one
    // the datagram came from sent it; one whose mapping is known to be another did not.
    const std::optional<TPublicMapping>* mappings[] = {&public5060, &public5058};
    std::vector<size_t> same, unknown;
    for (size_t i : candidates) {
      const auto& m = *mappings[SocketIndex(sent[i].Socket)];
      if (!m)
        unknown.push_back(i);
      else if (m->Address == server->FromAddress && m->Port == server->FromPort)
        same.push_back(i);
    }
    if (!same.empty())
      candidates = same;
    else if (!unknown.empty())
      candidates = unknown;
  }
  for (size_t i : candidates)
    if (i == current) return static_cast<int>(current);
  return static_cast<int>(candidates.back());
}

TWitness NoEchoWitness(bool invite, bool ownRegisterEchoed, bool otherRegisterEchoed) {
  if (invite && ownRegisterEchoed) return TWitness::Own;
  return otherRegisterEchoed ? TWitness::Other : TWitness::None;
}

TNoEchoVerdict NoEchoVerdict(bool invite, TWitness witness, bool witnessSeen, bool anyEchoed) {
  if (witnessSeen && invite && witness == TWitness::Own) return TNoEchoVerdict::Dropped;
  if (witnessSeen || !anyEchoed) return TNoEchoVerdict::Failure;
  return TNoEchoVerdict::Lost;
}

std::string GreetingBytes() { return std::string(kGreeting) + '\0'; }
std::string GreetingTerminator() { return Scramble(std::string("@5060") + '\0'); }
std::string EchoTerminator() { return Scramble(std::string(1, '\0')); }

void RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params, TNatAges& ages,
                     int& rtpCount, int& rtpPrevCount, TSequenceReport& report) {
  report = TSequenceReport();
  auto sip = [&](const std::string& l) { io.AddLine(TPane::Sip, l); };
  TRun run{io, params, report, [&](const std::string& l) { io.AddLine(TPane::Log, l); }, {}};
  const auto& log = run.log;
  auto stopForTime = [&] {
    report.Outcome = TSequenceReport::TOutcome::TimeUp;
    io.Disconnect();
  };

  // Greeting: proves TCP reachability and fetches the token for the probes' Call-ID.
  io.Waiting("Waiting for the echo server's answer to the greeting");
  io.ControlWrite(GreetingBytes());
  int greetingWait = kWaitMs;
  if (params.DeadlineMs > 0) {
    const int64_t left = params.DeadlineMs - io.NowMs();
    if (left <= 0) return stopForTime();
    if (left < greetingWait) greetingWait = static_cast<int>(left);
  }
  const std::string token = Scramble(io.ControlReadLine(GreetingTerminator(), greetingWait));
  if (token.empty() && params.DeadlineMs > 0 && io.NowMs() >= params.DeadlineMs) return stopForTime();
  if (token.empty() && ServerSaidBusy(io)) {
    sip("The test server is busy. Try again in a few minutes.");
    report.Outcome = TSequenceReport::TOutcome::ServerBusy;
    io.Disconnect();
    return;
  }
  if (token.empty()) {
    sip("No TCP packet received by remote server.");
    sip(kFirewallHint);
    report.Outcome = TSequenceReport::TOutcome::NoGreeting;
    io.Disconnect();
    return;
  }
  report.Token = token;
  {
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(TSipSocket::Sip5060, localIp, localPort);
    io.StartNatDiscovery(localIp, params.ServerHost);
    io.StartNatLayers(localIp, params.ServerHost);
    io.StartNatTimeout(localIp, params.ServerHost, params.ServerPort, token);
  }

  int qualify[2] = {2, 2};                 // by socket: lowered by each "No ALG detected"
  int registerOf[2] = {-1, -1};            // by socket: its REGISTER among the probes sent
  bool registerEchoed[2] = {false, false};
  bool anyEchoed = false;
  const TExchange exchanges[] = {
      {false, TSipSocket::Sip5060, 5060, true},
      {false, TSipSocket::Sip5058, 5058, false},
      {true, TSipSocket::Sip5060, 5060, true},
      {true, TSipSocket::Sip5058, 5058, false},
  };
  TSequenceReport::TCheck* checks[] = {&report.Register5060, &report.Register5058, &report.Invite5060,
                                       &report.Invite5058};
  for (int i = 0; i < 4; ++i) {
    const TExchange& x = exchanges[i];
    const int s = SocketIndex(x.socket);
    const int remotePort = s == 0 ? params.ServerPort : 5058;
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(x.socket, localIp, localPort);
    if (x.invite)
      probe.BuildInvite(token, std::to_string(remotePort), localIp, std::to_string(localPort), false, 5004);
    else
      probe.BuildRegister(token, std::to_string(remotePort), localIp, std::to_string(localPort));
    run.sent.push_back({x.socket, x.invite, remotePort, probe.SentRequestLine,
                        x.invite ? probe.InviteMsg : probe.RegisterMsg});
    const size_t me = run.sent.size() - 1;
    if (!x.invite) registerOf[s] = static_cast<int>(me);
    log(".");
    log("Checking from local port " + std::to_string(localPort) + " to remote port " +
        std::to_string(remotePort) + " ...");

    const char* method = x.invite ? "INVITE" : "REGISTER";
    std::string echo;
    bool witnessSeen = false;
    int sends = 0;
    auto waiting = [&](int of, const std::string& beside) {
      io.Waiting("Waiting for the echo of the " + std::string(method) + " to port " + std::to_string(remotePort) +
                 " (send " + std::to_string(sends + 1) + " of " + std::to_string(of) + beside + ")");
    };
    for (; sends < kAttempts && echo.empty() && !run.timeUp; ++sends) {
      waiting(kAttempts, "");
      run.Send(me);
      echo = run.Await(me, -1, witnessSeen);
    }
    // No echo yet: is the link working at this moment? Send the probe again beside a REGISTER
    // that came back before, the socket's own for an INVITE.
    int witness = -1;
    const TWitness witnessKind = NoEchoWitness(x.invite, registerEchoed[s], registerEchoed[1 - s]);
    if (echo.empty() && !run.timeUp) {
      if (witnessKind != TWitness::None) witness = registerOf[witnessKind == TWitness::Own ? s : 1 - s];
      for (int round = 0; round < kConfirmRounds && echo.empty() && !run.timeUp; ++round, ++sends) {
        waiting(kAttempts + kConfirmRounds, witness >= 0 ? ", beside a REGISTER that shows whether the link works" : "");
        if (witness >= 0 && !witnessSeen) run.Send(static_cast<size_t>(witness));
        run.Send(me);
        echo = run.Await(me, witness, witnessSeen, kConfirmWaitMs);
      }
    }
    if (echo.empty() && run.timeUp) return stopForTime();

    auto leadIn = [&] {
      if (!x.leadIn) return;
      sip("----------------------------");
      sip(x.invite ? " Checking INVITEs..." : " Checking REGISTERs...");
    };
    if (echo.empty()) {
      std::string what = "No echo of the " + std::string(method) + " after " + std::to_string(sends) + " sends";
      if (witness >= 0) {
        std::string witnessPort, ignored;
        int port = 0;
        io.LocalBinding(run.sent[witness].Socket, ignored, port);
        witnessPort = std::to_string(port);
        what += witnessSeen ? ", while the REGISTER from local port " + witnessPort + ", sent again, came back"
                            : ", nor of the REGISTER sent again from local port " + witnessPort + " to check the link";
      }
      const TNoEchoVerdict verdict = NoEchoVerdict(x.invite, witnessKind, witnessSeen, anyEchoed);
      const bool dropped = verdict == TNoEchoVerdict::Dropped;
      if (verdict == TNoEchoVerdict::Failure) {
        // UDP from this socket does not reach the server, while other UDP does (or none ever did).
        log(what);
        sip("No UDP packet received by remote server.");
        sip(kFirewallHint);
        report.Outcome = TSequenceReport::TOutcome::NoEcho;
        io.Disconnect();
        return;
      }
      log(what + (dropped ? ": the router dropped it" : ": the link lost them, which says nothing of an ALG"));
      leadIn();
      if (dropped)
        sip("ALG active on port " + std::to_string(x.nominalPort) + ". " + method + " dropped");
      else
        sip("No ALG verdict on port " + std::to_string(x.nominalPort) + ". " + method +
            " lost on the way (a lossy link, not an ALG)");
      checks[i]->Done = true;
      checks[i]->Dropped = dropped;
      checks[i]->Lost = !dropped;
      continue;
    }
    anyEchoed = true;
    if (!x.invite) registerEchoed[s] = true;

    const std::string serverLine = CutLines(echo, 1);
    log(serverLine);
    if (auto mapping = PublicMappingFromServerLine(serverLine, localPort))
      (s == 0 ? report.Public5060 : report.Public5058) = std::move(mapping);
    const int result = x.invite ? probe.CheckInviteEcho(echo, log) : probe.CheckRegisterEcho(echo, log);
    leadIn();
    sip(AlgVerdict(result, x.nominalPort));
    if (result == 0) --qualify[s];
    checks[i]->Done = true;
    checks[i]->Result = result;
  }
  report.Outcome = TSequenceReport::TOutcome::Completed;
  if (!RunTcpChecks(run, probe, token)) return stopForTime();
  // Only a server that announces its large answers gives a session the time for them.
  if (params.LargeSip && large_sip::DownOffered(token) && !RunLargeSipChecks(run, token)) return stopForTime();

  // NAT session test, for each socket whose REGISTER and INVITE both came back unchanged.
  WriteNatLeadIn([&](const std::string& l) { io.AddLine(TPane::Nat, l); });
  io.Waiting("Waiting for the STUN answers about the NAT's behaviour");
  report.Behaviour = io.NatBehaviour();
  if (report.Behaviour)
    for (const std::string& line : NatBehaviourLines(*report.Behaviour, params.ServerHost + ":" + std::to_string(stun::kDefaultPort)))
      io.AddLine(TPane::Nat, line);
  io.Waiting("Waiting for the router's and the path's answers about the NAT layers");
  if (const auto seen = io.NatLayersSeen()) {
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(TSipSocket::Sip5060, localIp, localPort);
    const auto seenFrom = report.PublicAddress();
    const bool own = (report.Behaviour && report.Behaviour->Answered && report.Behaviour->NoNat) ||
                     (seenFrom && *seenFrom == localIp);
    report.Layers = DecideNatLayers(*seen, seenFrom, own);
    for (const std::string& line : NatLayersLines(*report.Layers)) io.AddLine(TPane::Nat, line);
  }
  rtpCount = 0;
  rtpPrevCount = 0;
  struct TNatStart {
    bool qualifies;
    TSipSocket socket;
    int remotePort;
    int announcedRtpPort;
    int* lastAge;
    bool* started;
    int64_t* sentAt;
    const char* notice;
  };
  const TNatStart starts[] = {
      {qualify[0] == 0, TSipSocket::Sip5060, params.ServerPort, 5004, &ages.LastNatSecs5060, &report.Nat5060,
       &report.NatSentAtMs5060, "Checking NAT timeout on port 5060. Up to 5 minutes needed..."},
      {qualify[1] == 0, TSipSocket::Sip5058, 5058, params.RtpPort, &ages.LastNatSecs5058, &report.Nat5058,
       &report.NatSentAtMs5058, "Checking NAT timeout on port 5058. Up to 5 minutes needed..."},
  };
  for (const TNatStart& st : starts) {
    if (!st.qualifies) continue;
    log(st.notice);
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(st.socket, localIp, localPort);
    probe.BuildInvite(token, std::to_string(st.remotePort), localIp, std::to_string(localPort), true,
                      st.announcedRtpPort);
    *st.lastAge = 0;
    for (int k = 0; k < kNatSends; ++k) {
      io.Waiting("Sending the NAT session test INVITEs to port " + std::to_string(st.remotePort) + " (" +
                 std::to_string(k + 1) + " of " + std::to_string(kNatSends) + ")");
      io.SendDatagram(st.socket, params.ServerHost, st.remotePort, probe.InviteMsg);
      *st.started = true;  // with its first INVITE, also when the run is stopped during the rest
      *st.sentAt = RunClockMs();
      io.Sleep(kNatGapMs);
    }
  }
  if (report.NatTestStarted())
    io.NatTestStarted();
  else
    io.Disconnect();  // nothing more will come: the run is over
}
