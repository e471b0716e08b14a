#pragma once
// The tester's control session: greeting and token, a scrambled echo of every datagram of the
// session, the NAT session test with its RTP burst, the NAT time-out test and the test call. How long it lives, what it may spend and
// which datagrams without its token it takes are the rules of SessionPolicy.h.
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <vector>

#include "server/LargeAnswers.h"
#include "server/ServerPlatform.h"
#include "server/TcpConnection.h"
#include "server/TimeoutMappings.h"
#include "server/UdpSide.h"
#include "proto/CallReceiver.h"
#include "proto/LargeSipWire.h"
#include "proto/NatTimeoutWire.h"

class TControlSession : public TTcpConnection {
 public:
  TControlSession(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id,
                  bool admitted, uint32_t peer, uint16_t peerPort,
                  TServerClock::time_point started);
  void Start(std::string alreadyRead) override;

  // Datagrams of this session on a SIP port, sent to the local address `local`. One with the
  // session's token is taken at once if its budget allows; false: over the budget, dropped.
  bool OnTokenDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                       uint32_t local, TServerClock::time_point now);
  // A SIP message over TCP with the session's token that reached serverPort from sender; false:
  // over the budget, dropped. It is echoed as a datagram is, with a server line that names TCP.
  bool OnTcpMessage(std::string_view message, uint16_t serverPort, const std::string& sender,
                    TServerClock::time_point now);
  // A request of the NAT time-out test with the session's token, of `size` bytes, that reached
  // local:serverPort; false: not taken. Each is answered at once; after the mapping's idle time
  // the server sends it its datagram (kIdleCopies times), and the refresh mapping one every
  // refresh gap (TTimeoutMappings).
  bool OnTimeoutRequest(const nat_timeout::TRequest& r, size_t size, const TUdpPeer& from, uint32_t local,
                        uint16_t serverPort, TServerClock::time_point now);
  // A packet of the test call with the session's token, from `from`, sent to the local address
  // `local`. The first starts the session's one call, or is answered busy when as many calls run
  // as may; false: not taken (no call now, a duplicate, or an index past the call's longest).
  bool OnCallPacket(const call_wire::TPacket& p, const TUdpPeer& from, uint32_t local,
                    TServerClock::time_point now);
  // A request for large answers with the session's token (proto/LargeSipWire.h): echoed as a
  // datagram is, then each answer TLargeAnswers grants goes to its source. false: not taken.
  bool OnLargeAsk(TSipSocket& s, const large_sip::TAsk& ask, std::string_view datagram, const TUdpPeer& from,
                  uint32_t local, TServerClock::time_point now);
  // Whether its call has begun: its RTP burst ends then.
  bool CallBegun() const { return call_ != nullptr; }
  // An RTP packet of one of its bursts went out.
  void CountRtp() { ++rtpSent_; }
  // Whether one without the token, from the session's address, may still be the tester's.
  bool TakesByAddress() const { return fallback_.Open(); }
  // One without the token: held back a while (TAddressFallback); false: dropped.
  bool OnAddressDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                         uint32_t local, TServerClock::time_point now);

 private:
  struct NatRun {
    NatRun(asio::io_context& io, TSipSocket& s, TUdpPeer d, uint32_t l)
        : timer(io), socket(s), dest(d), local(l) {}
    asio::steady_timer timer;
    TSipSocket& socket;
    TUdpPeer dest;        // where the INVITE came from: the mapping under test
    uint32_t local;       // the address it was sent to: reports leave from there
    std::vector<int> plan;  // idle gaps; a default schedule has only its first until decided
    bool decided = false;
    size_t next = 0;      // index of the next report
    TServerClock::time_point lastActivity;  // last datagram on the mapping, either way
  };
  // The test call: the tester's stream as it came, and the stream sent back to the source of its
  // first packet, one packet per 20 ms tick while it has received more than it sent.
  struct Call {
    Call(asio::io_context& io, size_t maxPackets) : timer(io), receiver(maxPackets) {}
    asio::steady_timer timer;
    call_wire::TStreamReceiver receiver;
    TUdpPeer dest;
    uint32_t local = 0;
    TServerClock::time_point first, latest;  // arrival of its first packet, of its latest
    uint64_t latestSentUs = 0;  // the tester's send time in its latest packet
    uint32_t ssrc = 0, firstTimestamp = 0;
    uint16_t firstSeq = 0;
    int sent = 0;
    bool over = false;  // its report went out, or the session ended first
  };
  struct Held {
    TSipSocket* socket;
    std::string datagram;
    TUdpPeer from;
    uint32_t local;
  };

  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  void StopOwn() override;
  void OnTimeout(const std::string& why) override;
  // Echoes a datagram taken for the session; one with the token may also start or postpone
  // the NAT session reports.
  void Take(TSipSocket& s, std::string_view datagram, const TUdpPeer& from, uint32_t local,
            bool byToken, TServerClock::time_point now);
  void ArmHold();
  // A message over TCP that may pay for large answers.
  void NoteLargeTcp(size_t bytes, uint16_t serverPort, const std::string& sender);
  // After a change of the session's life: its deadline and protection.
  void FollowLife();
  // Queues bytes for the peer; a peer that lets too much pile up is cut off.
  void Send(std::string data);
  void WriteNext();
  void StartNatRun(TSipSocket& s, const TUdpPeer& from, uint32_t local);
  void ArmNatRun(NatRun& r);
  void SendNatReport(NatRun& r);
  void StartRtpBurst(uint16_t port);
  // The one timer of the time-out test, at its next due datagram; the session's life follows
  // the last one due.
  void ArmTimeouts();
  void SendTimeouts();
  void SendTimeout(const TTimeoutSend& s);
  void StartCall(const TUdpPeer& from, uint32_t local, TServerClock::time_point now);
  void TickCall();
  // The call is over: its slot is free again; with report, the report goes out.
  void EndCall(bool report);

  TControlInput input_;
  TSessionBudget budget_;
  TSessionLife life_;
  TAddressFallback<Held> fallback_;
  asio::steady_timer holdTimer_;
  uint32_t local_ = 0;  // our address on the control connection: RTP leaves from there
  std::string token_;
  std::list<std::string> out_;  // what the socket did not take yet; nothing allocated while empty
  size_t pendingOut_ = 0;
  bool writing_ = false;
  int echoes_ = 0;
  int tcpEchoes_ = 0;
  int rtpSent_ = 0;
  std::string natPorts_;
  std::map<uint16_t, std::unique_ptr<NatRun>> natRuns_;  // by server port
  std::set<uint16_t> rtpPorts_;                           // audio ports that had their burst
  TTimeoutMappings timeouts_;
  asio::steady_timer timeoutTimer_;
  int timeoutSent_ = 0;
  std::unique_ptr<Call> call_;
  bool callBusy_ = false;  // its call was refused: it takes none
  TLargeAnswers large_;
};
