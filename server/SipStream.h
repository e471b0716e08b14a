#pragma once
// SIP messages over a TCP connection: one after another on the stream, each a head ended by an
// empty line and as many body bytes as its Content-Length names (none without one). A message
// may come in pieces, several may come in one piece. Bounded: a message longer than the bound,
// or a Content-Length that is not one number, ends the stream.
#include <cstddef>
#include <string>
#include <string_view>

#include "server/SipParse.h"  // SipContentLength

// The longest SIP message taken over TCP, head and body.
constexpr size_t kMaxSipTcpMessage = 8192;

class TSipStreamFramer {
 public:
  enum class TNext { Need, Message, Error };

  explicit TSipStreamFramer(size_t maxMessage = kMaxSipTcpMessage) : max_(maxMessage) {}
  // Takes bytes as they came. Past an error, nothing more is kept. The caller takes the messages
  // (Next) after each piece, so that no more than a message and a piece wait here.
  void Feed(std::string_view bytes);
  // The next complete message, moved into `message`; Need while it is incomplete; Error once the
  // stream cannot be framed (Why says how), for good.
  TNext Next(std::string& message);
  const std::string& Why() const { return why_; }
  size_t Buffered() const { return in_.size(); }

 private:
  TNext Fail(std::string why);
  size_t max_;
  std::string in_;
  std::string why_;
};
