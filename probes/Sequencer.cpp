#include "probes/Sequencer.h"

#include "app/XorUnit.h"

namespace {

constexpr int kWaitMs = 2000;   // wait for an answer on the control connection
constexpr int kAttempts = 3;    // sends of one probe before giving up
constexpr int kNatSends = 6;    // NAT session test INVITEs per socket
constexpr int kNatGapMs = 100;  // pause after each of them

const char kFirewallHint[] = "Please, check your firewall settings.";

struct TExchange {
  bool invite;
  TSipSocket socket;
  int nominalPort;
  bool leadIn;
};

}  // namespace

std::string GreetingBytes() { return std::string(kGreeting) + '\0'; }
std::string GreetingTerminator() { return Scramble(std::string("@5060") + '\0'); }
std::string EchoTerminator() { return Scramble(std::string(1, '\0')); }

TSequenceReport RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params,
                                TNatAges& ages, int& rtpCount, int& rtpPrevCount) {
  TSequenceReport report;
  auto sip = [&](const std::string& l) { io.AddLine(TPane::Sip, l); };
  auto log = [&](const std::string& l) { io.AddLine(TPane::Log, l); };

  // Greeting: proves TCP reachability and fetches the token for the probes' Call-ID.
  io.ControlWrite(GreetingBytes());
  const std::string token = Scramble(io.ControlReadLine(GreetingTerminator(), kWaitMs));
  if (token.empty()) {
    sip("No TCP packet received by remote server.");
    sip(kFirewallHint);
    io.Disconnect();
    report.Outcome = TSequenceReport::TOutcome::NoGreeting;
    return report;
  }
  report.Token = token;

  int qualify5060 = 2, qualify5058 = 2;
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
    const int remotePort = x.socket == TSipSocket::Sip5060 ? params.ServerPort : 5058;
    std::string localIp;
    int localPort = 0;
    io.LocalBinding(x.socket, localIp, localPort);
    if (x.invite)
      probe.BuildInvite(token, std::to_string(remotePort), localIp, std::to_string(localPort), false, 5004);
    else
      probe.BuildRegister(token, std::to_string(remotePort), localIp, std::to_string(localPort));
    log(".");
    log("Checking from local port " + std::to_string(localPort) + " to remote port " +
        std::to_string(remotePort) + " ...");

    std::string echo;
    for (int attempt = 0; attempt < kAttempts && echo.empty(); ++attempt) {
      io.SendDatagram(x.socket, params.ServerHost, remotePort, x.invite ? probe.InviteMsg : probe.RegisterMsg);
      echo = Scramble(io.ControlReadLine(EchoTerminator(), kWaitMs));
    }
    if (echo.empty()) {
      sip("No UDP packet received by remote server.");
      sip(kFirewallHint);
      io.Disconnect();
      report.Outcome = TSequenceReport::TOutcome::NoEcho;
      return report;
    }

    log(CutLines(echo, 1));  // the server's own report line
    const int result = x.invite ? probe.CheckInviteEcho(echo, log) : probe.CheckRegisterEcho(echo, log);
    if (x.leadIn) {
      sip("----------------------------");
      sip(x.invite ? " Checking INVITEs..." : " Checking REGISTERs...");
    }
    sip(AlgVerdict(result, x.nominalPort));
    if (result == 0) --(x.socket == TSipSocket::Sip5060 ? qualify5060 : qualify5058);
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
      io.SendDatagram(s.socket, params.ServerHost, s.remotePort, probe.InviteMsg);
      io.Sleep(kNatGapMs);
    }
    *s.started = true;
  }
  if (report.Nat5060 || report.Nat5058)
    io.NatTestStarted();
  else
    io.Disconnect();  // nothing more will come: the run is over
  return report;
}
