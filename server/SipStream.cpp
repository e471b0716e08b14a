#include "server/SipStream.h"

void TSipStreamFramer::Feed(std::string_view bytes) {
  if (!why_.empty()) return;
  in_.append(bytes);
}

TSipStreamFramer::TNext TSipStreamFramer::Fail(std::string why) {
  why_ = std::move(why);
  in_.clear();
  return TNext::Error;
}

TSipStreamFramer::TNext TSipStreamFramer::Next(std::string& message) {
  if (!why_.empty()) return TNext::Error;
  // Empty lines between messages are keep-alives.
  const size_t first = in_.find_first_not_of("\r\n");
  in_.erase(0, first == std::string::npos ? in_.size() : first);
  const size_t blank = in_.find("\r\n\r\n");
  if (blank == std::string::npos) {
    if (in_.size() > max_) return Fail("a message head longer than " + std::to_string(max_) + " bytes");
    return TNext::Need;
  }
  const size_t headSize = blank + 4;
  const long long length = SipContentLength(std::string_view(in_).substr(0, blank + 2));
  if (length == -2) return Fail("a Content-Length that is not one number");
  const size_t body = length < 0 ? 0 : static_cast<size_t>(length);
  if (headSize + body > max_)
    return Fail("a message of " + std::to_string(headSize + body) + " bytes, more than " + std::to_string(max_));
  if (in_.size() < headSize + body) return TNext::Need;
  message = in_.substr(0, headSize + body);
  in_.erase(0, headSize + body);
  return TNext::Message;
}
