#include "probes/LargeSip.h"

#include "probes/SipProbe.h"

namespace {

const std::string kCrLf = "\r\n";
constexpr int kLoggedPairs = 8;  // Sent/Rcvd pairs logged per message; the rest are counted

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t end = text.find(kCrLf); end != std::string::npos; end = text.find(kCrLf, from)) {
    lines.push_back(text.substr(from, end - from));
    from = end + 2;
  }
  if (from < text.size()) lines.push_back(text.substr(from));  // a last line without its end
  return lines;
}

std::string Plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

const char* LargeResultName(TLargeResult result) {
  switch (result) {
    case TLargeResult::Arrived: return "arrived";
    case TLargeResult::Changed: return "changed";
    case TLargeResult::Lost: return "lost";
    case TLargeResult::NotTested: break;
  }
  return "";
}

const TLargeSize* TLargeWay::Deciding() const {
  for (auto it = Sizes.rbegin(); it != Sizes.rend(); ++it)
    if (it->Result != TLargeResult::NotTested) return &*it;
  return Sizes.empty() ? nullptr : &Sizes.back();
}

const TLargePort* TLargeSipReport::UdpOn(int port) const {
  for (const TLargePort& p : Udp)
    if (p.Port == port) return &p;
  return nullptr;
}

std::string BuildLargeInvite(const std::string& token, int remotePort, const std::string& localIp, int localPort,
                             int audioPort, int bytes, bool overTcp) {
  const std::string size = std::to_string(bytes), port = std::to_string(localPort);
  const std::string transport = overTcp ? "TCP" : "UDP";
  const std::string head =
      "INVITE sip:large-" + size + "@" + SipDomain + ":" + std::to_string(remotePort) + " SIP/2.0\r\n"
      "Via: SIP/2.0/" + transport + " " + localIp + ":" + port + ";branch=z9hG4bK1694065387;rport\r\n"
      "From: \"Velmor\" <sip:421421@" + SipDomain + ">;tag=477211674\r\n"
      "To: <sip:large-" + size + "@" + SipDomain + ">\r\n"
      "Call-ID:" + token + "@" + localIp + "\r\n"
      "Contact: <sip:421421@" + localIp + ":" + port + ";transport=" + (overTcp ? "tcp" : "udp") + ">\r\n"
      "CSeq: 1 INVITE\r\n"
      "Max-Forwards: 70\r\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, MESSAGE, SUBSCRIBE, INFO, UPDATE, PRACK\r\n"
      "Supported: replaces, timer, 100rel, outbound\r\n"
      "Session-Expires: 1800\r\n"
      "User-Agent: NAT SIP ALG tester large INVITE\r\n"
      "Content-Type: application/sdp\r\n";
  // The body fills what the head leaves; Content-Length's own digits count too.
  for (size_t digits = 1; digits <= 5; ++digits) {
    const size_t headBytes = head.size() + std::string("Content-Length: \r\n\r\n").size() + digits;
    if (static_cast<size_t>(bytes) <= headBytes) break;
    const size_t body = static_cast<size_t>(bytes) - headBytes;
    if (std::to_string(body).size() != digits) continue;
    unsigned seed = static_cast<unsigned>(bytes + localPort);
    for (char c : token) seed = seed * 31u + static_cast<unsigned char>(c);
    const std::string sdp = large_sip::LargeSdp(localIp, audioPort, seed, body);
    return head + "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  }
  const std::string sdp = large_sip::LargeSdp(localIp, audioPort, 0, 0);  // as small as it gets
  return head + "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

TLargeCompare CompareLarge(const std::string& sent, const std::string& received, const std::string& what,
                           const TLargeLog& log) {
  TLargeCompare c;
  c.Cut = received.size() < sent.size() && sent.compare(0, received.size(), received) == 0;
  const std::vector<std::string> s = Lines(sent), r = Lines(received);
  int logged = 0;
  for (size_t i = 0; i < s.size() || i < r.size(); ++i) {
    const std::string& a = i < s.size() ? s[i] : std::string();
    const std::string& b = i < r.size() ? r[i] : std::string();
    if (i < s.size() && i < r.size() && a == b) continue;
    ++c.Changed;
    if (++logged > kLoggedPairs) continue;
    log(what + " line " + std::to_string(i + 1) + " Sent:" + a);
    log(what + " line " + std::to_string(i + 1) + " Rcvd:" + b);
  }
  if (logged > kLoggedPairs)
    log(what + ": " + std::to_string(logged - kLoggedPairs) + " more changed lines not shown");
  if (c.Changed == 0) log(what + " check:    OK (" + std::to_string(s.size()) + " lines)");
  return c;
}

TLargeSize LargeVerdict(int bytes, const std::string& sent, const std::optional<std::string>& received,
                        const std::string& what, const TLargeLog& log) {
  TLargeSize v;
  v.Bytes = bytes;
  if (!received) {
    v.Result = TLargeResult::Lost;
    return v;
  }
  v.ReceivedBytes = static_cast<int>(received->size());
  const TLargeCompare c = CompareLarge(sent, *received, what, log);
  v.Result = c.Changed == 0 && !c.Cut ? TLargeResult::Arrived : TLargeResult::Changed;
  v.ChangedLines = c.Changed;
  v.Cut = c.Cut;
  return v;
}

std::string WithThousands(long long n) {
  std::string digits = std::to_string(n < 0 ? -n : n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (n < 0 ? "-" : "") + out;
}

std::string LargeSipLine(TLargePath path, int port, const TLargeSize& s) {
  const bool down = path == TLargePath::UdpDown;
  std::string line = path == TLargePath::UdpUp   ? "Large SIP over UDP to port "
                     : path == TLargePath::TcpUp ? "Large SIP over TCP to port "
                                                 : "Large SIP from the server to port ";
  line += std::to_string(port) + ": ";
  if (s.Result == TLargeResult::NotTested)
    return line + WithThousands(s.Bytes) + " bytes not tested (" + s.Why + ")";
  line += WithThousands(s.Bytes) + " bytes";
  if (path == TLargePath::UdpUp) line += " (" + Plural(large_sip::Fragments(s.Bytes), "fragment", "fragments") + ")";
  switch (s.Result) {
    case TLargeResult::Arrived:
      return line + (down ? " arrived" : " arrived unchanged");
    case TLargeResult::Changed:
      if (s.Cut) return line + " arrived cut short: " + WithThousands(s.ReceivedBytes) + " of " + WithThousands(s.Bytes) + " bytes";
      return line + " arrived changed: " + Plural(s.ChangedLines, "header", "headers") + " rewritten";
    case TLargeResult::Lost:
      if (path == TLargePath::UdpUp)
        return line + " did not arrive: the router (or a firewall) drops fragmented datagrams on the way out";
      if (down) return line + " did not arrive: fragments are dropped on the way in";
      return line + " did not arrive, although TCP carries it in segments, not fragments: something on the way "
                    "drops large SIP messages";
    case TLargeResult::NotTested:
      break;
  }
  return line;
}

std::vector<std::string> LargeSipPaneLines(const TLargeSipReport& r) {
  std::vector<std::string> out;
  if (!r.Ran) return out;
  out.push_back("----------------------------");
  out.push_back(" Checking large SIP messages...");
  for (const TLargePort& p : r.Udp) {
    for (const TLargeSize& s : p.Up.Sizes) out.push_back(LargeSipLine(TLargePath::UdpUp, p.Port, s));
    for (const TLargeSize& s : p.Down.Sizes) out.push_back(LargeSipLine(TLargePath::UdpDown, p.Port, s));
  }
  for (const TLargePort& p : r.Tcp)
    for (const TLargeSize& s : p.Up.Sizes) out.push_back(LargeSipLine(TLargePath::TcpUp, p.Port, s));
  return out;
}

std::vector<std::string> LargeSipSummaryLines(const TLargeSipReport& r) {
  std::vector<std::string> out;
  if (!r.Ran) return out;
  auto way = [&](TLargePath path, int port, const TLargeWay& w) {
    const TLargeSize* deciding = w.Deciding();
    if (!deciding) return;
    for (const TLargeSize& s : w.Sizes)
      if (&s != deciding && s.Result != deciding->Result && s.Result != TLargeResult::NotTested)
        out.push_back(LargeSipLine(path, port, s));
    out.push_back(LargeSipLine(path, port, *deciding));
  };
  for (const TLargePort& p : r.Udp) {
    way(TLargePath::UdpUp, p.Port, p.Up);
    way(TLargePath::UdpDown, p.Port, p.Down);
  }
  for (const TLargePort& p : r.Tcp) way(TLargePath::TcpUp, p.Port, p.Up);
  return out;
}

std::vector<std::string> LargeSipAdvice(const TLargeSipReport& r) {
  std::vector<std::string> out;
  bool lostOut = false, lostIn = false, changed = false, tcpPassed = false;
  for (const TLargePort& p : r.Udp) {
    for (const TLargeSize& s : p.Up.Sizes) {
      lostOut |= s.Result == TLargeResult::Lost;
      changed |= s.Result == TLargeResult::Changed;
    }
    for (const TLargeSize& s : p.Down.Sizes) lostIn |= s.Result == TLargeResult::Lost;
  }
  for (const TLargePort& p : r.Tcp)
    if (const TLargeSize* d = p.Up.Deciding()) tcpPassed |= d->Result == TLargeResult::Arrived;
  if (lostOut || lostIn) {
    const std::string where = lostOut && lostIn ? "both ways" : lostOut ? "on the way out" : "on the way in";
    out.push_back("Large SIP messages (" + WithThousands(large_sip::kSizes[1]) + " bytes, as a call with several codecs, "
                  "video or ICE candidates makes them) lose their fragments " + where +
                  ": registration and small test calls work, real calls fail or ring without audio.");
    out.push_back(std::string("Set the phone and the provider to SIP over TCP (or TLS)") +
                  (tcpPassed ? ", which carried the large message untouched here" : "") +
                  "; or offer fewer codecs in the phone (no video), so its messages stay below 1,400 bytes.");
    out.push_back("Or look in the router's settings for one that drops fragments: \"fragmented packets\", "
                  "\"IP fragment filtering\" or the like, and let them through.");
  }
  if (changed)
    out.push_back("The router changes large SIP messages it lets through: a call whose INVITE is large may reach the "
                  "provider broken. Switch the SIP ALG off, or use SIP over TLS.");
  return out;
}

bool TLargeDownInbox::Offer(int socket, std::string_view datagram) {
  if (!large_sip::ParseDown(datagram)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.size() >= 16) kept_.erase(kept_.begin());  // a run asks for four: the newest count
  kept_.emplace_back(socket, std::string(datagram));
  return true;
}

std::vector<std::string> TLargeDownInbox::Take(int socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (it->first == socket) {
      out.push_back(std::move(it->second));
      it = kept_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

void TLargeDownInbox::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  kept_.clear();
}
