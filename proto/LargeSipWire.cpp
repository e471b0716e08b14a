#include "proto/LargeSipWire.h"

#include "proto/WireText.h"

namespace large_sip {

namespace {

constexpr std::string_view kAskMagic = "LARGE-SIP ";
const std::string kCrLf = "\r\n";
// The domain the answers name: never anyone's (as the tester's probes' own).
const char kDomain[] = "alg-test.invalid";

// Letters and digits drawn from a seed, for ICE credentials and the like.
std::string Chars(unsigned& seed, size_t n) {
  static const char set[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s += set[(seed >> 16) % (sizeof set - 1)];
  }
  return s;
}

std::string Hex(unsigned& seed, size_t pairs) {
  static const char hex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < pairs; ++i) {
    seed = seed * 1103515245u + 12345u;
    if (i) s += ':';
    s += hex[(seed >> 16) & 0xF];
    s += hex[(seed >> 20) & 0xF];
  }
  return s;
}

// What a softphone offers besides its first codecs, in the order it adds them.
std::vector<std::string> OptionalLines(const std::string& address, int audioPort) {
  const int video = audioPort + 2;
  std::vector<std::string> lines;
  const char* extraVideo[][2] = {{"102", "H264/90000"}, {"103", "VP9/90000"}, {"104", "H265/90000"},
                                 {"105", "AV1/90000"},  {"106", "rtx/90000"}, {"107", "red/90000"}};
  for (const auto& [pt, name] : extraVideo) {
    lines.push_back(std::string("a=rtpmap:") + pt + " " + name);
    lines.push_back(std::string("a=rtcp-fb:") + pt + " nack pli");
  }
  // Candidates: server-reflexive and relayed ones, as a phone behind a NAT gathers them.
  for (int i = 0; i < 40; ++i) {
    const int port = video + 10 + 2 * i;
    const std::string foundation = std::to_string(3 + i);
    const unsigned priority = 1694498815u - 256u * static_cast<unsigned>(i);
    lines.push_back("a=candidate:" + foundation + " 1 UDP " + std::to_string(priority) + " " + address + " " +
                    std::to_string(port) + " typ srflx raddr " + address + " rport " + std::to_string(video));
    lines.push_back("a=candidate:" + foundation + " 2 UDP " + std::to_string(priority - 1) + " " + address + " " +
                    std::to_string(port + 1) + " typ srflx raddr " + address + " rport " + std::to_string(video + 1));
  }
  return lines;
}

// The SDP up to its optional lines.
std::string SdpHead(const std::string& address, int audioPort, unsigned seed) {
  const std::string a = std::to_string(audioPort), a1 = std::to_string(audioPort + 1);
  const std::string v = std::to_string(audioPort + 2), v1 = std::to_string(audioPort + 3);
  const std::string ufrag = Chars(seed, 8), pwd = Chars(seed, 24), fingerprint = Hex(seed, 32);
  return "v=0\r\n"
         "o=- 1439573762 1439573762 IN IP4 " + address + "\r\n"
         "s=ALG Test Phone\r\n"
         "c=IN IP4 " + address + "\r\n"
         "t=0 0\r\n"
         "a=sendrecv\r\n"
         "m=audio " + a + " RTP/AVP 111 9 8 0 18 101\r\n"
         "a=rtcp:" + a1 + "\r\n"
         "a=ice-ufrag:" + ufrag + "\r\n"
         "a=ice-pwd:" + pwd + "\r\n"
         "a=fingerprint:sha-256 " + fingerprint + "\r\n"
         "a=rtpmap:111 opus/48000/2\r\n"
         "a=fmtp:111 minptime=10;useinbandfec=1\r\n"
         "a=rtpmap:9 G722/8000\r\n"
         "a=rtpmap:8 PCMA/8000\r\n"
         "a=rtpmap:0 PCMU/8000\r\n"
         "a=rtpmap:18 G729/8000\r\n"
         "a=fmtp:18 annexb=no\r\n"
         "a=rtpmap:101 telephone-event/8000\r\n"
         "a=fmtp:101 0-16\r\n"
         "a=ptime:20\r\n"
         "a=candidate:1 1 UDP 2130706431 " + address + " " + a + " typ host\r\n"
         "a=candidate:1 2 UDP 2130706430 " + address + " " + a1 + " typ host\r\n"
         "m=video " + v + " RTP/AVP 96 97 98\r\n"
         "a=rtcp:" + v1 + "\r\n"
         "a=ice-ufrag:" + ufrag + "\r\n"
         "a=ice-pwd:" + pwd + "\r\n"
         "a=rtpmap:96 VP8/90000\r\n"
         "a=rtcp-fb:96 nack\r\n"
         "a=rtcp-fb:96 nack pli\r\n"
         "a=rtcp-fb:96 ccm fir\r\n"
         "a=rtpmap:97 H264/90000\r\n"
         "a=fmtp:97 profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1\r\n"
         "a=rtpmap:98 H264/90000\r\n"
         "a=fmtp:98 profile-level-id=640c1f;packetization-mode=1;level-asymmetry-allowed=1\r\n"
         "a=candidate:2 1 UDP 2130706431 " + address + " " + v + " typ host\r\n"
         "a=candidate:2 2 UDP 2130706430 " + address + " " + v1 + " typ host\r\n";
}

// The line that fills an SDP up: "a=ssrc:<n> cname:" and the name, CR LF.
const std::string kFillHead = "a=ssrc:2864001337 cname:";
constexpr size_t kMinFill = 8;  // a name of at least this many characters

std::string Number(std::string_view s, size_t& pos) {
  const size_t start = pos;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
  return std::string(s.substr(start, pos - start));
}

}  // namespace

int Fragments(int bytes, int mtu) {
  const int room = mtu - 20;          // IP header
  const int datagram = bytes + 8;     // UDP header
  if (room <= 8 || bytes < 0) return 0;
  if (datagram <= room) return 1;
  const int per = room / 8 * 8;       // every fragment but the last: a multiple of 8
  return (datagram + per - 1) / per;
}

bool DownOffered(std::string_view token) {
  const size_t p = token.find(kTokenMark);
  if (p == std::string_view::npos) return false;
  const size_t end = p + kTokenMark.size();
  return end == token.size() || token[end] == '.';
}

std::string AskText(const TAsk& ask) {
  std::string s(kAskMagic);
  s += ask.Token;
  for (int size : ask.Sizes) s += " " + std::to_string(size);
  return s + kCrLf;
}

std::optional<TAsk> ParseAsk(std::string_view d) {
  if (d.substr(0, kAskMagic.size()) != kAskMagic || d.size() < 2 || d.substr(d.size() - 2) != kCrLf)
    return std::nullopt;
  std::string_view rest = d.substr(kAskMagic.size(), d.size() - kAskMagic.size() - 2);
  TAsk ask;
  const size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  ask.Token = std::string(rest.substr(0, blank));
  if (!wire_text::TokenText(ask.Token)) return std::nullopt;
  rest.remove_prefix(blank + 1);
  while (true) {
    const size_t next = rest.find(' ');
    const std::string_view digits = rest.substr(0, next);
    const auto n = wire_text::Number(digits, 5);
    if (!n || digits[0] == '0' || *n < 1 || *n > kMaxDatagram || ask.Sizes.size() >= kMaxAskSizes) return std::nullopt;
    ask.Sizes.push_back(static_cast<int>(*n));
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + 1);
  }
  return ask;
}

bool IsAsk(std::string_view datagram) { return datagram.substr(0, kAskMagic.size()) == kAskMagic; }

namespace {

std::string DownHead(std::string_view token, int bytes, size_t bodyBytes) {
  const std::string size = std::to_string(bytes);
  return "SIP/2.0 200 OK\r\n"
         "Via: SIP/2.0/UDP " + std::string(kDomain) + ";branch=z9hG4bK-large-" + size + "\r\n"
         "From: <sip:421421@" + kDomain + ">;tag=477211674\r\n"
         "To: <sip:" + kDomain + ">;tag=large" + size + "\r\n"
         "Call-ID: " + std::string(token) + "@" + kDomain + "\r\n"
         "CSeq: " + size + " OPTIONS\r\n"
         "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, MESSAGE, SUBSCRIBE, INFO, UPDATE, PRACK\r\n"
         "Accept: application/sdp\r\n"
         "Supported: replaces, timer, 100rel\r\n"
         "Content-Type: application/sdp\r\n"
         "Content-Length: " + std::to_string(bodyBytes) + "\r\n"
         "\r\n";
}

// A header of at most so many bytes carries the body's length in this many digits at most.
size_t Digits(size_t n) { return std::to_string(n).size(); }

}  // namespace

size_t MinSdpBytes(const std::string& address, int audioPort) {
  return SdpHead(address, audioPort, 0).size() + kFillHead.size() + kMinFill + 2;
}

std::string LargeSdp(const std::string& address, int audioPort, unsigned seed, size_t bytes) {
  std::string sdp = SdpHead(address, audioPort, seed);
  const size_t fillMin = kFillHead.size() + kMinFill + 2;
  for (const std::string& line : OptionalLines(address, audioPort)) {
    if (sdp.size() + line.size() + 2 + fillMin > bytes) break;
    sdp += line + kCrLf;
  }
  if (sdp.size() + fillMin > bytes) return sdp + kFillHead + std::string(kMinFill, 'x') + kCrLf;
  // The name that fills it: letters, as a phone's random cname.
  const size_t name = bytes - sdp.size() - kFillHead.size() - 2;
  unsigned s = seed ^ 0x5bd1e995u;
  return sdp + kFillHead + Chars(s, name) + kCrLf;
}

size_t MinDownBytes(std::string_view token) {
  const size_t body = MinSdpBytes(kDomain, 49170);
  return DownHead(token, kMaxDatagram, body).size() + body;
}

std::string DownText(std::string_view token, int bytes) {
  if (bytes < 0 || bytes > kMaxDatagram || static_cast<size_t>(bytes) < MinDownBytes(token)) return {};
  const size_t total = static_cast<size_t>(bytes);
  // The head's length depends on the body's, whose length depends on it: try the digits the
  // body's length may have.
  for (size_t digits = 1; digits <= 5; ++digits) {
    const size_t head = DownHead(token, bytes, 0).size() - 1 + digits;
    if (head >= total) break;
    const size_t body = total - head;
    if (Digits(body) != digits) continue;
    unsigned seed = static_cast<unsigned>(bytes);
    for (char c : token) seed = seed * 31u + static_cast<unsigned char>(c);
    const std::string sdp = LargeSdp(kDomain, 49170, seed, body);
    if (sdp.size() != body) continue;
    return DownHead(token, bytes, body) + sdp;
  }
  return {};
}

std::optional<TDown> ParseDown(std::string_view d) {
  if (d.substr(0, 16) != "SIP/2.0 200 OK\r\n") return std::nullopt;
  const std::string_view callId = "\r\nCall-ID: ", cseq = "\r\nCSeq: ";
  const size_t c = d.find(callId), q = d.find(cseq);
  if (c == std::string_view::npos || q == std::string_view::npos) return std::nullopt;
  const size_t tokenStart = c + callId.size();
  const size_t at = d.find('@', tokenStart);
  const size_t lineEnd = d.find(kCrLf, tokenStart);
  if (at == std::string_view::npos || lineEnd == std::string_view::npos || at > lineEnd) return std::nullopt;
  TDown down;
  down.Token = std::string(d.substr(tokenStart, at - tokenStart));
  if (!wire_text::TokenText(down.Token)) return std::nullopt;
  size_t pos = q + cseq.size();
  const std::string n = Number(d, pos);
  const auto bytes = wire_text::Number(n, 5);
  if (!bytes || *bytes < 1 || *bytes > kMaxDatagram || d.substr(pos, 10) != " OPTIONS\r\n") return std::nullopt;
  down.Bytes = static_cast<int>(*bytes);
  return down;
}

}  // namespace large_sip
