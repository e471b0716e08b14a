#pragma once
// The test sequence of one run: the greeting on the control connection, the four SIP probe
// exchanges with their ALG verdicts, and the start of the NAT session test. Plain code that
// talks to the network and the panes through TSequencerIo, which the window implements with
// its TCP client, UDP endpoints and panes.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "probes/NatProbe.h"
#include "probes/RunResult.h"
#include "probes/SipProbe.h"
#include "probes/TcpCheckPolicy.h"

enum class TPane { Sip, Nat, Rtp, Log };

// The two SIP sockets, by their nominal ports.
enum class TSipSocket { Sip5060, Sip5058 };

class TSequencerIo {
 public:
  virtual ~TSequencerIo() = default;
  virtual void AddLine(TPane pane, const std::string& line) = 0;
  // The control connection: every byte written as given; a read of the bytes before the
  // terminator, or "" when a wait for more data lasts timeoutMs (what came stays buffered).
  virtual void ControlWrite(const std::string& bytes) = 0;
  virtual std::string ControlReadLine(const std::string& terminator, int timeoutMs) = 0;
  // Ends the run (the disconnection enables "Start test" again).
  virtual void Disconnect() = 0;
  // Local address and port a SIP socket is bound to.
  virtual void LocalBinding(TSipSocket socket, std::string& ip, int& port) = 0;
  // One datagram from a SIP socket.
  virtual void SendDatagram(TSipSocket socket, const std::string& host, int port, const std::string& text) = 0;
  // SIP over TCP, one connection at a time: opened from the SIP sockets' local address to
  // host:port within timeoutMs; its local port, or nothing with what failed in words ("the
  // connection was refused", ...) in `failure`.
  virtual std::optional<int> TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) = 0;
  // One message on it, in one write with Nagle's delay off, so that it leaves in one segment: a
  // router's ALG reads each segment on its own. Raises the transport's exception when it fails.
  virtual void TcpSipWrite(const std::string& text) = 0;
  // Whether the other end has closed or reset it (a server that is full closes it at once).
  virtual bool TcpSipClosedByPeer() = 0;
  // What TCP says of its sending (bytes the other end has not acknowledged, the segment size);
  // nullopt where the system cannot tell.
  virtual std::optional<TIdTcpSendInfo> TcpSipSendInfo() { return std::nullopt; }
  virtual void TcpSipClose() = 0;
  // Blocks the calling thread.
  virtual void Sleep(int ms) = 0;
  // What the sequence waits for from now on (for the status bar), "Waiting for the echo of the
  // INVITE to port 5058 (send 2 of 3)", say.
  virtual void Waiting(const std::string& what) { (void)what; }
  // The NAT session test INVITEs have been sent: the user may stop the run from now on.
  virtual void NatTestStarted() = 0;
  // Starts finding the NAT's behaviour class with STUN, from localIp to the server's STUN side,
  // beside the checks; NatBehaviour waits for it and gives the class (nullopt: not found).
  virtual void StartNatDiscovery(const std::string& localIp, const std::string& serverHost) {
    (void)localIp;
    (void)serverHost;
  }
  virtual std::optional<TNatBehaviour> NatBehaviour() { return std::nullopt; }
  // Starts the checks that count the NAT layers (the router asked for its external address,
  // the path towards the server), beside the others; NatLayersSeen waits for what they saw
  // (nullopt: they did not run).
  virtual void StartNatLayers(const std::string& localIp, const std::string& serverHost) {
    (void)localIp;
    (void)serverHost;
  }
  virtual std::optional<TNatLayersSeen> NatLayersSeen() { return std::nullopt; }
  // Starts the NAT time-out test on mappings of its own, from localIp to the server's SIP port,
  // following the plan the token announces (none: no test). It runs on beside the rest.
  virtual void StartNatTimeout(const std::string& localIp, const std::string& serverHost, int serverPort,
                               const std::string& token) {
    (void)localIp;
    (void)serverHost;
    (void)serverPort;
    (void)token;
  }
  // The server's large answers that reached a SIP socket since the last call, as they came.
  virtual std::vector<std::string> LargeDownDatagrams(TSipSocket socket) {
    (void)socket;
    return {};
  }
  // A steady clock in milliseconds, for the time an attempt has left.
  virtual int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

struct TSequenceParams {
  // Destination of every probe: the address the control connection reached, so that all of a
  // run goes to the one server that holds its session, whatever a name's other addresses are.
  std::string ServerHost;
  int ServerPort = 5060;   // the server's SIP port: probes from the 5060 socket go there
  int RtpPort = 5004;      // the local port of the RTP socket
  int64_t DeadlineMs = 0;  // on the NowMs clock: no wait goes past it, and then the sequence stops; 0: none
  bool LargeSip = false;   // the checks with large SIP messages follow those over TCP
};

// A probe of the run as it went out.
struct TSentProbe {
  TSipSocket Socket;
  bool Invite;
  int RemotePort;
  std::string RequestLine;  // without CR LF
  std::string Text;         // the whole datagram (or message)
  bool Tcp = false;         // sent over TCP: only an echo whose line names TCP is its
};

// Which of the probes sent so far an echo (descrambled, the server's line first) is the echo
// of; `current` is the probe being waited for. The server's line names the UDP (or TCP) port the
// datagram reached, so only probes sent to that port that way can own it (any, when the line
// cannot be read). Among those, the ones whose request line the echo begins with, else the ones of its
// method, else (the request line rewritten beyond that) all of them. Where several remain (both
// sockets send to one port), the address the server saw the datagram come from leaves out a
// socket whose public mapping is known to be another; then the current probe is preferred, else
// the latest. -1 when no probe went to the port the line names.
int EchoOwner(const std::string& echo, const std::vector<TSentProbe>& sent, size_t current,
              const std::optional<TPublicMapping>& public5060, const std::optional<TPublicMapping>& public5058);

// A probe without echo after its sends is sent again beside a witness, a REGISTER that came back
// before: the socket's own for an INVITE, else the other socket's; none when neither came back.
enum class TWitness { None, Own, Other };
TWitness NoEchoWitness(bool invite, bool ownRegisterEchoed, bool otherRegisterEchoed);

// What a probe without echo, sent again beside its witness, says.
enum class TNoEchoVerdict {
  Dropped,  // an INVITE whose socket's own REGISTER came back: the router dropped it
  Lost,     // the witness did not come back either (or there was none): no verdict
  Failure,  // UDP from this socket does not reach the server while other UDP does, or no probe
            // of the run ever echoed: the failure lines, and the run ends
};
TNoEchoVerdict NoEchoVerdict(bool invite, TWitness witness, bool witnessSeen, bool anyEchoed);

// Control channel texts.
inline constexpr char kGreeting[] = "GET 5060";  // followed by one zero byte on the wire
std::string GreetingBytes();                     // the 9 bytes of the greeting
std::string GreetingTerminator();                // "@5060" + zero byte, scrambled
std::string EchoTerminator();                    // one zero byte, scrambled

// The NAT's behaviour class is looked for beside the checks, from the token on; its lines go
// to the NAT pane after the lead-in of the NAT session test, before any time-out line. The NAT
// layers' lines follow them, decided with the public address STUN (else the server) saw.
//
// Runs the sequence from the greeting to the start of the NAT session test, filling `report`
// in as it goes (it starts afresh), so that it holds what was found also when an exception of
// the transport cuts the sequence short; such exceptions leave it (the caller's guard reports
// them). ages and the RTP counters are the run's state that the NAT and RTP probes go on with.
//
// An echo that EchoOwner gives to an earlier probe is that probe's late echo: it is logged and
// dropped, and the wait for the current echo goes on within the attempt's time.
//
// Then the same REGISTER and INVITE go over TCP to both ports, each over a connection of its own
// (SIP/2.0/TCP and the connection's address and port in Via and Contact; the INVITEs announce
// audio ports of their own, as a router's ALG drops an INVITE whose audio port was announced
// before). A connect that times out is tried again on fresh connections (TcpConnectWaitMs). A
// connection that cannot be made, or that the other end closes with no echo, is no verdict ("not
// reachable"). A message without echo is swallowed, which counts as an ALG, only once TCP says
// the far end acknowledged all of it; bytes still unacknowledged after TCP's resends were lost
// on the way, no verdict (TcpEchoStep).
//
// With LargeSip, and a server whose token announces its large answers, large INVITEs follow (2,000 and 4,000 bytes, from both SIP sockets by UDP, then
// once over TCP to each port), echoed and compared as the others; then each SIP socket asks the
// server for large answers of both sizes, which come back to it (RunLargeSipChecks).
//
// A probe without echo after three sends is sent up to three times more (1 s each), each time
// beside a witness, a REGISTER that came back before (the socket's own for an INVITE, else the other
// socket's), whose echo shows whether the link works at that moment. The probe's echo, late or
// new, is judged as any echo. Without it:
//  - an INVITE whose socket's REGISTER comes back again: the router dropped it ("ALG active on
//    port N. INVITE dropped"), and the sequence goes on;
//  - a witness that comes back for another socket, or no probe of the run ever echoed: the
//    failure lines, and the run ends;
//  - a witness that does not come back either: the link lost them, which is no verdict ("No ALG
//    verdict on port N. <probe> lost on the way ..."); the sequence goes on.
void RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params, TNatAges& ages,
                     int& rtpCount, int& rtpPrevCount, TSequenceReport& report);
