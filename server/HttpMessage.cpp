#include "server/HttpMessage.h"

#include <cctype>

#include "server/MacList.h"

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool HasToken(std::string_view list, std::string_view token) {
  const std::string lower = Lower(list);
  size_t pos = 0;
  while (pos <= lower.size()) {
    size_t comma = lower.find(',', pos);
    if (comma == std::string::npos) comma = lower.size();
    if (Trim(std::string_view(lower).substr(pos, comma - pos)) == token) return true;
    pos = comma + 1;
  }
  return false;
}

}  // namespace

THttpParse ParseHttpRequest(std::string_view buffer, size_t maxHead, THttpRequest& request,
                            size_t* headLength) {
  // Find the empty line that closes the head.
  size_t end = std::string_view::npos;
  size_t lineStart = 0;
  while (true) {
    const size_t lf = buffer.find('\n', lineStart);
    if (lf == std::string_view::npos || lf >= maxHead) break;
    const size_t contentEnd = (lf > lineStart && buffer[lf - 1] == '\r') ? lf - 1 : lf;
    if (contentEnd == lineStart && lineStart > 0) {
      end = lf + 1;
      break;
    }
    lineStart = lf + 1;
  }
  if (end == std::string_view::npos) {
    return buffer.size() >= maxHead ? THttpParse::TooLarge : THttpParse::Incomplete;
  }
  *headLength = end;

  request = THttpRequest{};
  bool connectionClose = false, connectionKeepAlive = false;
  size_t pos = 0;
  bool first = true;
  while (pos < end) {
    size_t lf = buffer.find('\n', pos);
    std::string_view line = buffer.substr(pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (first) continue;  // stray line ends ahead of a request are skipped
      break;
    }
    if (first) {
      first = false;
      const size_t sp1 = line.find(' ');
      const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
      if (sp1 == std::string_view::npos || sp2 == std::string_view::npos || sp1 == 0)
        return THttpParse::Bad;
      const std::string_view version = line.substr(sp2 + 1);
      if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." ||
          !std::isdigit(static_cast<unsigned char>(version[7])))
        return THttpParse::Bad;
      request.Method = std::string(line.substr(0, sp1));
      std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
      if (target.substr(0, 7) == "http://") {
        const size_t slash = target.find('/', 7);
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
      }
      target = target.substr(0, target.find_first_of("?#"));
      if (target.empty() || target.front() != '/') return THttpParse::Bad;
      request.Target = std::string(target);
      request.Minor = version[7] - '0';
      continue;
    }
    if (line.front() == ' ' || line.front() == '\t') continue;  // folded continuation
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return THttpParse::Bad;
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == "connection") {
      connectionClose = connectionClose || HasToken(value, "close");
      connectionKeepAlive = connectionKeepAlive || HasToken(value, "keep-alive");
    } else if (name == "content-length") {
      if (value.empty() || value.find_first_not_of('0') != std::string_view::npos)
        request.HasBody = true;
    } else if (name == "transfer-encoding") {
      request.HasBody = true;
    }
  }
  if (first) return THttpParse::Bad;
  request.KeepAlive = request.Minor >= 1 ? !connectionClose : connectionKeepAlive && !connectionClose;
  return THttpParse::Complete;
}

std::string HttpResponseHead(int status, std::string_view reason, std::string_view contentType,
                             size_t contentLength, std::optional<std::time_t> lastModified,
                             bool keepAlive, int requestMinor, std::time_t now) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  head += "Date: " + HttpDate(now) + "\r\n";
  head += "Server: sip-alg-echo-server\r\n";
  if (lastModified) head += "Last-Modified: " + HttpDate(*lastModified) + "\r\n";
  head += "Content-Type: " + std::string(contentType) + "\r\n";
  head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  if (!keepAlive)
    head += "Connection: close\r\n";
  else if (requestMinor == 0)
    head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
}
