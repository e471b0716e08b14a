#pragma once
// A connection whose kind is not known yet: its first bytes decide whether a control session
// or the HTTP side takes the socket; anything else is closed.
#include "server/TcpConnection.h"

class TSniffer : public TTcpConnection {
 public:
  using TTcpConnection::TTcpConnection;
  void Start(std::string alreadyRead) override;

 private:
  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  std::string in_;  // the first bytes, at most as many as the longest opening
};
