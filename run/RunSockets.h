#pragma once
// The network of a run as the real components do it: the TCP client of the control connection,
// the three UDP endpoints, the TCP connections of SIP over TCP, the STUN exchanges, the NAT
// time-out test and the test call. A front that shows the components as its own (the window)
// may put its handlers in front of the run's: it must hand what they get over to the run.
#include <memory>
#include <string>
#include <vector>

#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPClient.h"
#include "net/IdUDPServer.h"
#include "probes/LargeSip.h"
#include "probes/NatDiscovery.h"
#include "probes/NatLayersDiscovery.h"
#include "run/RunIo.h"

class TRunSockets : public TRunIo {
 public:
  TRunSockets();
  ~TRunSockets() override;

  // ---- Components ----
  // The test call from the RTP socket. Made before the endpoints, so that it outlives the RTP
  // endpoint's receive thread, which hands it the call's packets.
  TBackgroundCall CallTest;
  // The server's large answers, kept by the SIP endpoints' receive threads for the test
  // sequence; made before the endpoints for the same reason.
  TLargeDownInbox LargeDown;
  // TCP client to the echo server: Port 0, no read limit, an over-long line raises; Host and Port
  // are set at each start.
  std::unique_ptr<TIdTCPClient> IdTCPClient1 = std::make_unique<TIdTCPClient>();
  // UDP endpoints: no bindings, default port 0, datagrams handed to the run's thread.
  std::unique_ptr<TIdUDPServer> IdUDP_client_5060 = std::make_unique<TIdUDPServer>();
  std::unique_ptr<TIdUDPServer> IdUDP_client_5058 = std::make_unique<TIdUDPServer>();
  std::unique_ptr<TIdUDPServer> IdRTP5004 = std::make_unique<TIdUDPServer>();
  TIdUDPServer& Endpoint(TRunSocket socket);

  void Attach(TRunInput* input) override;

  // ---- TRunIo ----
  void PrepareSockets(const std::string& localIp) override;
  bool BindSocket(TRunSocket socket, int port) override;
  TGatewayInfo FindRouter(const TLineSink& line) override;
  std::optional<std::string> FindVendor(const std::string& url, const std::string& macText, const TLineSink& line,
                                        const TIdTransferLimits& limits, const TLineSink& waiting) override;
  void PrepareControl(const std::string& host) override;
  void ConnectControl(int timeoutMs) override;
  std::string ControlPeer() override { return IdTCPClient1->RemoteIP(); }
  TBackgroundCall& Call() override { return CallTest; }
  TBackgroundCall::TSend RtpSender(const std::string& host, int port) override;
  void ResetNatTimeout() override;
  TNatTimeoutProgress NatTimeoutProgress() override { return natTimeout_->Progress(); }
  void StopNatTimeout() override { natTimeout_->Stop(); }
  void SequenceBegins() override { LargeDown.Clear(); }
  void SequenceEnded() override;

  // ---- TSequencerIo ----
  void ControlWrite(const std::string& bytes) override { IdTCPClient1->Write(bytes); }
  std::string ControlReadLine(const std::string& terminator, int timeoutMs) override {
    return IdTCPClient1->ReadLine(terminator, timeoutMs, -1);
  }
  void Disconnect() override { IdTCPClient1->Disconnect(); }
  void LocalBinding(TSipSocket socket, std::string& ip, int& port) override;
  void SendDatagram(TSipSocket socket, const std::string& host, int port, const std::string& text) override;
  std::optional<int> TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) override;
  void TcpSipWrite(const std::string& text) override { sipTcp_->Write(text); }
  bool TcpSipClosedByPeer() override;
  std::optional<TIdTcpSendInfo> TcpSipSendInfo() override;
  void TcpSipClose() override;
  void Sleep(int ms) override;
  void StartNatDiscovery(const std::string& localIp, const std::string& serverHost) override;
  std::optional<TNatBehaviour> NatBehaviour() override;
  void StartNatLayers(const std::string& localIp, const std::string& serverHost) override;
  std::optional<TNatLayersSeen> NatLayersSeen() override;
  std::vector<std::string> LargeDownDatagrams(TSipSocket socket) override {
    return LargeDown.Take(socket == TSipSocket::Sip5060 ? 5060 : 5058);
  }
  void StartNatTimeout(const std::string& localIp, const std::string& serverHost, int serverPort,
                       const std::string& token) override;

 private:
  TIdUDPServer& Endpoint(TSipSocket s) {
    return s == TSipSocket::Sip5060 ? *IdUDP_client_5060 : *IdUDP_client_5058;
  }
  std::unique_ptr<TIdIOHandlerSocket> sipTcpHandler_;  // outlives the client that uses it
  std::unique_ptr<TIdTCPClient> sipTcp_;
  std::unique_ptr<TBackgroundNatDiscovery> nat_;
  std::unique_ptr<TBackgroundNatLayers> layers_;
  std::string routerIp_;  // as the last start found it
  std::unique_ptr<TBackgroundNatTimeout> natTimeout_ = std::make_unique<TBackgroundNatTimeout>();
};

// The host's IPv4 addresses as the socket layer lists them (keeping the layer alive while it
// asks). A failure raises the socket error.
std::vector<std::string> SocketLayerLocalAddresses();
