#pragma once
// What one test run needs of the network, beyond the test sequence's own needs: the three UDP
// sockets, the router and its maker, the control connection, the test call and the NAT time-out
// test. TRunSockets (RunSockets.h) does it with the real components; tests use a stand-in.
// What the network reports back (datagrams, the control connection's events) goes to a
// TRunInput, the run itself.
#include <optional>
#include <string>

#include "net/IdTransferLimit.h"
#include "probes/CallTest.h"
#include "probes/NatTimeoutTest.h"
#include "probes/Sequencer.h"
#include "router/Gateway.h"

// The run's three UDP sockets, by their nominal ports.
enum class TRunSocket { Sip5060, Sip5058, Rtp5004 };

// What the network reports to the run, on the run's thread.
class TRunInput {
 public:
  virtual ~TRunInput() = default;
  // A datagram on a SIP socket (socketPort: its nominal port, 5060 or 5058) from fromPort.
  virtual void SipDatagram(int socketPort, const std::string& data, int fromPort) = 0;
  // A datagram on the RTP socket from fromIp.
  virtual void RtpDatagram(const std::string& fromIp) = 0;
  // The control connection: a status text ("Connecting to 192.0.2.1.", "Disconnected.", ...),
  // its opening and its closing.
  virtual void LinkStatus(const std::string& text) = 0;
  virtual void LinkConnected() = 0;
  virtual void LinkDisconnected() = 0;
};

class TRunIo : public TSequencerIo {
 public:
  // Where datagrams and the control connection's events go from now on (null: nowhere).
  virtual void Attach(TRunInput* input) { input_ = input; }

  // Lines, waits and the start of the NAT session test are the run's: it takes them before they
  // would reach here.
  void AddLine(TPane, const std::string&) override {}
  void NatTestStarted() override {}

  // Each socket gets one binding to localIp and is released, as is a socket of an earlier run.
  // The control connection will leave from localIp too.
  virtual void PrepareSockets(const std::string& localIp) = 0;
  // Binds a socket to `port`; false when that fails (in use, not a local address, ...).
  virtual bool BindSocket(TRunSocket socket, int port) = 0;

  // The router in front of this host, with its lines; and its maker from the vendor list at
  // `url`, refreshed first (lines, and waits while it downloads).
  virtual TGatewayInfo FindRouter(const TLineSink& line) = 0;
  virtual std::optional<std::string> FindVendor(const std::string& url, const std::string& macText,
                                                const TLineSink& line, const TIdTransferLimits& limits,
                                                const TLineSink& waiting) = 0;

  // The control connection: aimed at port 80 of host (one left from an earlier run is closed
  // first, with its events), then opened within timeoutMs; a failure raises. Its events reach
  // the input before Connect returns.
  virtual void PrepareControl(const std::string& host) = 0;
  virtual void ConnectControl(int timeoutMs) = 0;
  // The address the control connection reached.
  virtual std::string ControlPeer() = 0;

  // The test call from the RTP socket, and a way to send from that socket to host:port (any
  // thread may use it).
  virtual TBackgroundCall& Call() = 0;
  virtual TBackgroundCall::TSend RtpSender(const std::string& host, int port) = 0;

  // The test sequence begins (what came for an earlier one is forgotten), and is over, however
  // it ended: what it used alone (SIP over TCP, the STUN exchanges, the NAT layers' checks) ends
  // with it.
  virtual void SequenceBegins() {}
  virtual void SequenceEnded() {}

  // The NAT time-out test (started through StartNatTimeout): forgotten at each start, its
  // progress, and its end.
  virtual void ResetNatTimeout() = 0;
  virtual TNatTimeoutProgress NatTimeoutProgress() = 0;
  virtual void StopNatTimeout() = 0;

 protected:
  TRunInput* input_ = nullptr;
};
