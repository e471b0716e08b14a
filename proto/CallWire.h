#pragma once
// The wire format of the test call, shared by the tester and the echo server.
//
// The server announces that it takes calls in the token it hands out: ".c" then the longest call
// in seconds and, after "-", the UDP port of its RTP socket ("...9c.c30-5004.t10-15.r10"; before
// the NAT time-out plan). A token without it (an older server) means: no call.
//
// The call is RTP as a G.711 phone sends it: payload type 0 (mu-law), 160 payload bytes every
// 20 ms, one SSRC, sequence numbers and timestamps rising by 1 and 160 per packet. The payload
// begins with the call's own fields and is filled up with mu-law silence (0xFF):
//   "CALL"  4 bytes
//   index   4 bytes, big-endian: the packet's number in its stream, from 0
//   time    8 bytes, big-endian, microseconds: the tester's send time; in the server's
//           packets, the send time of the tester's latest packet
//   hold    4 bytes, big-endian, microseconds: 0 from the tester; from the server, how long it
//           held that latest packet before this one left
//   token   1 byte of length, then the token
// The tester sends to the server's RTP port; the server sends a stream of the same shape back to
// the address and port the tester's came from, never more packets than it received, and reports
// on the control connection, 1 s after the tester's stream stopped, what it received:
//   "CALL-REPORT <received> <sent> <jitter us> <jitter us per second,...|-> <map>"
// or, at once, "CALL-REPORT busy" when it has no room for another call now.
// map: hex, two digits per 8 packet indexes from 0, bit i of a byte set when index 8k+i came;
// only as far as the highest index that came ("-" for none).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace call_wire {

inline constexpr int kPacketsPerSecond = 50;
inline constexpr int kPacketMs = 20;
inline constexpr int kPayloadBytes = 160;
inline constexpr int kTimestampStep = 160;  // 8000 Hz
inline constexpr int kPayloadType = 0;      // PCMU
inline constexpr size_t kPacketBytes = 12 + kPayloadBytes;
inline constexpr int kMaxSeconds = 120;
inline constexpr size_t kMaxPackets = static_cast<size_t>(kMaxSeconds) * kPacketsPerSecond;
inline constexpr size_t kMaxTokenBytes = 128;

// What the token announces.
struct TPlan {
  int MaxSeconds = 0;  // 1..kMaxSeconds
  uint16_t RtpPort = 0;
  bool operator==(const TPlan&) const = default;
};
// ".c30-5004", to put into a token before the time-out plan; "" for an invalid plan.
std::string PlanSuffix(const TPlan& plan);
// The plan a token announces; nullopt when it announces none or a bad one.
std::optional<TPlan> PlanFromToken(std::string_view token);

struct TPacket {
  uint16_t Seq = 0;
  uint32_t Timestamp = 0;
  uint32_t Ssrc = 0;
  bool Marker = false;
  uint32_t Index = 0;
  uint64_t TimeUs = 0;
  uint32_t HoldUs = 0;
  std::string Token;
  bool operator==(const TPacket&) const = default;
};
// kPacketBytes bytes; the token is cut at kMaxTokenBytes.
std::string PacketBytes(const TPacket& p);
// nullopt for anything that is not a call packet (another payload type, size or form).
std::optional<TPacket> ParsePacket(std::string_view datagram);

// What the server received of the tester's stream.
struct TReport {
  bool Busy = false;              // the server took no call: nothing else is set
  int Received = 0;               // packets, each index once
  int Sent = 0;                   // packets the server sent back
  long long JitterUs = 0;         // interarrival jitter at the end
  std::vector<long long> JitterBySecondUs;  // at the end of each second of the stream
  std::vector<bool> Map;          // index -> came; up to the highest that came
  bool operator==(const TReport&) const = default;
};
std::string ReportText(const TReport& r);
// Whether a frame is meant as a call report, whether or not it reads.
bool IsReportText(std::string_view text);
// nullopt for any other text, or one whose figures do not fit together.
std::optional<TReport> ParseReport(std::string_view text);

}  // namespace call_wire
