#pragma once
// The test sequence of one run: the greeting on the control connection, the four SIP probe
// exchanges with their ALG verdicts, and the start of the NAT session test. Plain code that
// talks to the network and the panes through TSequencerIo, which the window implements with
// its TCP client, UDP endpoints and panes.
#include <chrono>
#include <cstdint>
#include <string>

#include "probes/NatProbe.h"
#include "probes/RunResult.h"
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
  // What the sequence waits for from now on (for the status bar), "Waiting for the echo of the
  // INVITE to port 5058 (send 2 of 3)", say.
  virtual void Waiting(const std::string& what) { (void)what; }
  // The NAT session test INVITEs have been sent: the user may stop the run from now on.
  virtual void NatTestStarted() = 0;
  // A steady clock in milliseconds, for the time an attempt has left.
  virtual int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

struct TSequenceParams {
  std::string ServerHost;  // destination of every probe
  int ServerPort = 5060;   // the server's SIP port: probes from the 5060 socket go there
  int RtpPort = 5004;      // the local port of the RTP socket
};

// Control channel texts.
inline constexpr char kGreeting[] = "GET 5060";  // followed by one zero byte on the wire
std::string GreetingBytes();                     // the 9 bytes of the greeting
std::string GreetingTerminator();                // "@5060" + zero byte, scrambled
std::string EchoTerminator();                    // one zero byte, scrambled

// Runs the sequence from the greeting to the start of the NAT session test, filling `report`
// in as it goes (it starts afresh), so that it holds what was found also when an exception of
// the transport cuts the sequence short; such exceptions leave it (the caller's guard reports
// them). ages and the RTP counters are the run's state that the NAT and RTP probes go on with.
//
// Within one run the probes differ in their request lines (unless the server's SIP port is
// 5058, when both REGISTERs share one): an echo whose datagram begins with the request line of
// an earlier probe, and not with the current one's, is that probe's late echo; it is logged and
// dropped, and the wait for the current echo goes on within the attempt's time. An exchange
// without echo after an earlier one from the same socket was echoed was dropped on the way: it
// counts as an ALG for the port and the sequence goes on.
void RunTestSequence(TSequencerIo& io, TSipProbe& probe, const TSequenceParams& params, TNatAges& ages,
                     int& rtpCount, int& rtpPrevCount, TSequenceReport& report);
