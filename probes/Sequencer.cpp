#include "probes/Sequencer.h"

#include <functional>
#include <vector>

#include "app/XorUnit.h"
#include "net/IdException.h"

namespace {

constexpr int kWaitMs = 2000;   // wait for an answer on the control connection
constexpr int kAttempts = 3;    // sends of one probe before giving up
constexpr int kNatSends = 6;    // NAT session test INVITEs per socket
constexpr int kNatGapMs = 100;  // pause after each of them

const char kFirewallHint[] = "Please, check your firewall settings.";
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

// The request line of an earlier probe of the run that the echo's datagram begins with, when
// it does not begin with the current probe's: the echo is that probe's, come late. "" else.
std::string LateEchoOf(const std::string& echo, const std::string& current, const std::vector<std::string>& sent) {
  const size_t serverLineEnd = echo.find("\r\n");
  if (serverLineEnd == std::string::npos) return {};
  const size_t text = serverLineEnd + 2;
  auto begins = [&](const std::string& line) {
    return echo.compare(text, line.size(), line) == 0 && echo.compare(text + line.size(), 2, "\r\n") == 0;
  };
  if (begins(current)) return {};
  for (const std::string& line : sent)
    if (begins(line)) return line;
  return {};
}

// One attempt's wait for the echo of the current probe. Late echoes of earlier probes are
// logged and dropped while the attempt has time left. "" when no echo of it came in time.
std::string AwaitEcho(TSequencerIo& io, const std::function<void(const std::string&)>& log,
                      const std::string& current, const std::vector<std::string>& sent) {
  const int64_t deadline = io.NowMs() + kWaitMs;
  int waitMs = kWaitMs;
  while (true) {
    std::string echo = Scramble(io.ControlReadLine(EchoTerminator(), waitMs));
    if (echo.empty()) return echo;
    const std::string late = LateEchoOf(echo, current, sent);
    if (late.empty()) return echo;
    log("Late echo of an earlier probe dropped: " + late);
    const int64_t left = deadline - io.NowMs();
    if (left <= 0) return {};
    waitMs = static_cast<int>(left);
  }
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

std::string GreetingBytes() { return std::string(kGreeting) + '\0'; }
std::string GreetingTerminator() { return Scramble(std::string("@5060") + '\0'); }
std::string EchoTerminator() { return Scramble(std::string(1, '\0')); }

void RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params, TNatAges& ages,
                     int& rtpCount, int& rtpPrevCount, TSequenceReport& report) {
  report = TSequenceReport();
  auto sip = [&](const std::string& l) { io.AddLine(TPane::Sip, l); };
  const std::function<void(const std::string&)> log = [&](const std::string& l) { io.AddLine(TPane::Log, l); };

  // Greeting: proves TCP reachability and fetches the token for the probes' Call-ID.
  io.Waiting("Waiting for the echo server's answer to the greeting");
  io.ControlWrite(GreetingBytes());
  const std::string token = Scramble(io.ControlReadLine(GreetingTerminator(), kWaitMs));
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

  int qualify5060 = 2, qualify5058 = 2;
  bool echoed5060 = false, echoed5058 = false;  // an exchange from the socket was echoed
  std::vector<std::string> sentLines;           // request lines of the probes sent so far
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
    const bool from5060 = x.socket == TSipSocket::Sip5060;
    const int remotePort = from5060 ? params.ServerPort : 5058;
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(x.socket, localIp, localPort);
    if (x.invite)
      probe.BuildInvite(token, std::to_string(remotePort), localIp, std::to_string(localPort), false, 5004);
    else
      probe.BuildRegister(token, std::to_string(remotePort), localIp, std::to_string(localPort));
    sentLines.push_back(probe.SentRequestLine);
    log(".");
    log("Checking from local port " + std::to_string(localPort) + " to remote port " +
        std::to_string(remotePort) + " ...");

    const char* method = x.invite ? "INVITE" : "REGISTER";
    std::string echo;
    for (int attempt = 0; attempt < kAttempts && echo.empty(); ++attempt) {
      io.Waiting("Waiting for the echo of the " + std::string(method) + " to port " + std::to_string(remotePort) +
                 " (send " + std::to_string(attempt + 1) + " of " + std::to_string(kAttempts) + ")");
      io.SendDatagram(x.socket, params.ServerHost, remotePort, x.invite ? probe.InviteMsg : probe.RegisterMsg);
      echo = AwaitEcho(io, log, probe.SentRequestLine, sentLines);
    }
    bool& echoed = from5060 ? echoed5060 : echoed5058;
    auto leadIn = [&] {
      if (!x.leadIn) return;
      sip("----------------------------");
      sip(x.invite ? " Checking INVITEs..." : " Checking REGISTERs...");
    };
    if (echo.empty() && !echoed) {
      sip("No UDP packet received by remote server.");
      sip(kFirewallHint);
      report.Outcome = TSequenceReport::TOutcome::NoEcho;
      io.Disconnect();
      return;
    }
    if (echo.empty()) {
      // UDP from this very socket reached the server a moment ago: the router swallowed this
      // probe, as ALGs do with messages they cannot handle.
      log("No echo of the " + std::string(method) + " after " + std::to_string(kAttempts) +
          " sends, while an earlier probe from local port " + std::to_string(localPort) +
          " came back: the router dropped it");
      leadIn();
      sip("ALG active on port " + std::to_string(x.nominalPort) + ". " + method + " dropped");
      checks[i]->Done = true;
      checks[i]->Dropped = true;
      continue;
    }
    echoed = true;

    const std::string serverLine = CutLines(echo, 1);
    log(serverLine);
    if (auto mapping = PublicMappingFromServerLine(serverLine, localPort))
      (from5060 ? report.Public5060 : report.Public5058) = std::move(mapping);
    const int result = x.invite ? probe.CheckInviteEcho(echo, log) : probe.CheckRegisterEcho(echo, log);
    leadIn();
    sip(AlgVerdict(result, x.nominalPort));
    if (result == 0) --(from5060 ? qualify5060 : qualify5058);
    checks[i]->Done = true;
    checks[i]->Result = result;
  }
  report.Outcome = TSequenceReport::TOutcome::Completed;

  // NAT session test, for each socket whose REGISTER and INVITE both came back unchanged.
  WriteNatLeadIn([&](const std::string& l) { io.AddLine(TPane::Nat, l); });
  rtpCount = 0;
  rtpPrevCount = 0;
  struct TNatStart {
    bool qualifies;
    TSipSocket socket;
    int remotePort;
    int announcedRtpPort;
    int* lastAge;
    bool* started;
    const char* notice;
  };
  const TNatStart starts[] = {
      {qualify5060 == 0, TSipSocket::Sip5060, params.ServerPort, 5004, &ages.LastNatSecs5060, &report.Nat5060,
       "Checking NAT timeout on port 5060. Up to 5 minutes needed..."},
      {qualify5058 == 0, TSipSocket::Sip5058, 5058, params.RtpPort, &ages.LastNatSecs5058, &report.Nat5058,
       "Checking NAT timeout on port 5058. Up to 5 minutes needed..."},
  };
  for (const TNatStart& s : starts) {
    if (!s.qualifies) continue;
    log(s.notice);
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(s.socket, localIp, localPort);
    probe.BuildInvite(token, std::to_string(s.remotePort), localIp, std::to_string(localPort), true,
                      s.announcedRtpPort);
    *s.lastAge = 0;
    for (int k = 0; k < kNatSends; ++k) {
      io.Waiting("Sending the NAT session test INVITEs to port " + std::to_string(s.remotePort) + " (" +
                 std::to_string(k + 1) + " of " + std::to_string(kNatSends) + ")");
      io.SendDatagram(s.socket, params.ServerHost, s.remotePort, probe.InviteMsg);
      io.Sleep(kNatGapMs);
    }
    *s.started = true;
  }
  if (report.NatTestStarted())
    io.NatTestStarted();
  else
    io.Disconnect();  // nothing more will come: the run is over
}
