#pragma once
// A connection whose kind is not known yet: its first bytes decide whether a control session
// or the HTTP side takes the socket; anything else is closed. A connection the server refused
// (it is full) is read the same way and then told so: a greeting gets BusyAnswer, an HTTP
// request 503; it is closed once the peer has closed too, or after a short wait.
#include "server/TcpConnection.h"

class TSniffer : public TTcpConnection {
 public:
  using TTcpConnection::TTcpConnection;
  void Start(std::string alreadyRead) override;

 private:
  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  // The refused connection's answer.
  void Answer(std::string answer, const char* what);
  std::string in_;  // the first bytes, at most as many as the longest opening
  const char* told_ = nullptr;  // what a refused connection was told, once it was
};
