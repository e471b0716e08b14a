#pragma once
// What one test run found, as data: the handlers fill it in as the run goes on, and fronts
// report it (the console front's JSON) without reading it back out of the panes.
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "probes/CallQuality.h"
#include "probes/LargeSip.h"
#include "probes/NatBehaviour.h"
#include "probes/NatLayers.h"
#include "probes/NatTimeoutDecision.h"

// How a run ended.
enum class TRunEnd {
  Open,              // not ended yet, or never started
  CountdownRanOut,   // the NAT countdown ran out
  Stopped,           // "Stop test"
  ServerNotReached,  // the TCP or UDP failure lines
  NoNatTest,         // the checks are done and no port qualified for the NAT session test
  Error,             // an error ended it (shown in a box)
  NoNatReport,       // ended by the console front: no NAT session report after the NAT INVITEs
  TimeLimit,         // ended by the console front: its time limit ran out
  ServerBusy,        // the server answered the greeting that it is busy
};

// A name for reports ("countdown", "stopped", "server_not_reached", ...); "" for Open.
const char* RunEndName(TRunEnd end);

// The public address and port the server saw a SIP socket's probes come from.
struct TPublicMapping {
  std::string Address;
  int Port = 0;
  bool PortKept = false;  // the NAT kept the socket's local port
};

// The server's own line of an echo, "Received N bytes on UDP port P from A:B" (or "on TCP port"
// for a message over TCP; notes in parentheses may follow).
struct TServerLine {
  int Bytes = 0;
  bool Tcp = false;          // a SIP message over TCP, not a datagram
  int ServerPort = 0;        // the UDP (or TCP) port the datagram reached
  std::string FromAddress;   // where it came from, as the server saw it
  int FromPort = 0;
};
// nullopt when the line has another form.
std::optional<TServerLine> ParseServerLine(const std::string& line);

// The public mapping a server line names, for a socket bound to localPort; none for a line of a
// message over TCP.
std::optional<TPublicMapping> PublicMappingFromServerLine(const std::string& line, int localPort);

// What kept the control connection from being made, in words ("connection refused", ...), when
// the error means the server was not reached: refused, timed out, a name that is unknown or got
// no answer, no route. nullopt for any other error.
std::optional<std::string> ServerNotReachedReason(const std::exception& error);
// The one line that says so, naming the server.
std::string ServerNotReachedLine(const std::string& host, const std::string& reason);

// What the test sequence found.
struct TSequenceReport {
  // ServerBusy: the server said it cannot serve the run now. TimeUp: the run's time limit ended
  // the sequence.
  enum class TOutcome { NotRun, NoGreeting, NoEcho, Completed, ServerBusy, TimeUp };
  struct TCheck {
    bool Done = false;
    int Result = 0;        // 0, or minus the number of changed lines
    bool Dropped = false;  // no echo came, while the socket's REGISTER, sent again, came back
    bool Lost = false;     // no echo came, nor one of the probe sent to check the link: no verdict
    // Over TCP, Dropped is a message never echoed although the far end acknowledged it (swallowed),
    // Lost one whose bytes TCP's resends never got acknowledged, and Unreachable a connection that
    // could not be made or was closed at the other end (no verdict; Why says what failed).
    bool Unreachable = false;
    std::string Why = {};
    bool NotConnected = false;  // Unreachable: the connection could not be made
    bool Alg() const { return Result < 0 || Dropped; }
  };
  TOutcome Outcome = TOutcome::NotRun;
  std::string Token;
  TCheck Register5060, Register5058, Invite5060, Invite5058;
  // SIP over TCP, checked after the checks by UDP, each message over a connection of its own.
  TCheck TcpRegister5060, TcpRegister5058, TcpInvite5060, TcpInvite5058;
  bool Nat5060 = false, Nat5058 = false;  // the NAT session test was started for the port
  // RunClockMs() when the port's last NAT session test INVITE went: the socket's last datagram out.
  int64_t NatSentAtMs5060 = 0, NatSentAtMs5058 = 0;
  std::optional<TPublicMapping> Public5060, Public5058;
  std::optional<TNatBehaviour> Behaviour;  // the NAT's class, from STUN; nullopt: not found
  std::optional<TNatLayers> Layers;        // how many NATs; nullopt: not looked for
  TLargeSipReport Large;                   // large SIP messages both ways, after the checks over TCP
  bool AnyAlg() const;  // by UDP or over TCP
  bool AnyLost() const;
  bool NatTestStarted() const { return Nat5060 || Nat5058; }
  // The public address the server saw: STUN's, else that of a SIP socket's probes; nullopt when
  // unknown.
  std::optional<std::string> PublicAddress() const;
};

struct TRunResult {
  // NAT session reports from one server port.
  struct TNatPort {
    std::vector<int> HeldSecs;    // the session ages printed, in order: each held
    std::optional<int> NextSecs;  // the next one announced after the last of them
    int64_t LastAtMs = 0;         // RunClockMs() when the last of them came
  };

  TSequenceReport Sequence;
  std::map<int, TNatPort> Nat;  // by the nominal port (5060, 5058) of the socket they reached
  // The NAT time-out test on mappings of its own; nullopt when it did not run (an older server).
  std::optional<TNatTimeoutResult> NatTimeout;
  int RtpPackets = 0;           // RTP datagrams from the server counted
  // The test call from the RTP socket; nullopt when it did not run (an older server, or a run
  // that ended before it).
  std::optional<TCallResult> Call;
  std::string RouterIP;         // as the start found them
  std::string RouterMac;
  std::optional<std::string> Vendor;
  TRunEnd End = TRunEnd::Open;
  std::string NotReachedReason;  // what failed, when the control connection was not made
  int64_t EndedAtMs = 0;  // RunClockMs() when End was noted
};

// A steady clock in milliseconds for the times of a run's events.
int64_t RunClockMs();
