#include "server/SipStream.h"

#include <cctype>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

constexpr long long kLargestLength = 1LL << 40;  // far past any bound; keeps the sum exact

}  // namespace

long long SipContentLength(std::string_view head) {
  long long found = -1;
  size_t pos = head.find('\n');  // the request line names no header
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const size_t start = pos + 1;
    const size_t end = head.find('\n', start);
    const std::string_view line = head.substr(start, end == std::string_view::npos ? head.npos : end - start);
    pos = end;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, colon));
    if (!EqualNoCase(name, "content-length") && !EqualNoCase(name, "l")) continue;
    const std::string_view value = Trim(line.substr(colon + 1));
    if (value.empty()) return -2;
    long long n = 0;
    for (char c : value) {
      if (c < '0' || c > '9') return -2;
      n = n * 10 + (c - '0');
      if (n > kLargestLength) return -2;
    }
    if (found >= 0 && found != n) return -2;
    found = n;
  }
  return found;
}

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
