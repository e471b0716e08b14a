#include "net/IdTCPConnection.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdStack.h"
#include "net/ScopeExit.h"

namespace {
// Receive and chunk sizes of 0 or less would read nothing and look like a closed peer.
int Positive(int size) { return size > 0 ? size : 32768; }

// Index of the first occurrence of needle in hay at or after from; -1 when there is none.
// memchr finds the candidates for the first byte, which keeps short-line reading fast.
int64_t FindBytes(const uint8_t* hay, int64_t size, const std::string& needle, int64_t from) {
  const auto m = static_cast<int64_t>(needle.size());
  const auto first = static_cast<uint8_t>(needle[0]);
  while (from + m <= size) {
    const void* hit = std::memchr(hay + from, first, static_cast<size_t>(size - m + 1 - from));
    if (hit == nullptr) return -1;
    const int64_t at = static_cast<const uint8_t*>(hit) - hay;
    int64_t k = 1;  // terminators are short: compare in place rather than call memcmp
    while (k < m && hay[at + k] == static_cast<uint8_t>(needle[static_cast<size_t>(k)])) ++k;
    if (k == m) return at;
    from = at + 1;
  }
  return -1;
}
}  // namespace

TIdTCPConnection::TIdTCPConnection() = default;

TIdTCPConnection::~TIdTCPConnection() {
  // No status, no event: the owner is going away.
  if (ioHandler_) ioHandler_->CloseLink();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
  if (handler == ioHandler_) return;
  if (OwnsHandler) {
    ownedHandler_->CloseLink();
    ownedHandler_.reset();
    OwnsHandler = false;
  }
  ioHandler_ = handler;
}

TIdIOHandler* TIdTCPConnection::AdoptHandler(std::unique_ptr<TIdIOHandler> handler) {
  ownedHandler_ = std::move(handler);
  ioHandler_ = ownedHandler_.get();
  OwnsHandler = true;
  return ioHandler_;
}

TIdSocketHandle* TIdTCPConnection::Binding() const {
  auto* socket = dynamic_cast<TIdIOHandlerSocket*>(ioHandler_);
  return socket ? socket->Binding() : nullptr;
}

std::string TIdTCPConnection::RemoteIP() const {
  TIdSocketHandle* b = Binding();
  return b ? b->RemoteIP : std::string();
}

// --- connection state ---

void TIdTCPConnection::FireDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::ResetLink() {
  PendingInput.Clear();
  ClosedFlag = false;
}

void TIdTCPConnection::DropLink() {
  if (ioHandler_) ioHandler_->CloseLink();
}

bool TIdTCPConnection::CheckDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) {
  if (!ioHandler_) return false;
  bool disconnected;
  if (ClosedFlag) {
    if (ioHandler_->IsLinkUp()) {
      // A peer close: the reverse order of a Disconnect of our own.
      DropLink();
      ReportStatus(TIdStatus::hsDisconnected);
      FireDisconnected();
    }
    disconnected = true;
  } else {
    disconnected = !LinkUp();
  }
  if (disconnected && raiseIfDisconnected && (PendingInput.Empty() || ignoreBuffer))
    throw EIdConnClosedGracefully();
  return disconnected;
}

void TIdTCPConnection::CloseAfterError() {
  ClosedFlag = true;
  CheckDisconnect(false, false);
}

int TIdTCPConnection::PollDisconnect(bool raiseIfDisconnected) { return FillInput(raiseIfDisconnected, 1, false); }

bool TIdTCPConnection::IsConnected() {
  CheckDisconnect(false, false);
  return LinkUp();
}

void TIdTCPConnection::Disconnect() {
  const bool wasConnected = IsConnected();
  if (wasConnected) {
    ReportStatus(TIdStatus::hsDisconnecting);
    DropLink();
  }
  if (OwnsHandler) {
    ioHandler_ = nullptr;
    ownedHandler_.reset();
    OwnsHandler = false;
  }
  if (wasConnected) {
    FireDisconnected();
    ReportStatus(TIdStatus::hsDisconnected);
  }
}

// --- reading ---

int TIdTCPConnection::FillInput(bool raiseIfDisconnected, int timeout, bool raiseOnTimeout) {
  if (timeout == -1) timeout = ReadTimeout == 0 ? -2 : ReadTimeout;
  CheckDisconnect(raiseIfDisconnected, false);
  if (!LinkUp()) {
    if (raiseIfDisconnected) throw EIdNotConnected();
    return 0;
  }
  int count = 0;
  do {
    if (!ioHandler_->LinkReadable(timeout)) {
      if (raiseOnTimeout) throw EIdReadTimeout();
      return -1;
    }
    if (!ioHandler_) {  // an event handler dropped it meanwhile
      if (raiseIfDisconnected) throw EIdNotConnected();
      return 0;
    }
    // The receive lands in the free tail of the input buffer: no copy on the way.
    const int size = Positive(RecvBufferSize);
    count = ioHandler_->LinkReceive(PendingInput.Reserve(size), size);
    ClosedFlag = count == 0;
    if (count == Id_SOCKET_ERROR) {
      if (SocketStack->CheckResult(count, {IdErr::ESHUTDOWN_, IdErr::ECONNABORTED_, IdErr::ECONNRESET_})) {
        const int code = SocketStack->LastSocketError();  // this thread's, not another's test
        CloseAfterError();
        // Bytes already received are still handed out; the next read then meets the close.
        if (PendingInput.Empty()) SocketStack->RaiseError(code);
        count = 0;
      }
    }
    if (count > 0) PendingInput.Commit(count);
    CheckDisconnect(raiseIfDisconnected, false);
  } while (count == 0 && LinkUp());
  return count;
}

void TIdTCPConnection::TakeInput(int64_t count) {
  PendingInput.Remove(count);
  Progress(TWorkMode::wmRead, count);
}

std::string TIdTCPConnection::TakeInputText(int64_t count) {
  std::string out = PendingInput.Extract(count);
  Progress(TWorkMode::wmRead, count);
  return out;
}

std::string TIdTCPConnection::ReadLine(const std::string& terminator, int timeout, int maxLength) {
  static const std::string kLF = "\n";
  const std::string& term = terminator.empty() ? kLF : terminator;
  const int64_t termLen = static_cast<int64_t>(term.size());
  const int64_t limit = maxLength < 0 ? MaxLineLength : maxLength;
  lineWasSplit_ = false;
  lineTimedOut_ = false;
  // Bytes at the front of the buffer already searched in vain during this call. A terminator
  // may begin in their last termLen - 1 bytes, so those are searched again.
  int64_t searched = 0;
  for (;;) {
    int64_t found = -1;
    if (!PendingInput.Empty()) {
      const int64_t from = std::max<int64_t>(0, searched - (termLen - 1));
      found = FindBytes(PendingInput.Data(), PendingInput.Size(), term, from);
      if (found < 0) searched = PendingInput.Size();
    }
    const int64_t lineLength = found >= 0 ? found : PendingInput.Size();
    if (limit != 0 && lineLength > limit) {
      if (MaxLineAction == TIdMaxLineAction::maException) throw EIdReadLnMaxLineLengthExceeded();
      lineWasSplit_ = true;
      return TakeInputText(limit);
    }
    if (found < 0) {
      CheckDisconnect(true, true);  // a closed peer ends the line even with bytes buffered
      if (FillInput(true, timeout, timeout == -1) == -1) {
        lineTimedOut_ = true;
        return std::string();
      }
      continue;
    }
    std::string line = TakeInputText(found + termLen);
    line.resize(static_cast<size_t>(found));
    if (term == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
}

void TIdTCPConnection::WaitForInput(int64_t count) {
  while (PendingInput.Size() < count) {
    CheckDisconnect(true, true);
    FillInput(true, -1, true);
  }
}

void TIdTCPConnection::ReadExact(void* buffer, int64_t count) {
  if (count <= 0) return;
  WaitForInput(count);
  std::memcpy(buffer, PendingInput.Data(), static_cast<size_t>(count));
  TakeInput(count);
}

int32_t TIdTCPConnection::ReadInt32() {
  uint8_t b[4];
  ReadExact(b, 4);
  return static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]);
}

void TIdTCPConnection::ReadToStream(TStream* stream, int64_t count, bool untilDisconnect) {
  if (count < 0 && !untilDisconnect) count = ReadInt32();
  if (count >= 0) {
    // Room for the whole transfer at once; the position stays where the data goes.
    const int64_t pos = stream->Position();
    if (stream->Size() < pos + count) stream->SetSize(pos + count);
    stream->SetPosition(pos);
  }
  int64_t remaining = untilDisconnect ? INT64_MAX : count;
  BeginProgress(TWorkMode::wmRead, untilDisconnect ? 0 : count);
  const TScopeExit finish{[&] {
    EndProgress(TWorkMode::wmRead);
    // A pre-sized stream that got less than announced keeps only what arrived.
    if (stream->Size() > stream->Position()) stream->SetSize(stream->Position());
  }};
  // Writes the first n buffered bytes into the stream and takes them.
  auto moveOut = [&](int64_t n) {
    if (n <= 0) return;
    stream->Write(PendingInput.Data(), n);
    TakeInput(n);
  };
  const int64_t first = std::min(PendingInput.Size(), remaining);
  moveOut(first);
  remaining -= first;
  const int64_t chunk = std::min<int64_t>(remaining, Positive(RecvBufferSize));
  while (remaining > 0) {
    const int64_t n = std::min(remaining, chunk);
    try {
      // The bytes of this piece go to the stream, all n of them, or what came before the wait
      // failed.
      const TScopeExit takeArrived{[&] { moveOut(std::min(n, PendingInput.Size())); }};
      WaitForInput(n);
    } catch (const EIdConnClosedGracefully&) {
      if (untilDisconnect) break;
      throw;
    }
    remaining -= n;
  }
}

// --- writing ---

void TIdTCPConnection::SendNow(const uint8_t* bytes, int64_t count) {
  while (count > 0) {
    if (!ioHandler_) throw EIdNotConnected();  // an event handler dropped it meanwhile
    const int n = static_cast<int>(std::min<int64_t>(count, INT_MAX / 2));
    const int sent = ioHandler_->LinkSend(bytes, n);
    ClosedFlag = sent == 0;
    CheckDisconnect(true, false);
    if (sent == Id_SOCKET_ERROR) {
      if (SocketStack->CheckResult(sent, {IdErr::ESHUTDOWN_, IdErr::ECONNABORTED_, IdErr::ECONNRESET_})) {
        const int code = SocketStack->LastSocketError();  // this thread's, not another's test
        CloseAfterError();
        SocketStack->RaiseError(code);
      }
    }
    Progress(TWorkMode::wmWrite, sent);
    bytes += sent;
    count -= sent;
  }
}

void TIdTCPConnection::WriteBytes(const void* buffer, int64_t count, bool now) {
  if (count <= 0) return;
  CheckDisconnect(true, true);
  if (!IsConnected()) throw EIdNotConnected();
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (!now && PendingWrites) {
    PendingWrites->insert(PendingWrites->end(), bytes, bytes + count);
    if (WriteThreshold > 0 && static_cast<int64_t>(PendingWrites->size()) >= WriteThreshold)
      FlushWriteBuffer(WriteThreshold);
    return;
  }
  SendNow(bytes, count);
}

void TIdTCPConnection::Write(const std::string& text) { WriteBytes(text.data(), static_cast<int64_t>(text.size()), false); }

void TIdTCPConnection::WriteLine(const std::string& text) { Write(text + "\r\n"); }

void TIdTCPConnection::WriteInt32(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
  WriteBytes(b, 4, false);
}

void TIdTCPConnection::WriteFromStream(TStream* stream, bool all, bool writeCount, int64_t size) {
  if (all) stream->SetPosition(0);
  int64_t pos = stream->Position();
  const int64_t end = size == 0 ? stream->Size() : pos + size;
  if (writeCount) WriteInt32(static_cast<int32_t>(end - pos));
  BeginProgress(TWorkMode::wmWrite, end - pos);
  const TScopeExit endProgress{[this] { EndProgress(TWorkMode::wmWrite); }};
  std::vector<uint8_t> chunk(static_cast<size_t>(std::max<int64_t>(0, std::min<int64_t>(Positive(SendBufferSize), end - pos))));
  while (pos < end) {
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(chunk.size()), end - pos);
    const int64_t got = stream->Read(chunk.data(), want);
    if (got <= 0) throw EIdNoDataToRead();
    WriteBytes(chunk.data(), got, false);
    pos += got;
  }
}

// --- write buffering ---

void TIdTCPConnection::OpenWriteBuffer(int threshold) {
  if (PendingWrites)
    PendingWrites->clear();
  else
    PendingWrites.emplace();
  WriteThreshold = threshold;
}

void TIdTCPConnection::FlushWriteBuffer(int64_t count) {
  if (!PendingWrites || PendingWrites->empty()) return;
  const int64_t pending = static_cast<int64_t>(PendingWrites->size());
  const int64_t n = count != -1 && pending >= count ? std::max<int64_t>(count, 0) : pending;
  // Sent from a private copy: an event handler may write (and so append) meanwhile.
  const std::vector<uint8_t> out(PendingWrites->begin(), PendingWrites->begin() + n);
  WriteBytes(out.data(), n, true);
  if (PendingWrites) PendingWrites->erase(PendingWrites->begin(), PendingWrites->begin() + std::min<int64_t>(n, static_cast<int64_t>(PendingWrites->size())));
}

void TIdTCPConnection::CloseWriteBuffer() {
  const TScopeExit close{[this] { PendingWrites.reset(); }};
  FlushWriteBuffer(-1);
}

void TIdTCPConnection::ClearWriteBuffer() {
  if (PendingWrites) PendingWrites->clear();
}

void TIdTCPConnection::CancelWriteBuffer() { PendingWrites.reset(); }
