#pragma once
// The tester's control session: greeting and token, a scrambled echo of every datagram of the
// session, and the NAT session test with its RTP burst.
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "server/ServerPlatform.h"
#include "server/TcpConnection.h"
#include "server/UdpSide.h"

class TControlSession : public TTcpConnection {
 public:
  TControlSession(TServerContext& ctx, asio::ip::tcp::socket socket, uint32_t peer,
                  uint16_t peerPort, TServerClock::time_point started);
  void Start(std::string alreadyRead) override;

  // Takes one datagram from the session's own budget; false when it is spent.
  bool TakeDatagram(TServerClock::time_point now) {
    return budget_.Take(ctx_.Config.SessionDatagramsPerSecond, ctx_.Config.SessionDatagramBurst,
                        now);
  }
  // A datagram of this session arrived on a SIP port, sent to the local address `local`.
  void OnDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                  uint32_t local, bool matchedByToken);

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
  struct RtpBurst {
    RtpBurst(asio::io_context& io, TUdpPeer d, TRtpStream s) : timer(io), dest(d), stream(s) {}
    asio::steady_timer timer;
    TUdpPeer dest;
    TRtpStream stream;
    int left = 0;
  };

  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  void StopOwn() override;
  void OnTimeout(const std::string& why) override;
  // Queues bytes for the peer; a peer that lets too much pile up is cut off.
  void Send(std::string data);
  void WriteNext();
  void StartNatRun(TSipSocket& s, const TUdpPeer& from, uint32_t local);
  void ArmNatRun(NatRun& r);
  void SendNatReport(NatRun& r);
  void StartRtpBurst(uint16_t port);
  void SendRtp(RtpBurst& b);

  TControlInput input_;
  TTokenBucket budget_;
  uint32_t local_ = 0;  // our address on the control connection: RTP leaves from there
  std::string token_;
  std::deque<std::string> out_;
  size_t pendingOut_ = 0;
  bool writing_ = false;
  int echoes_ = 0;
  int rtpSent_ = 0;
  std::string natPorts_;
  std::map<uint16_t, std::unique_ptr<NatRun>> natRuns_;  // by server port
  std::set<uint16_t> rtpPorts_;                           // audio ports that had their burst
  std::vector<std::unique_ptr<RtpBurst>> bursts_;
};
