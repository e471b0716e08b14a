#pragma once
// A TCP connection: blocking, buffered reads and writes on the calling thread over an I/O
// handler's link, with the peer-close handling and the status and progress events.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/IdBuffer.h"
#include "net/IdComponent.h"
#include "net/IdIOHandler.h"
#include "net/IdStream.h"

class TIdSocketHandle;

// What ReadLine does with a line that outgrows its limit: raise, or hand back the first part.
enum class TIdMaxLineAction { maException, maSplit };

using TIdNotifyEvent = std::function<void(TIdComponent* Sender)>;

class TIdTCPConnection : public TIdComponent {
 public:
  TIdTCPConnection();
  // Closes the link without any status or event and frees an owned handler.
  ~TIdTCPConnection() override;

  // --- properties ---
  // The link's handler; null until the first Connect (or until one is assigned).
  TIdIOHandler* IOHandler() const { return ioHandler_; }
  // Uses a handler the caller keeps owning; an owned handler is closed and freed first.
  void SetIOHandler(TIdIOHandler* handler);
  int MaxLineLength = 16384;
  TIdMaxLineAction MaxLineAction = TIdMaxLineAction::maException;
  int ReadTimeout = 0;  // ms for reads given the default limit (-1); 0 means no limit
  int RecvBufferSize = 32768;  // bytes per receive call, and per chunk of ReadToStream
  int SendBufferSize = 32768;  // bytes per chunk of WriteFromStream
  TIdNotifyEvent OnDisconnected;

  // --- run-time state ---
  bool LineWasSplit() const { return lineWasSplit_; }  // last ReadLine was cut at its limit
  bool LineTimedOut() const { return lineTimedOut_; }  // last ReadLine ended by its time limit
  bool ClosedGracefully() const { return ClosedFlag; }  // the peer closed the connection
  // Received bytes not yet taken by a read.
  const TIdBuffer& InputBuffer() const { return PendingInput; }
  // The socket of a plain-socket handler (addresses included); null without one.
  TIdSocketHandle* Binding() const;
  // The connected peer's dotted address; empty without a socket.
  std::string RemoteIP() const;

  // --- connection state ---
  virtual void FireDisconnected();
  // Forgets what a previous link left: received bytes and the closed mark.
  virtual void ResetLink();
  // Handles a peer close noticed by a receive or send ("Disconnected.", then OnDisconnected).
  // Returns whether the connection is disconnected; raises EIdConnClosedGracefully then when
  // asked and nothing is buffered (or ignoreBuffer).
  virtual bool CheckDisconnect(bool raiseIfDisconnected = true, bool ignoreBuffer = false);
  // Takes what has arrived within 1 ms and notices a closed peer.
  virtual int PollDisconnect(bool raiseIfDisconnected = true);
  virtual bool IsConnected();
  // Closes the connection: "Disconnecting.", OnDisconnected, "Disconnected."; nothing when
  // not connected.
  virtual void Disconnect();
  // Closes the link without any event.
  virtual void DropLink();

  // --- reading ---
  // One receive into the input buffer, after waiting at most timeout ms (-1: ReadTimeout,
  // -2: no limit). Returns the count received, 0 when the peer closed, -1 on a time-out
  // (or raises EIdReadTimeout when raiseOnTimeout).
  virtual int FillInput(bool raiseIfDisconnected = true, int timeout = -1, bool raiseOnTimeout = true);
  // The bytes before the first terminator (empty: LF; with LF a CR before it is dropped too),
  // which is consumed. A wait for more data longer than timeout gives an empty text and
  // LineTimedOut(), keeping what was received. maxLength -1 means MaxLineLength; 0 no limit.
  virtual std::string ReadLine(const std::string& terminator = "\n", int timeout = -1, int maxLength = -1);
  // Waits until count bytes are buffered, then takes them.
  void ReadExact(void* buffer, int64_t count);
  // Copies count received bytes into the stream at its position, or everything until the peer
  // closes; count < 0 without untilDisconnect reads a 4-byte count first.
  void ReadToStream(TStream* stream, int64_t count = -1, bool untilDisconnect = false);
  int32_t ReadInt32();  // 4 bytes in network order

  // --- writing ---
  virtual void Write(const std::string& text);
  virtual void WriteLine(const std::string& text);  // the text and CR LF
  // Sends count bytes, or appends them to an open write buffer unless now.
  void WriteBytes(const void* buffer, int64_t count, bool now = false);
  void WriteInt32(int32_t value);  // 4 bytes in network order
  // Sends stream content: from the start when all, up to size bytes (0: to the end), with a
  // 4-byte count first when writeCount.
  virtual void WriteFromStream(TStream* stream, bool all = true, bool writeCount = false, int64_t size = 0);

  // --- write buffering ---
  // Collects writes until closed, or until threshold bytes are pending (threshold > 0).
  void OpenWriteBuffer(int threshold = -1);
  void CloseWriteBuffer();  // sends what is pending and stops buffering
  // Sends the first count pending bytes when that many are pending, else all (count -1: all).
  void FlushWriteBuffer(int64_t count = -1);
  void ClearWriteBuffer();   // drops what is pending, keeps buffering
  void CancelWriteBuffer();  // drops what is pending and stops buffering
  bool WriteBufferOpen() const { return PendingWrites.has_value(); }

 protected:
  // A handler exists and its link is up (no peer-close handling).
  bool LinkUp() const { return ioHandler_ && ioHandler_->IsLinkUp(); }
  // Makes a new handler owned by the connection; returns it.
  TIdIOHandler* AdoptHandler(std::unique_ptr<TIdIOHandler> handler);
  // Drops the first count buffered bytes, reporting them as read progress.
  void TakeInput(int64_t count);
  std::string TakeInputText(int64_t count);
  // Receives until count bytes are buffered; a closed peer raises EIdConnClosedGracefully.
  void WaitForInput(int64_t count);
  // After a send or receive failure that ends the connection (aborted, reset, shut down): close
  // it like a peer close, with its events, so the user learns that the link is gone.
  void CloseAfterError();
  void SendNow(const uint8_t* bytes, int64_t count);

  TIdBuffer PendingInput;
  bool ClosedFlag = false;
  bool OwnsHandler = false;
  std::optional<std::vector<uint8_t>> PendingWrites;
  int WriteThreshold = 0;

 private:
  TIdIOHandler* ioHandler_ = nullptr;
  std::unique_ptr<TIdIOHandler> ownedHandler_;  // set while OwnsHandler
  bool lineWasSplit_ = false;
  bool lineTimedOut_ = false;
};
