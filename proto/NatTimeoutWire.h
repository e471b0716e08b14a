#pragma once
// The wire format of the NAT time-out test, shared by the tester and the echo server.
//
// The server announces its idle times in the token it hands out: the token's random part, then
// ".p" and the UDP port of the test, ".t" and the idle times in whole seconds joined by "-",
// then ".r" and the gap of the refresh datagrams ("...9c.p3480.t10-15-20.r10"). A token without
// ".p" (an older server) runs the test on the server's SIP port, one datagram per idle mapping;
// a token without ".t" means: no test.
//
// Every datagram is one line of text on a mapping of its own (a UDP socket of the tester's):
//   tester -> server  "NAT-TIMEOUT <token> <mapping> <kind> <idle s> <seq> keep-alive[ ....]\r\n"
//                     kind: new | busy | refresh (idle 0); the dots pay for what comes back
//   server -> tester  "NAT-TIMEOUT <token> <mapping> ok <seq>\r\n"      the answer, at once
//                     "NAT-TIMEOUT <token> <mapping> after <ms>\r\n"   after ms of silence
// The server never sends a datagram larger than the smallest one the mapping sent, nor more
// bytes than kPayFactor times those its requests carried.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nat_timeout {

// The idle times the server tests and the gap of its refresh datagrams.
struct TPlan {
  std::vector<int> IdleSecs;  // rising, each 2..3600
  int RefreshSecs = 0;        // 1..3600
  uint16_t Port = 0;          // the test's own UDP port; 0: the SIP port (an older server)
  bool operator==(const TPlan&) const = default;
};

inline constexpr size_t kMaxIdleTimes = 16;
inline constexpr int kMaxSecs = 3600;
// A busy mapping's warm-up sends every 1.5 s: a shorter idle time would end before it.
inline constexpr int kMinIdleSecs = 2;

// What a server with a port of its own for the test does (an older one sends each idle mapping
// one datagram, the refresh mapping one every gap up to the longest idle time, and asks nothing):
inline constexpr int kIdleCopies = 4;       // an idle mapping's datagram goes out this many times,
inline constexpr int kCopyGapMs = 250;      // this far apart: a lost datagram decides nothing
inline constexpr int kRefreshTailGaps = 5;  // refresh datagrams go on this many gaps past the longest idle time
inline constexpr int kPayFactor = 2;        // bytes sent to a mapping: at most twice what its requests carried
// A refresh mapping's requests must be at least this large (an older tester's are not taken: it
// could not pay for the refresh datagrams, and says that refresh was not told).
inline constexpr size_t kMinRefreshRequestBytes = 600;
inline constexpr size_t kMaxRequestBytes = 1400;

// How many refresh datagrams the server sends, one every gap from the mapping's last request.
int RefreshDatagrams(const TPlan& plan);

// Whether a plan is one a tester may follow.
bool ValidPlan(const TPlan& plan);
// ".p3480.t10-15-20.r10", to append to a token; "" for an invalid plan.
std::string PlanSuffix(const TPlan& plan);
// The plan a token announces; nullopt when it announces none or a bad one.
std::optional<TPlan> PlanFromToken(std::string_view token);

enum class TKind { New, Busy, Refresh };
const char* KindName(TKind kind);

// What the tester sends.
struct TRequest {
  std::string Token;
  int Mapping = 0;  // 1.., the tester's number for the socket
  TKind Kind = TKind::New;
  int IdleSecs = 0;  // 0 for Refresh
  int Seq = 0;       // 1.., the exchange on this mapping
  size_t Pad = 0;    // dots after "keep-alive" (and a blank before them)
};
std::string RequestText(const TRequest& r);
// r with its pad set so that its text is `bytes` long (at most kMaxRequestBytes), or as short as
// it can be.
TRequest PaddedTo(TRequest r, size_t bytes);
// nullopt for any other text.
std::optional<TRequest> ParseRequest(std::string_view datagram);
// Whether a datagram is meant for the test (the server then never echoes it).
bool IsTimeoutDatagram(std::string_view datagram);

// What the server sends.
struct TReply {
  std::string Token;
  int Mapping = 0;
  bool Answer = true;  // "ok <seq>"; false: "after <ms>"
  int Seq = 0;
  long long AfterMs = 0;
};
std::string ReplyText(const TReply& r);
std::optional<TReply> ParseReply(std::string_view datagram);

}  // namespace nat_timeout
