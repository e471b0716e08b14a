#include "proto/CallWire.h"

#include "proto/WireText.h"

namespace call_wire {

namespace {

constexpr std::string_view kMagic = "CALL";
constexpr std::string_view kReport = "CALL-REPORT ";
constexpr size_t kHeader = 12;
constexpr unsigned char kSilence = 0xFF;

std::optional<long long> Number(std::string_view s, size_t digits = 12) { return wire_text::Number(s, digits); }

void Put(std::string& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t Get(std::string_view in, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(i)]);
  return v;
}

bool TokenText(std::string_view t) { return wire_text::TokenText(t); }

std::vector<std::string_view> Split(std::string_view s, char by) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = s.find(by);
    out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return out;
    s.remove_prefix(at + 1);
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PlanSuffix(const TPlan& plan) {
  if (plan.MaxSeconds < 1 || plan.MaxSeconds > kMaxSeconds || plan.RtpPort == 0) return "";
  return ".c" + std::to_string(plan.MaxSeconds) + "-" + std::to_string(plan.RtpPort);
}

std::optional<TPlan> PlanFromToken(std::string_view token) {
  const size_t c = token.find(".c");
  if (c == std::string_view::npos) return std::nullopt;
  std::string_view rest = token.substr(c + 2);
  rest = rest.substr(0, rest.find('.'));
  const size_t dash = rest.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto secs = Number(rest.substr(0, dash), 3), port = Number(rest.substr(dash + 1), 5);
  if (!secs || !port || *secs < 1 || *secs > kMaxSeconds || *port < 1 || *port > 65535) return std::nullopt;
  return TPlan{static_cast<int>(*secs), static_cast<uint16_t>(*port)};
}

std::string PacketBytes(const TPacket& p) {
  std::string out;
  out.reserve(kPacketBytes);
  out.push_back(static_cast<char>(0x80));
  out.push_back(static_cast<char>((p.Marker ? 0x80 : 0) | kPayloadType));
  Put(out, p.Seq, 2);
  Put(out, p.Timestamp, 4);
  Put(out, p.Ssrc, 4);
  out.append(kMagic);
  Put(out, p.Index, 4);
  Put(out, p.TimeUs, 8);
  Put(out, p.HoldUs, 4);
  const std::string_view token = std::string_view(p.Token).substr(0, kMaxTokenBytes);
  out.push_back(static_cast<char>(token.size()));
  out.append(token);
  out.resize(kPacketBytes, static_cast<char>(kSilence));
  return out;
}

std::optional<TPacket> ParsePacket(std::string_view d) {
  if (d.size() != kPacketBytes) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(d[0]), b1 = static_cast<unsigned char>(d[1]);
  // Version 2, no padding, extension or contributing sources; payload type 0.
  if (b0 != 0x80 || (b1 & 0x7F) != kPayloadType) return std::nullopt;
  if (d.substr(kHeader, kMagic.size()) != kMagic) return std::nullopt;
  TPacket p;
  p.Marker = (b1 & 0x80) != 0;
  p.Seq = static_cast<uint16_t>(Get(d, 2, 2));
  p.Timestamp = static_cast<uint32_t>(Get(d, 4, 4));
  p.Ssrc = static_cast<uint32_t>(Get(d, 8, 4));
  size_t at = kHeader + kMagic.size();
  p.Index = static_cast<uint32_t>(Get(d, at, 4));
  p.TimeUs = Get(d, at + 4, 8);
  p.HoldUs = static_cast<uint32_t>(Get(d, at + 12, 4));
  at += 16;
  const size_t length = static_cast<unsigned char>(d[at]);
  if (at + 1 + length > d.size() || !TokenText(d.substr(at + 1, length))) return std::nullopt;
  p.Token = std::string(d.substr(at + 1, length));
  if (p.Index >= kMaxPackets) return std::nullopt;
  return p;
}

std::string ReportText(const TReport& r) {
  if (r.Busy) return std::string(kReport) + "busy";
  std::string text = std::string(kReport) + std::to_string(r.Received) + " " + std::to_string(r.Sent) + " " +
                     std::to_string(r.JitterUs) + " ";
  if (r.JitterBySecondUs.empty()) text += "-";
  for (size_t i = 0; i < r.JitterBySecondUs.size(); ++i) text += (i ? "," : "") + std::to_string(r.JitterBySecondUs[i]);
  text += " ";
  if (r.Map.empty()) text += "-";
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < r.Map.size(); i += 8) {
    int byte = 0;
    for (size_t b = 0; b < 8 && i + b < r.Map.size(); ++b)
      if (r.Map[i + b]) byte |= 1 << b;
    text += hex[byte >> 4];
    text += hex[byte & 15];
  }
  return text;
}

bool IsReportText(std::string_view text) { return text.substr(0, kReport.size()) == kReport; }

std::optional<TReport> ParseReport(std::string_view text) {
  if (!IsReportText(text)) return std::nullopt;
  if (text.substr(kReport.size()) == "busy") {
    TReport busy;
    busy.Busy = true;
    return busy;
  }
  const auto f = Split(text.substr(kReport.size()), ' ');
  if (f.size() != 5) return std::nullopt;
  // Jitter figures up to 12 digits: a stream whose RTP timestamps leap (2^31 steps of 125 us)
  // makes one of 10 or 11, and its report must still read.
  const auto received = Number(f[0], 6), sent = Number(f[1], 6), jitter = Number(f[2]);
  if (!received || !sent || !jitter || *sent > static_cast<long long>(kMaxPackets)) return std::nullopt;
  TReport r;
  r.Received = static_cast<int>(*received);
  r.Sent = static_cast<int>(*sent);
  r.JitterUs = *jitter;
  if (f[3] != "-") {
    const auto list = Split(f[3], ',');
    if (list.size() > static_cast<size_t>(kMaxSeconds) + 1) return std::nullopt;
    for (std::string_view s : list) {
      const auto j = Number(s);
      if (!j) return std::nullopt;
      r.JitterBySecondUs.push_back(*j);
    }
  }
  if (f[4] != "-") {
    const std::string_view map = f[4];
    if (map.size() % 2 || map.size() / 2 > (kMaxPackets + 7) / 8) return std::nullopt;
    for (size_t i = 0; i < map.size(); i += 2) {
      const int hi = HexDigit(map[i]), lo = HexDigit(map[i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      for (int b = 0; b < 8; ++b) r.Map.push_back((((hi << 4) | lo) >> b) & 1);
    }
    // Up to the highest index that came: that one is set, in the last byte.
    while (!r.Map.empty() && !r.Map.back()) r.Map.pop_back();
    if (r.Map.empty() || r.Map.size() + 8 <= map.size() * 4) return std::nullopt;
  }
  int came = 0;
  for (bool b : r.Map) came += b;
  if (came != r.Received) return std::nullopt;
  return r;
}

}  // namespace call_wire
