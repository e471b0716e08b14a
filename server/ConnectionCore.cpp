#include "server/ConnectionCore.h"

#include "app/XorUnit.h"
#include "server/HttpMessage.h"

namespace {

constexpr char kGreetingBytes[] = {'G', 'E', 'T', ' ', '5', '0', '6', '0', '\0'};
const char kMacListPath[] = "/download/MAC.CSV";

}  // namespace

const std::string_view kControlGreeting(kGreetingBytes, sizeof kGreetingBytes);
const std::string_view kBusyNotice = "busy";
const char kMacListContentType[] = "text/csv; charset=iso-8859-1";

TConnectionKind SniffConnection(std::string_view in) {
  auto startsWith = [&](std::string_view p) { return in.substr(0, p.size()) == p; };
  auto isPrefixOf = [&](std::string_view p) {
    return in.size() < p.size() && p.substr(0, in.size()) == in;
  };
  if (startsWith("HEAD ") || startsWith("GET /")) return TConnectionKind::Http;
  if (startsWith(kControlGreeting)) return TConnectionKind::Control;
  if (isPrefixOf("HEAD ") || isPrefixOf("GET /") || isPrefixOf(kControlGreeting))
    return TConnectionKind::Undecided;
  return TConnectionKind::Unknown;
}

std::string GreetingAnswer(std::string_view token) {
  std::string answer(token);
  answer.append("@5060").push_back('\0');
  return Scramble(answer);
}

std::string BusyAnswer() { return GreetingAnswer("") + TextFrame(kBusyNotice); }

std::string HttpBusyAnswer(std::time_t now) {
  const std::string body = "503 Service Unavailable\r\n";
  std::string head = HttpResponseHead(503, "Service Unavailable", "text/plain; charset=utf-8",
                                      body.size(), std::nullopt, false, 1, now);
  head.insert(head.size() - 2, "Retry-After: 120\r\n");
  return head + body;
}

std::string EchoFrame(std::string_view datagram, unsigned serverPort, std::string_view sender,
                      bool matchedByToken, bool overTcp) {
  std::string_view text = datagram.substr(0, datagram.find('\0'));
  std::string line = "Received " + std::to_string(datagram.size()) + " bytes on " +
                     (overTcp ? "TCP" : "UDP") + " port " +
                     std::to_string(serverPort) + " from " + std::string(sender);
  if (!matchedByToken) line += " (Call-ID not recognised, matched by address)";
  if (text.size() != datagram.size()) line += " (cut at a zero byte)";
  if (text.size() > kMaxEchoText) {
    text = text.substr(0, kMaxEchoText);
    line += " (echo cut at " + std::to_string(kMaxEchoText) + " bytes)";
  }
  std::string frame;
  frame.reserve(line.size() + text.size() + 3);
  frame.append(line).append("\r\n").append(text).push_back('\0');
  return Scramble(frame);
}

std::string TextFrame(std::string_view text) {
  std::string frame(text);
  frame.push_back('\0');
  return Scramble(frame);
}

std::string NatReportText(long long sentAfterMs, std::optional<int> nextMs) {
  std::string text = "Sent after " + std::to_string(sentAfterMs) + " ";
  if (nextMs) text += "Next pkt after " + std::to_string(*nextMs) + " ";
  return text;
}

std::optional<THttpAnswer> THttpCore::Next(std::time_t now) {
  if (ended_) return std::nullopt;
  THttpRequest request;
  size_t headLength = 0;
  switch (ParseHttpRequest(in_, maxHead_, request, &headLength)) {
    case THttpParse::Incomplete:
      return std::nullopt;
    case THttpParse::TooLarge:
      return Answer(431, "Request Header Fields Too Large", "GET", 1, false,
                    "too large request head", now);
    case THttpParse::Bad:
      return Answer(400, "Bad Request", "GET", 1, false, "bad request", now);
    case THttpParse::Complete:
      break;
  }
  in_.erase(0, headLength);
  const bool keepAlive = request.KeepAlive && !request.HasBody;
  if (request.Method != "GET" && request.Method != "HEAD")
    return Answer(405, "Method Not Allowed", request.Method, request.Minor, keepAlive,
                  Printable(request.Method, 16) + " " + Printable(request.Target), now);
  const bool found = request.Target == kMacListPath && list_.Body;
  return Answer(found ? 200 : 404, found ? "OK" : "Not Found", request.Method, request.Minor,
                keepAlive, request.Method + " " + Printable(request.Target), now);
}

THttpAnswer THttpCore::Answer(int status, const char* reason, std::string_view method,
                              int minor, bool keepAlive, std::string what, std::time_t now) {
  THttpAnswer a;
  std::optional<std::time_t> lastModified;
  const char* type = "text/plain; charset=utf-8";
  if (status == 200) {
    a.Body = list_.Body;
    lastModified = list_.LastModified;
    type = kMacListContentType;
  } else {
    a.Body = std::make_shared<const std::string>(std::to_string(status) + " " + reason + "\r\n");
  }
  a.Head = HttpResponseHead(status, reason, type, a.Body->size(), lastModified, keepAlive, minor,
                            now);
  if (method == "HEAD") a.Body.reset();
  a.CloseAfter = !keepAlive;
  a.Status = status;
  a.What = std::move(what) + " " + std::to_string(status);
  ended_ = a.CloseAfter;
  return a;
}

std::string Printable(std::string_view text, size_t max) {
  std::string out;
  for (char c : text.substr(0, max)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (text.size() > max) out += "...";
  return out;
}
