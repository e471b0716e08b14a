#pragma once
// Large SIP messages, both ways, shared by the tester and the echo server.
//
// A modern INVITE or its answer (many codecs, video, ICE candidates) is 2,000 to 4,000 bytes:
// more than one IP fragment over UDP. The tester sends large INVITEs of its own up; for the way
// down it asks, from the SIP socket whose mapping is to be tested, with one small line:
//   tester -> server  "LARGE-SIP <token> <bytes> [<bytes>]\r\n"
// and the server sends, to the source of that line, one answer of each size asked (once per size
// and server port, and only as large as the largest SIP message of the session that reached that
// port, give or take what an ALG's rewriting takes off): a SIP 200 OK to an OPTIONS request with
// a capability offer, DownText, exactly that many bytes long. The server announces that it does
// so with ".l1" after the token's random part.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace large_sip {

// The sizes the tester sends and asks for, about 2 and 3 fragments on a 1,500-byte path.
inline constexpr int kSizes[] = {2000, 4000};
// The largest UDP payload of one IPv4 datagram.
inline constexpr int kMaxDatagram = 65507;
// The MTU the fragment counts assume: the common one of Ethernet and most home links.
inline constexpr int kPathMtu = 1500;
// What the message that pays for an answer may lack of the answer's size: an ALG that rewrites
// a private address to a shorter public one takes a few bytes off.
inline constexpr int kPaySlack = 64;
// Sizes one line may ask for.
inline constexpr size_t kMaxAskSizes = 2;

// The IP fragments a UDP payload of `bytes` leaves in over a path of `mtu`: each fragment carries
// mtu - 20 bytes of the datagram (UDP header included), in multiples of 8.
int Fragments(int bytes, int mtu = kPathMtu);

// The token's mark that the server sends the answers, and whether a token carries it.
inline constexpr std::string_view kTokenMark = ".l1";
bool DownOffered(std::string_view token);

struct TAsk {
  std::string Token;
  std::vector<int> Sizes;
};
std::string AskText(const TAsk& ask);
// nullopt for any other text (also sizes outside 1..kMaxDatagram, or more than kMaxAskSizes).
std::optional<TAsk> ParseAsk(std::string_view datagram);
bool IsAsk(std::string_view datagram);

// The smallest answer DownText can make.
size_t MinDownBytes(std::string_view token);
// The answer of `bytes` bytes for the session `token`: empty when bytes is below MinDownBytes or
// above kMaxDatagram.
std::string DownText(std::string_view token, int bytes);
// What an answer names: its session's token and the size it was made for (its CSeq number);
// nullopt for anything else.
struct TDown {
  std::string Token;
  int Bytes = 0;
};
std::optional<TDown> ParseDown(std::string_view datagram);

// A softphone's SDP with audio and video and ICE candidates: the session's o= and c= name
// `address`, the media lines `audioPort` and audioPort + 2 for video; `seed` varies the ICE
// credentials. Codecs and candidates are added, then one a=ssrc line fills it to exactly `bytes`
// (when bytes is at least MinSdpBytes).
std::string LargeSdp(const std::string& address, int audioPort, unsigned seed, size_t bytes);
size_t MinSdpBytes(const std::string& address, int audioPort);

}  // namespace large_sip
