#include "net/IdIOHandlerSocket.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/UiThread.h"

namespace {

// Looks a name up on a thread of its own while the user-interface thread waits kept alive, so
// that a stop ends the wait at once; a lookup given up on ends by itself. Elsewhere, and for an
// address, the plain lookup.
std::string ResolveKeepingAlive(const std::string& host) {
  if (!TUiThread::WaitingUi() || TIdStack::IsAddressText(host)) return SocketStack->ResolveToAddress(host);
  struct TLookup {
    std::atomic<bool> done{false};
    std::string address;
    std::exception_ptr error;
  };
  auto lookup = std::make_shared<TLookup>();
  std::thread([lookup, host] {
    const TIdComponent keepStackAlive;  // for as long as a lookup given up on still runs
    try {
      lookup->address = SocketStack->ResolveToAddress(host);
    } catch (...) {
      lookup->error = std::current_exception();
    }
    lookup->done.store(true, std::memory_order_release);
  }).detach();
  while (!lookup->done.load(std::memory_order_acquire)) SleepKeepingAlive(TUiThread::kKeepAliveMs);
  if (lookup->error) std::rethrow_exception(lookup->error);
  return lookup->address;
}

}  // namespace

// --- TIdConnectThread ---

TIdConnectThread::~TIdConnectThread() {
  Cancel();
  WaitFor();
}

void TIdConnectThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TIdConnectThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TIdConnectThread::Execute() {
  try {
    if (binding_->ConnectStreamCancellable(&cancelled_) == Id_SOCKET_ERROR) {
      // The plain error read, not CheckResult: the stack's LastError belongs to the caller's thread.
      const int code = SocketStack->LastSocketError();
      // A socket closed under the connect, or a connect given up on, is the caller's decision,
      // not a failure to report.
      const bool closedUnder = code == IdErr::EBADF_ || code == IdErr::ENOTSOCK_;
      const bool givenUp = cancelled_.load() && code == IdErr::EINTR_;
      if (!closedUnder && !givenUp) SocketStack->RaiseError(code);
    }
  } catch (const EIdSocketError& e) {
    Failed = true;
    FailureText = e.what();
    FailureCode = e.SocketErrorCode;
  } catch (const std::exception& e) {
    Failed = true;
    FailureText = e.what();
    FailureCode = 0;
  } catch (...) {
    Failed = true;  // nothing may escape a thread; the caller still learns of the failure
    FailureCode = 0;
  }
  finished_.store(true, std::memory_order_release);
}

// --- TIdIOHandlerSocket ---

TIdIOHandlerSocket::~TIdIOHandlerSocket() { CloseLink(); }

void TIdIOHandlerSocket::OpenLink() {
  // A fresh binding: no socket, no addresses left from an earlier link.
  binding_ = std::make_unique<TIdSocketHandle>();
}

void TIdIOHandlerSocket::CloseLink() {
  if (binding_) binding_->ShutSocket();
}

bool TIdIOHandlerSocket::IsLinkUp() const { return binding_ && binding_->HandleAllocated(); }

bool TIdIOHandlerSocket::LinkReadable(int timeout) {
  if (!binding_) throw EIdConnClosedGracefully();
  return binding_->WaitReadable(timeout);
}

int TIdIOHandlerSocket::LinkReceive(void* buffer, int size) {
  if (!IsLinkUp()) throw EIdClosedSocket();
  return binding_->ReceiveStream(buffer, size);
}

int TIdIOHandlerSocket::LinkSend(const void* buffer, int count) {
  if (!IsLinkUp()) throw EIdClosedSocket();
  return binding_->SendStream(buffer, count);
}

void TIdIOHandlerSocket::ConnectLink(const std::string& host, int port, const std::string& boundIP,
                                     int boundPort, int boundPortMin, int boundPortMax, int timeout) {
  // A port that does not fit the 16 bits of the wire would otherwise be cut silently.
  if (port < 0 || port > 65535) SocketStack->RaiseError(IdErr::EINVAL_);
  if (!binding_) OpenLink();
  binding_->OpenSocket(Id_SOCK_STREAM, 0);
  binding_->IP = boundIP;
  binding_->Port = boundPort;
  binding_->ClientPortMin = boundPortMin;
  binding_->ClientPortMax = boundPortMax;
  binding_->BindLocal();

  if (!TIdStack::IsAddressText(host)) ReportStatus(TIdStatus::hsResolving, host);
  binding_->SetRemote(ResolveKeepingAlive(host), port);
  binding_->SetOption(TIdSocketOption::TcpNoDelay, UseNagle ? 0 : 1);
  ReportStatus(TIdStatus::hsConnecting, binding_->RemoteIP);

  if (timeout != -1 && timeout != 0)
    ConnectWithLimit(timeout);
  else
    SocketStack->CheckResult(binding_->ConnectStream());
}

void TIdIOHandlerSocket::ConnectWithLimit(int timeout) {
  constexpr int kStep = 125;
  TIdConnectThread thread(binding_.get());
  thread.Start();
  // The outcome is looked at only between whole steps, so even an instant connect takes one step.
  int remaining = timeout == -2 ? kStep + 1 : timeout;
  while (remaining > kStep) {
    SleepKeepingAlive(kStep);  // the window stays alive meanwhile
    remaining = timeout == -2 ? kStep + 1 : remaining - kStep;
    if (thread.Finished()) {
      remaining = 0;
      break;
    }
  }
  if (remaining > 0) SleepKeepingAlive(remaining);

  if (!thread.Finished()) {
    // Give up: the pending connect returns promptly once cancelled; only then is the socket
    // closed, so the thread never touches a descriptor that has been closed (and maybe reused).
    thread.Cancel();
    thread.WaitFor();
    CloseLink();
    throw EIdConnectTimeout();
  }
  thread.WaitFor();
  if (thread.Failed) {
    if (thread.FailureCode != 0) throw EIdSocketError(thread.FailureCode, thread.FailureText);
    throw EIdConnectException(thread.FailureText);
  }
}
