#pragma once
// A link without a socket: the peer's bytes are a fixed text, handed out in pieces of at most
// pieceSize bytes per receive; once they are used up the peer has closed, or (closeAtEnd
// false) stays silent, so that every wait for more runs out at once. What the connection sends
// is kept. A new link goes on with the bytes not yet received, so a client that opens a
// connection per request reads the next answer. It lets the readers of a TCP connection (the
// HTTP client above all) run on bytes alone.
#include <cstddef>
#include <string>
#include <utility>

#include "net/IdIOHandler.h"

class TIdIOHandlerBytes : public TIdIOHandler {
 public:
  // pieceSize 0 or less: as much as each receive asks for.
  explicit TIdIOHandlerBytes(std::string incoming, int pieceSize = 0, bool closeAtEnd = true)
      : incoming_(std::move(incoming)), pieceSize_(pieceSize), closeAtEnd_(closeAtEnd) {}

  std::string Sent;  // every byte the connection sent, over all its links
  int Links = 0;     // links opened so far
  size_t Received() const { return received_; }  // bytes handed out so far

  void CloseLink() override { up_ = false; }
  void ConnectLink(const std::string& host, int port, const std::string& boundIP, int boundPort, int boundPortMin,
                   int boundPortMax, int timeout) override;
  bool IsLinkUp() const override { return up_; }
  // Bytes or the close at once; a silent peer's wait runs out at once.
  bool LinkReadable(int /*timeout*/) override { return received_ < incoming_.size() || closeAtEnd_; }
  int LinkReceive(void* buffer, int size) override;
  int LinkSend(const void* buffer, int count) override;

 private:
  std::string incoming_;
  size_t received_ = 0;
  int pieceSize_;
  bool closeAtEnd_;
  bool up_ = false;
};
