#include "server/SipParse.h"

#include <cctype>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Calls f(line) for every line of the text (LF-ended, a CR before the LF dropped) until it
// returns true or the header block ends (an empty line). Gives the rest after the empty line
// to *body when asked.
template <typename F>
bool ForEachHeaderLine(std::string_view text, F f, std::string_view* body = nullptr) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    const size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = next;
    if (line.empty()) {
      if (body) *body = text.substr(pos);
      return false;
    }
    if (f(line)) return true;
  }
  return false;
}

// The value of a header line named `name` or `compact`; nothing for other lines.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name,
                                            std::string_view compact) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view field = Trim(line.substr(0, colon));
  if (!EqualNoCase(field, name) && !EqualNoCase(field, compact)) return std::nullopt;
  return Trim(line.substr(colon + 1));
}

}  // namespace

std::string CallIdToken(std::string_view datagram) {
  std::string token;
  ForEachHeaderLine(datagram, [&](std::string_view line) {
    const auto value = HeaderValue(line, "call-id", "i");
    if (!value) return false;
    token = std::string(Trim(value->substr(0, value->find('@'))));
    return true;
  });
  return token;
}

bool IsNatTestInvite(std::string_view datagram) {
  if (datagram.substr(0, 7) != "INVITE ") return false;
  bool natTest = false;
  ForEachHeaderLine(datagram, [&](std::string_view line) {
    const auto value = HeaderValue(line, "to", "t");
    if (!value) return false;
    // The user part of the first sip: or sips: URI.
    std::string lower(*value);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t start = lower.find("sip:");
    if (start != std::string::npos) {
      start += 4;
    } else if ((start = lower.find("sips:")) != std::string::npos) {
      start += 5;
    } else {
      return true;
    }
    const size_t end = value->find_first_of("@;>", start);
    if (end != std::string_view::npos && (*value)[end] == '@')
      natTest = value->substr(start, end - start) == "check_nat_timeout";
    return true;
  });
  return natTest;
}

std::optional<unsigned short> SdpAudioPort(std::string_view datagram) {
  std::string_view body;
  ForEachHeaderLine(datagram, [](std::string_view) { return false; }, &body);
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find('\n', pos);
    if (end == std::string_view::npos) end = body.size();
    std::string_view line = Trim(body.substr(pos, end - pos));
    pos = end + 1;
    if (line.substr(0, 8) != "m=audio ") continue;
    line.remove_prefix(8);
    unsigned long port = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 6 && line[digits] >= '0' && line[digits] <= '9')
      port = port * 10 + static_cast<unsigned long>(line[digits++] - '0');
    const bool ended = digits == line.size() || line[digits] == ' ' || line[digits] == '/';
    if (digits == 0 || !ended || port == 0 || port > 65535) return std::nullopt;
    return static_cast<unsigned short>(port);
  }
  return std::nullopt;
}

long long SipContentLength(std::string_view head) {
  constexpr long long kLargestLength = 1LL << 40;  // far past any bound; keeps the sum exact
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
