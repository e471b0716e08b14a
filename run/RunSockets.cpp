#include "run/RunSockets.h"

#include "net/IdStack.h"
#include "net/UiThread.h"
#include "router/MacRefresh.h"
#include "router/MacVendor.h"

std::vector<std::string> SocketLayerLocalAddresses() {
  TIdComponent keepStackAlive;
  if (!SocketStack) return {};
  return SocketStack->LocalAddresses();
}

TRunSockets::TRunSockets() {
  IdTCPClient1->SetPort(0);
  IdTCPClient1->ReadTimeout = 0;
  IdTCPClient1->MaxLineAction = TIdMaxLineAction::maException;
  IdTCPClient1->MaxLineLength = 72 * 1024;  // an echo of the largest datagram, with the server's line
  for (TIdUDPServer* e : {IdUDP_client_5060.get(), IdUDP_client_5058.get(), IdRTP5004.get()}) {
    e->SetDefaultPort(0);
    e->ThreadedEvent = false;
  }
  for (int port : {5060, 5058})
    (port == 5060 ? IdUDP_client_5060 : IdUDP_client_5058)->OnUDPTap =
        [inbox = &LargeDown, port](std::string_view data, const std::string&, int) { return inbox->Offer(port, data); };
  IdRTP5004->OnUDPTap = [call = &CallTest](std::string_view data, const std::string& fromIp, int) {
    return call->Take(data, fromIp, SteadyUs());
  };
}

TRunSockets::~TRunSockets() {
  CallTest.Stop();  // it sends from the RTP socket, which goes next
  // The endpoints stop one after the other and may still hand over datagrams meanwhile; with
  // the run on its way out those are dropped rather than handled.
  for (TIdUDPServer* e : {IdUDP_client_5060.get(), IdUDP_client_5058.get(), IdRTP5004.get()}) e->OnUDPRead = nullptr;
  IdTCPClient1->OnStatus = nullptr;
  IdTCPClient1->OnConnected = nullptr;
  IdTCPClient1->OnDisconnected = nullptr;
}

TIdUDPServer& TRunSockets::Endpoint(TRunSocket socket) {
  switch (socket) {
    case TRunSocket::Sip5060: return *IdUDP_client_5060;
    case TRunSocket::Sip5058: return *IdUDP_client_5058;
    case TRunSocket::Rtp5004: break;
  }
  return *IdRTP5004;
}

void TRunSockets::Attach(TRunInput* input) {
  TRunIo::Attach(input);
  auto sip = [this](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
    if (input_) input_->SipDatagram(sender == IdUDP_client_5058.get() ? 5058 : 5060, data.DataString(), binding.RemotePort);
  };
  IdUDP_client_5060->OnUDPRead = sip;
  IdUDP_client_5058->OnUDPRead = sip;
  IdRTP5004->OnUDPRead = [this](TIdUDPServer*, TStream&, TIdSocketHandle& binding) {
    if (input_) input_->RtpDatagram(binding.RemoteIP);
  };
  IdTCPClient1->OnStatus = [this](TIdComponent*, TIdStatus, const std::string& text) {
    if (input_) input_->LinkStatus(text);
  };
  IdTCPClient1->OnConnected = [this](TIdComponent*) {
    if (input_) input_->LinkConnected();
  };
  IdTCPClient1->OnDisconnected = [this](TIdComponent*) {
    if (input_) input_->LinkDisconnected();
  };
}

void TRunSockets::PrepareSockets(const std::string& localIp) {
  for (TRunSocket s : {TRunSocket::Sip5060, TRunSocket::Sip5058, TRunSocket::Rtp5004})
    if (Endpoint(s).Bindings().Count() == 0) Endpoint(s).Bindings().Add();
  for (TRunSocket s : {TRunSocket::Sip5060, TRunSocket::Sip5058, TRunSocket::Rtp5004}) {
    Endpoint(s).Bindings()[0].IP = localIp;
    Endpoint(s).SetActive(false);
  }
  // The control connection leaves from the chosen address too: the server relates probes,
  // NAT reports and RTP to the address its control connection comes from, and on a host with
  // several addresses the default one could take another way out.
  IdTCPClient1->BoundIP = localIp;
}

bool TRunSockets::BindSocket(TRunSocket socket, int port) {
  try {
    Endpoint(socket).Bindings()[0].Port = port;
    Endpoint(socket).SetActive(true);
    return true;
  } catch (...) {
    return false;  // the exception's own text is not shown
  }
}

TGatewayInfo TRunSockets::FindRouter(const TLineSink& line) {
  const TGatewayInfo gateway = DiscoverGateway(line);
  routerIp_ = gateway.RouterIP;
  return gateway;
}

std::optional<std::string> TRunSockets::FindVendor(const std::string& url, const std::string& macText,
                                                   const TLineSink& line, const TIdTransferLimits& limits,
                                                   const TLineSink& waiting) {
  return RefreshAndLookupVendor(url, MacListFileName, macText, line, limits, waiting);
}

void TRunSockets::PrepareControl(const std::string& host) {
  IdTCPClient1->SetHost(host);
  IdTCPClient1->SetPort(80);
  if (IdTCPClient1->IsConnected()) IdTCPClient1->Disconnect();
}

void TRunSockets::ConnectControl(int timeoutMs) { IdTCPClient1->Connect(timeoutMs); }

TBackgroundCall::TSend TRunSockets::RtpSender(const std::string& host, int port) {
  const TIdStackSocketHandle fd = IdRTP5004->Bindings()[0].Handle();
  return [fd, host, port](const std::string& bytes) {
    // A send that fails is a packet lost on this computer's side.
    SocketStack->SockSendTo(fd, bytes.data(), static_cast<int>(bytes.size()), 0, host, port);
  };
}

void TRunSockets::ResetNatTimeout() { natTimeout_ = std::make_unique<TBackgroundNatTimeout>(); }

void TRunSockets::SequenceEnded() {
  TcpSipClose();
  nat_.reset();
  layers_.reset();
}

void TRunSockets::LocalBinding(TSipSocket socket, std::string& ip, int& port) {
  TIdSocketHandle& b = Endpoint(socket).ActiveBinding();
  ip = b.IP;
  port = b.Port;
}

void TRunSockets::SendDatagram(TSipSocket socket, const std::string& host, int port, const std::string& text) {
  Endpoint(socket).SendText(host, port, text);
}

std::optional<int> TRunSockets::TcpSipOpen(const std::string& host, int port, int timeoutMs, std::string& failure) {
  TcpSipClose();
  sipTcpHandler_ = std::make_unique<TIdIOHandlerSocket>();
  sipTcpHandler_->UseNagle = false;
  sipTcp_ = std::make_unique<TIdTCPClient>();
  sipTcp_->SetIOHandler(sipTcpHandler_.get());
  sipTcp_->SetHost(host);
  sipTcp_->SetPort(port);
  sipTcp_->BoundIP = Endpoint(TSipSocket::Sip5060).ActiveBinding().IP;
  try {
    sipTcp_->Connect(timeoutMs);
    return sipTcp_->Binding()->Port;
  } catch (const std::exception& e) {
    failure = ServerNotReachedReason(e).value_or(e.what());
    TcpSipClose();
    return std::nullopt;
  }
}

bool TRunSockets::TcpSipClosedByPeer() {
  try {
    sipTcp_->PollDisconnect(false);
    return sipTcp_->ClosedGracefully() || !sipTcp_->IsConnected();
  } catch (const EIdException&) {
    return true;  // reset
  }
}

std::optional<TIdTcpSendInfo> TRunSockets::TcpSipSendInfo() {
  TIdTcpSendInfo info;
  if (sipTcp_ && sipTcp_->Binding() && sipTcp_->Binding()->TcpSendInfo(info)) return info;
  return std::nullopt;
}

void TRunSockets::TcpSipClose() {
  if (sipTcp_) sipTcp_->DropLink();
  sipTcp_.reset();
  sipTcpHandler_.reset();
}

void TRunSockets::Sleep(int ms) { SleepKeepingAlive(ms); }

void TRunSockets::StartNatDiscovery(const std::string& localIp, const std::string& serverHost) {
  nat_ = std::make_unique<TBackgroundNatDiscovery>();  // one per sequence; the last one ends with it
  nat_->Start(localIp, serverHost, stun::kDefaultPort);
}

std::optional<TNatBehaviour> TRunSockets::NatBehaviour() {
  if (!nat_) return std::nullopt;
  return nat_->Result([](int ms) { SleepKeepingAlive(ms); });
}

void TRunSockets::StartNatLayers(const std::string& localIp, const std::string& serverHost) {
  layers_ = std::make_unique<TBackgroundNatLayers>();
  layers_->Start(localIp, serverHost, routerIp_);
}

std::optional<TNatLayersSeen> TRunSockets::NatLayersSeen() {
  if (!layers_) return std::nullopt;
  return layers_->Result([](int ms) { SleepKeepingAlive(ms); });
}

void TRunSockets::StartNatTimeout(const std::string& localIp, const std::string& serverHost, int serverPort,
                                  const std::string& token) {
  natTimeout_->Start(localIp, serverHost, static_cast<uint16_t>(serverPort), token);
}
