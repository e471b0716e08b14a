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

// A connection the server refused because it is full: its first bytes are read as the sniffer
// reads them, and a greeting is told that the server is busy (BusyAnswer), an HTTP request gets
// 503; then the connection is closed once the peer has closed too, or after a short wait.
class TRefusal : public TTcpConnection {
 public:
  using TTcpConnection::TTcpConnection;
  void Start(std::string alreadyRead) override;

 private:
  void OnRead(std::string_view bytes) override;
  void LogEnd(const std::string& who, const std::string& duration,
              const std::string& why) override;
  void Answer(std::string answer, const char* what);
  std::string in_;
  bool answered_ = false;
  std::string told_;  // what the answer said, for the log
};
