#include "net/IdUDPServer.h"

#include <climits>

#include "net/ScopeExit.h"
#include "net/UiThread.h"

// ---------------------------------------------------------------- TIdUDPBase

void TIdUDPBase::SetActive(bool value) {
  if (loading_) {
    loadedActive_ = value;
    return;
  }
  if (IsActive() == value) return;
  if (value)
    ActiveBinding();
  else
    ReleaseBindings();
}

bool TIdUDPBase::GetActive() { return loading_ ? loadedActive_ : IsActive(); }

void TIdUDPBase::SetBroadcastEnabled(bool value) {
  if (broadcastEnabled_ == value) return;
  broadcastEnabled_ = value;
  if (IsActive()) ApplyBroadcast();
}

void TIdUDPBase::BeginLoading() {
  loadedActive_ = loading_ ? loadedActive_ : IsActive();
  loading_ = true;
}

void TIdUDPBase::EndLoading() {
  if (!loading_) return;
  loading_ = false;
  SetActive(loadedActive_);
}

void TIdUDPBase::SendText(const std::string& host, int port, const std::string& text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) throw EIdPackageSizeTooBig();
  SendBytes(host, port, text.data(), static_cast<int>(text.size()));
}

void TIdUDPBase::SendBytes(const std::string& host, int port, const void* buffer, int count) {
  // No cache: a host name is looked up again on every send.
  const std::string ip = SocketStack->ResolveToAddress(host);
  ActiveBinding().SendDatagram(ip, port, buffer, count);
}

// ---------------------------------------------------------------- TIdUDPListenerThread

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& owner, int receiveBufferSize)
    : ReceiveBufferSize(receiveBufferSize < 0 ? 0 : receiveBufferSize), OwnerEndpoint(owner) {
  StopMode = TIdThreadStopMode::smTerminate;
}

TIdUDPListenerThread::~TIdUDPListenerThread() {
  // The passes use this object's members: end the thread before they go.
  TerminateAndWaitFor();
}

void TIdUDPListenerThread::Run() {
  TIdSocketHandles& bindings = OwnerEndpoint.bindings_;
  readSet_.clear();
  for (int i = 0; i < bindings.Count(); ++i) readSet_.push_back(bindings[i].Handle());
  // More than 64 bindings raises here and so ends the thread (recorded by TIdThread). The result
  // is not examined: an interrupted or failed wait leaves the set empty.
  SocketStack->SockSelect(&readSet_, nullptr, nullptr, SelectWait);
  for (TIdStackSocketHandle descriptor : readSet_) {
    try {
      ReceiveOne(descriptor);
    } catch (...) {
      // A datagram that cannot be read or delivered, and any exception of OnUDPRead, is
      // dropped here; the next datagram is delivered as usual.
    }
  }
}

void TIdUDPListenerThread::ReceiveOne(TIdStackSocketHandle descriptor) {
  if (Stopped()) return;
  Incoming = OwnerEndpoint.bindings_.FindByDescriptor(descriptor);
  if (!Incoming) return;  // closed in the meantime
  ReceiveBuffer.SetSize(ReceiveBufferSize);
  std::string fromIp;
  int fromPort = 0;
  const int received =
      Incoming->ReceiveDatagram(ReceiveBuffer.Memory(), ReceiveBufferSize, fromIp, fromPort);
  // A failed read is dropped without touching the stack's LastError, which belongs to whichever
  // thread tests results: a datagram longer than the buffer (10040, never delivered cut short)
  // or an error the system queued on the socket, such as 10061 after a port unreachable report.
  if (received < 0) return;
  ReceiveBuffer.SetSize(received);
  ReceiveBuffer.SetPosition(0);
  if (OwnerEndpoint.OnUDPTap &&
      OwnerEndpoint.OnUDPTap(std::string_view(reinterpret_cast<const char*>(ReceiveBuffer.Memory()),
                                              static_cast<size_t>(received)),
                             fromIp, fromPort))
    return;
  Incoming->SetRemote(fromIp, fromPort);
  OwnerEndpoint.Deliver(*this);
}

// ---------------------------------------------------------------- TIdUDPServer

TIdUDPServer::~TIdUDPServer() {
  try {
    ReleaseBindings();
  } catch (...) {
  }
  ReapRetired(true);
}

bool TIdUDPServer::IsActive() {
  TIdSocketHandle* binding = current_.load();
  return binding && binding->HandleAllocated();
}

TIdSocketHandle& TIdUDPServer::ActiveBinding() {
  if (!IsActive()) Activate();
  return *current_.load();
}

void TIdUDPServer::FireUDPRead(TStream& AData, TIdSocketHandle& ABinding) {
  if (OnUDPRead) OnUDPRead(this, AData, ABinding);
}

void TIdUDPServer::Activate() {
  ReapRetired(false);
  // A current binding whose socket was closed behind the endpoint's back: start afresh.
  if (listener_ || current_.load()) ReleaseBindings();
  if (bindings_.Count() == 0) bindings_.Add();
  // A failure leaves the endpoint inactive; the sockets of this attempt stay in their bindings
  // until the next attempt reopens them.
  for (int i = 0; i < bindings_.Count(); ++i) {
    bindings_[i].OpenSocket(Id_SOCK_DGRAM, 0);
    bindings_[i].BindLocal();
  }
  auto listener = std::make_unique<TIdUDPListenerThread>(*this, BufferSize);
  listener->SelectWait = 1000;
  current_ = &bindings_[0];
  listener_ = std::move(listener);
  listener_->Start();
  ApplyBroadcast();
}

void TIdUDPServer::ApplyBroadcast() {
  const int value = GetBroadcastEnabled() ? -1 : 0;
  for (int i = 0; i < bindings_.Count(); ++i)
    if (bindings_[i].HandleAllocated()) bindings_[i].SetOption(TIdSocketOption::Broadcast, value);
}

void TIdUDPServer::ReleaseBindings() {
  // A delivery that runs while this call waits for the receive thread may ask again: the
  // deactivation under way covers it.
  if (deactivating_) return;
  if (!listener_ && !current_.load()) return;
  deactivating_ = true;
  const TScopeExit reset{[this] { deactivating_ = false; }};

  if (listener_) {
    listener_->Stop();
    // Wake the receive thread at once instead of after its wait: a datagram socket shut down
    // for reading becomes readable, and the stopped thread then leaves its pass.
    for (int i = 0; i < bindings_.Count(); ++i)
      if (bindings_[i].HandleAllocated())
        SocketStack->SockShutdown(bindings_[i].Handle(), TIdShutdownHow::Receive);

    const std::thread::id self = std::this_thread::get_id();
    if (listener_->IsCurrentThread() || deliveringOn_.load() == self) {
      // Called from this endpoint's own OnUDPRead: the receive thread waits for this very call
      // to return, so it cannot be waited for here. It ends right after, and is freed later.
      for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].ShutSocket();
      retired_.push_back(std::move(listener_));
    } else {
      // The receive thread may be waiting for a hand-over to the user-interface thread: when
      // that is the caller, run hand-overs while waiting, or neither thread could go on.
      TUiThread* ui = TUiThread::Current();
      if (ui && ui->IsUiThread()) {
        TIdUDPListenerThread* listener = listener_.get();
        ui->WaitServicing([listener] { return listener->Finished(); });
      }
      listener_->WaitFor();
      // Closed only once the thread has ended, so it never reads a descriptor number that the
      // system has handed out again.
      for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].ShutSocket();
      listener_.reset();
      ReapRetired(true);  // not inside a delivery of ours: earlier stopped threads end now
    }
  } else {
    for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].ShutSocket();
  }
  current_ = nullptr;
}

void TIdUDPServer::Deliver(TIdUDPListenerThread& listener) {
  TIdSocketHandle* incoming = listener.Incoming;
  auto call = [this, &listener, incoming] {
    const std::thread::id previous = deliveringOn_.exchange(std::this_thread::get_id());
    const TScopeExit restore{[this, previous] { deliveringOn_ = previous; }};
    current_ = incoming;  // replies leave from the binding that received last
    FireUDPRead(listener.ReceiveBuffer, *incoming);
  };
  TUiThread* ui = TUiThread::Current();
  if (ThreadedEvent || !ui) {
    call();  // without a user-interface thread there is nothing to hand over to
    return;
  }
  // Blocks until the handler has returned; its exception comes back here.
  ui->RunOnUiThread(call);
}

void TIdUDPServer::ReapRetired(bool waitForAll) {
  for (auto it = retired_.begin(); it != retired_.end();) {
    TIdUDPListenerThread* listener = it->get();
    if (!waitForAll && !listener->Finished()) {
      ++it;
      continue;
    }
    TUiThread* ui = TUiThread::Current();
    if (ui && ui->IsUiThread()) ui->WaitServicing([listener] { return listener->Finished(); });
    it = retired_.erase(it);  // waits for the thread to end
  }
}
