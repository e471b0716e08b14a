#include "net/IdIOHandlerBytes.h"

#include <algorithm>
#include <cstring>

void TIdIOHandlerBytes::ConnectLink(const std::string& /*host*/, int /*port*/, const std::string& /*boundIP*/,
                                    int /*boundPort*/, int /*boundPortMin*/, int /*boundPortMax*/, int /*timeout*/) {
  up_ = true;
  ++Links;
}

int TIdIOHandlerBytes::LinkReceive(void* buffer, int size) {
  if (!up_ || size <= 0) return 0;
  size_t n = std::min(static_cast<size_t>(size), incoming_.size() - received_);
  if (pieceSize_ > 0) n = std::min(n, static_cast<size_t>(pieceSize_));
  std::memcpy(buffer, incoming_.data() + received_, n);
  received_ += n;
  return static_cast<int>(n);
}

int TIdIOHandlerBytes::LinkSend(const void* buffer, int count) {
  if (!up_ || count <= 0) return 0;
  Sent.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  return count;
}
