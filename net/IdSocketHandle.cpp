#include "net/IdSocketHandle.h"

#include <algorithm>
#include <chrono>

#include "net/UiThread.h"

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* collection) : collection_(collection) {
  if (collection_) Port = collection_->DefaultPort;
}

TIdSocketHandle::~TIdSocketHandle() { ShutSocket(); }

void TIdSocketHandle::Assign(const TIdSocketHandle& other) {
  IP = other.IP;
  Port = other.Port;
  RemoteIP = other.RemoteIP;
  RemotePort = other.RemotePort;
}

void TIdSocketHandle::OpenSocket(int type, int protocol) {
  ShutSocket();
  Descriptor = SocketStack->NewSocket(type, protocol);
  Allocated = true;
}

void TIdSocketHandle::ShutSocket() {
  if (!Allocated.exchange(false)) return;
  TIdStackSocketHandle s = Descriptor.exchange(Id_INVALID_SOCKET);
  SocketStack->SockShutdown(s, TIdShutdownHow::Send);
  SocketStack->SockClose(s);
}

bool TIdSocketHandle::TryBind() {
  if (SocketStack->SockBind(Handle(), Id_PF_INET, Port, IP) == Id_SOCKET_ERROR) {
    if (SocketStack->CheckResult(Id_SOCKET_ERROR, {IdErr::EADDRINUSE_})) return false;
  }
  return true;
}

void TIdSocketHandle::BindLocal() {
  if (!IP.empty()) TIdStack::TextToAddress(IP);  // not IPv4 text: EIdInvalidIPAddress
  if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
    if (!TryBind()) throw EIdCouldNotBindSocket();
  } else {
    const std::string range = "(" + std::to_string(ClientPortMin) + " - " + std::to_string(ClientPortMax) + ")";
    if (ClientPortMax < ClientPortMin) throw EIdInvalidPortRange("Invalid Port Range " + range);
    bool bound = false;
    for (int p = ClientPortMax; p >= ClientPortMin && !bound; --p) {
      Port = p;
      bound = TryBind();
    }
    if (!bound) throw EIdCanNotBindPortInRange("Can not bind in port range " + range);
  }
  RefreshLocal();
}

void TIdSocketHandle::SendDatagram(const std::string& ip, int port, const void* buffer, int count) {
  int sent = SocketStack->SockSendTo(Handle(), buffer, count, 0, ip, port);
  if (sent == Id_SOCKET_ERROR) {
    int code = SocketStack->LastSocketError();
    SocketStack->LastError = code;
    if (code == IdErr::EMSGSIZE_) throw EIdPackageSizeTooBig();
    SocketStack->RaiseError(code);
  }
  if (sent < count) throw EIdNotAllBytesSent();
}

int TIdSocketHandle::ReceiveDatagram(void* buffer, int size, std::string& fromIp, int& fromPort) {
  return SocketStack->SockRecvFrom(Handle(), buffer, size, 0, fromIp, fromPort);
}

void TIdSocketHandle::SetRemote(const std::string& ip, int port) {
  RemoteIP = ip;
  RemotePort = port;
}

void TIdSocketHandle::RefreshLocal() { SocketStack->LocalAddress(Handle(), IP, Port); }
void TIdSocketHandle::RefreshRemote() { SocketStack->PeerAddress(Handle(), RemoteIP, RemotePort); }

int TIdSocketHandle::ConnectStream() {
  int r = SocketStack->SockConnect(Handle(), Id_PF_INET, RemotePort, RemoteIP);
  if (r != Id_SOCKET_ERROR) {
    RefreshLocal();
    RefreshRemote();
  }
  return r;
}

int TIdSocketHandle::ConnectStreamCancellable(const std::atomic<bool>* cancelled) {
  int r = SocketStack->SockConnectCancellable(Handle(), RemotePort, RemoteIP, cancelled);
  if (r != Id_SOCKET_ERROR) {
    RefreshLocal();
    RefreshRemote();
  }
  return r;
}

int TIdSocketHandle::SendStream(const void* buffer, int count) {
  return SocketStack->SockSend(Handle(), buffer, count, 0);
}

int TIdSocketHandle::ReceiveStream(void* buffer, int size) {
  return SocketStack->SockRecv(Handle(), buffer, size, 0);
}

bool TIdSocketHandle::WaitReadable(int timeoutMs) {
  if (!HandleAllocated()) throw EIdConnClosedGracefully();
  auto readable = [this](int ms) {
    std::vector<TIdStackSocketHandle> read{Handle()};
    SocketStack->SockSelect(&read, nullptr, nullptr, ms);
    return !read.empty();
  };
  TUiThread* ui = TUiThread::WaitingUi();
  if (!ui || (timeoutMs >= 0 && timeoutMs <= TUiThread::kKeepAliveMs)) return readable(timeoutMs);
  // On the user-interface thread: the same wait in slices, the window kept alive in between.
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeoutMs < 0;  // -2: no limit
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  for (;;) {
    int slice = TUiThread::kKeepAliveMs;
    if (!unlimited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      slice = static_cast<int>(std::clamp<int64_t>(left, 0, slice));
    }
    if (readable(slice)) return true;
    if (!unlimited && Clock::now() >= end) return false;
    ui->KeepAlive();
    if (!HandleAllocated()) throw EIdConnClosedGracefully();
  }
}

void TIdSocketHandle::SetOption(TIdSocketOption option, int value) {
  SocketStack->CheckResult(SocketStack->SockSetOption(Handle(), option, value));
}

void TIdSocketHandles::Assign(const TIdSocketHandles& other) {
  if (&other == this) return;
  items_.clear();
  DefaultPort = other.DefaultPort;
  for (const auto& item : other.items_) Add().Assign(*item);
}

TIdSocketHandle& TIdSocketHandles::Add() {
  items_.push_back(std::make_unique<TIdSocketHandle>(this));
  return *items_.back();
}

TIdSocketHandle* TIdSocketHandles::FindByDescriptor(TIdStackSocketHandle descriptor) {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it)
    if ((*it)->Handle() == descriptor) return it->get();
  return nullptr;
}

bool TIdSocketHandle::TcpSendInfo(TIdTcpSendInfo& info) {
  return HandleAllocated() && SocketStack->SockTcpSendInfo(Handle(), info);
}
