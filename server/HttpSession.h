#pragma once
// A connection that speaks HTTP: the vendor list at /download/MAC.CSV, 404 elsewhere.
#include "server/TcpConnection.h"

class THttpSession : public TTcpConnection {
 public:
  THttpSession(TServerContext& ctx, asio::ip::tcp::socket socket, TConnectionId id, bool admitted,
               uint32_t peer, uint16_t peerPort, TServerClock::time_point started);
  void Start(std::string alreadyRead) override;

 private:
  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  // Answers the next complete request, or reads on.
  void Serve();
  // The time-out of one wait, within the connection's bounded life.
  void ArmWithinLife(int ms, const char* why);

  THttpCore core_;
  int requests_ = 0;
  std::string requestLog_;
  bool awaitingHead_ = false;  // the time-out for the next request head runs
  bool answered_ = false;      // a request had a good answer
};
