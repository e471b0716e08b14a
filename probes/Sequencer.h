#pragma once
// The test sequence of one run: the greeting on the control connection, the four SIP probe
// exchanges with their ALG verdicts, and the start of the NAT session test. Plain code that
// talks to the network and the panes through TSequencerIo, which the window implements with
// its TCP client, UDP endpoints and panes.
#include <string>

#include "probes/NatProbe.h"
#include "probes/SipProbe.h"

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
  // Blocks the calling thread.
  virtual void Sleep(int ms) = 0;
  // The NAT session test INVITEs have been sent: the user may stop the run from now on.
  virtual void NatTestStarted() = 0;
};

struct TSequenceParams {
  std::string ServerHost;  // destination of every probe
  int ServerPort = 5060;   // the server's SIP port: probes from the 5060 socket go there
  int RtpPort = 5004;      // the local port of the RTP socket
};

// What a sequence found, for fronts that report it as data.
struct TSequenceReport {
  enum class TOutcome { NotRun, NoGreeting, NoEcho, Completed };
  struct TCheck {
    bool Done = false;
    int Result = 0;  // 0, or minus the number of changed lines
  };
  TOutcome Outcome = TOutcome::NotRun;
  std::string Token;
  TCheck Register5060, Register5058, Invite5060, Invite5058;
  bool Nat5060 = false, Nat5058 = false;  // the NAT session test was started for the port
};

// Control channel texts.
inline constexpr char kGreeting[] = "GET 5060";  // followed by one zero byte on the wire
std::string GreetingBytes();                     // the 9 bytes of the greeting
std::string GreetingTerminator();                // "@5060" + zero byte, scrambled
std::string EchoTerminator();                    // one zero byte, scrambled

// Runs the sequence from the greeting to the start of the NAT session test. Exceptions of the
// transport leave it (the caller's guard reports them). ages and the RTP counters are the
// run's state that the NAT and RTP probes go on with.
TSequenceReport RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params,
                                TNatAges& ages, int& rtpCount, int& rtpPrevCount);
