#pragma once
// One accepted TCP connection on the control port, whatever it turns out to be: its socket,
// its one time-out and the bookkeeping of its end. The first bytes decide which kind takes it
// (Sniffer.h); each kind is a class of its own.
#include <array>
#include <asio.hpp>
#include <memory>
#include <string>

#include "server/ServerContext.h"

class TTcpConnection : public std::enable_shared_from_this<TTcpConnection> {
 public:
  // `id` names the connection in the server's register and, when it is admitted, in its
  // admission register (TAdmission); a refused one is told so and counted apart.
  TTcpConnection(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id,
                 bool admitted, uint32_t peer, uint16_t peerPort, TServerClock::time_point started);
  virtual ~TTcpConnection() = default;
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Begins serving; bytes already read by the connection's former owner come along.
  virtual void Start(std::string alreadyRead) = 0;
  // Ends the connection with one log line that says why; the peer sees the end after it.
  void Close(const std::string& why);
  // Closes it to make room for a newcomer.
  void MakeRoom(const std::string& newcomer) {
    madeRoom_ = true;
    Close("closed to make room for " + newcomer);
  }
  uint32_t Peer() const { return peer_; }
  TConnectionId Id() const { return id_; }
  bool Closed() const { return closed_; }

 protected:
  // The log line of the end: who ("a.b.c.d:port"), how long ("1.2s") and why.
  virtual void LogEnd(const std::string& who, const std::string& duration,
                      const std::string& why) = 0;
  // Stops what the kind runs besides the socket (timers, registrations).
  virtual void StopOwn() {}
  // The one time-out: after ms, OnTimeout(why) unless it is armed again or the connection ends.
  void ArmTimer(int ms, std::string why);
  void ArmTimerAt(TServerClock::time_point when, std::string why);
  // The bytes this connection holds for its peer between reads and writes (queued output, a
  // message or head not yet whole) are now `bytes`; false when that takes the server's total past
  // its ceiling (MaxHeldBytes): the caller cuts the connection off.
  bool Hold(size_t bytes);
  // Asks the admission register to protect the connection's place, or gives that up.
  void Protect(bool want);
  virtual void OnTimeout(const std::string& why) { Close("timed out: " + why); }
  // Waits for bytes, reads them into the server's one read buffer and calls OnRead with them (a
  // connection holds no buffer of its own while it waits); a read error ends the connection.
  void Read();
  virtual void OnRead(std::string_view bytes) = 0;
  // Gives the socket up to another owner, silently: no log line, the peer stays counted.
  asio::ip::tcp::socket Release();

  template <typename T>
  std::shared_ptr<T> SharedAs() {
    return std::static_pointer_cast<T>(shared_from_this());
  }

  TServerContext& ctx_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  const TConnectionId id_;
  const bool admitted_;
  const uint32_t peer_;
  const uint16_t peerPort_;
  const TServerClock::time_point started_;
  bool closed_ = false;
  bool madeRoom_ = false;  // closed to make room
  size_t held_ = 0;        // counted in ctx_.HeldBytes
  uint64_t bytesOut_ = 0;
};
