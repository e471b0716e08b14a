#pragma once
// The server's UDP side: the SIP ports that take probes, the NAT time-out test's own port, the
// RTP socket (bursts out, test calls both ways), and the limits that keep datagrams from
// strangers and floods cheap. Replies leave from the local address the
// peer talked to, also on a host with several addresses and an any-address bind.
#include <asio.hpp>
#include <memory>
#include <string_view>
#include <vector>

#include "server/RtpPacket.h"
#include "server/ServerContext.h"
#include "server/ServerPlatform.h"

struct TSipSocket {
  explicit TSipSocket(asio::io_context& io) : socket(io) {}
  asio::ip::udp::socket socket;
  TSipPortPlan plan;
};

class TControlSession;
struct TTimeoutSend;

class TUdpSide {
 public:
  explicit TUdpSide(TServerContext& ctx);
  // Binds every socket to address; raises std::runtime_error with a clear text on failure.
  void Bind(const asio::ip::address_v4& address);
  void Start();
  void Close();
  // Runs every few seconds: forgets counters that have filled up again.
  void Housekeeping(TServerClock::time_point now) {
    perSource_.ForgetFull(now);
    timeoutPerAddress_.ForgetFull(now);
  }

  // Sends one datagram of a session from socket and the local address `local`, but only to the
  // address of the session's own control connection (`owner`), which a forged source cannot
  // name: the server never aims traffic at a host on another's say.
  bool Send(asio::ip::udp::socket& socket, uint32_t owner, const TUdpPeer& to, uint32_t local,
            std::string_view data);
  // A burst of `packets` RTP packets of `stream` from the RTP socket to `to`, paced with every
  // other burst (TBurstPacer) in what the calls running now leave of the RTP rate; it ends early
  // when its session does or its call begins.
  void StartRtpBurst(const std::shared_ptr<TControlSession>& session, const TUdpPeer& to,
                     uint32_t local, TRtpStream stream, int packets);
  // One packet of a session's call from the RTP socket; the same rule as Send.
  bool SendCallPacket(uint32_t owner, const TUdpPeer& to, uint32_t local, std::string_view data) {
    return Send(rtp_, owner, to, local, data);
  }
  // A datagram of a session's NAT time-out test, by the rule of Send, from the port its mapping's
  // requests reached, within the cap per destination address on all such datagrams.
  bool SendTimeout(uint32_t owner, const TTimeoutSend& s);
  uint16_t RtpPort() const;
  // The NAT time-out test's own port as bound (0: none).
  uint16_t TimeoutPort() const;
  const std::vector<std::unique_ptr<TSipSocket>>& SipSockets() const { return sip_; }

 private:
  struct TRtpBurst {
    std::weak_ptr<TControlSession> session;
    TUdpPeer to;
    uint32_t local;
    TRtpStream stream;
    int left;
    bool afterCall;  // started after its session's call began
  };
  void Receive(TSipSocket& s);
  void PaceRtp();
  void OnDatagram(TSipSocket& s, std::string_view datagram, const TUdpPeer& from,
                  uint32_t local);
  void OnTimeoutDatagram(uint16_t port, std::string_view datagram, const TUdpPeer& from, uint32_t local);
  void OnLargeAsk(TSipSocket& s, std::string_view datagram, const TUdpPeer& from, uint32_t local);
  void OnRtpDatagram(std::string_view datagram, const TUdpPeer& from, uint32_t local);

  TServerContext& ctx_;
  std::vector<std::unique_ptr<TSipSocket>> sip_;
  asio::ip::udp::socket rtp_;
  asio::ip::udp::socket timeout_;
  uint16_t timeoutPort_ = 0;
  std::vector<char> buffer_;
  std::unique_ptr<TDatagramBatch> rtpBatch_;  // the RTP port's calls come many at once
  TDatagramLimiter perSource_;
  TDatagramLimiter timeoutPerAddress_;  // the time-out test's datagrams out, by destination address
  TBurstPacer<TRtpBurst> rtpPacer_;
  asio::steady_timer rtpTimer_;
  bool rtpTicking_ = false;
};
