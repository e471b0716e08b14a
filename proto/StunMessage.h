#pragma once
// STUN Binding messages with the attributes that NAT behaviour discovery uses, as bytes and
// back. Shared by the echo server's STUN side and the tester's STUN client: no socket, no
// allocation beyond the message, every length checked.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stun {

inline constexpr uint32_t kMagicCookie = 0x2112A442;
inline constexpr uint16_t kBinding = 0x0001;
inline constexpr uint16_t kDefaultPort = 3478;

enum class TClass : uint16_t { Request = 0x0000, Indication = 0x0010, Success = 0x0100, Error = 0x0110 };

// Attribute types.
enum : uint16_t {
  kMappedAddress = 0x0001,
  kResponseAddress = 0x0002,
  kChangeRequest = 0x0003,
  kSourceAddress = 0x0004,
  kChangedAddress = 0x0005,
  kUsername = 0x0006,
  kMessageIntegrity = 0x0008,
  kErrorCode = 0x0009,
  kUnknownAttributes = 0x000A,
  kXorMappedAddress = 0x0020,
  kPadding = 0x0026,
  kResponsePort = 0x0027,
  kSoftware = 0x8022,
  kFingerprint = 0x8028,
  kResponseOrigin = 0x802B,
  kOtherAddress = 0x802C,
};

// CHANGE-REQUEST flags.
inline constexpr uint32_t kChangeIp = 0x04;
inline constexpr uint32_t kChangePort = 0x02;

// An IPv4 transport address, in host order.
struct TEndpoint {
  uint32_t Address = 0;
  uint16_t Port = 0;
  bool operator==(const TEndpoint&) const = default;
};
std::string ToText(const TEndpoint& e);  // "a.b.c.d:port"
std::string AddressText(uint32_t address);  // "a.b.c.d"

struct TMessage {
  uint16_t Method = kBinding;
  TClass Class = TClass::Request;
  // The 16 bytes after the length: the magic cookie and the 12-byte transaction id, or, in the
  // older form without the cookie, a 16-byte transaction id.
  std::array<uint8_t, 16> Transaction{};
  bool HasCookie() const;

  std::optional<TEndpoint> Mapped, XorMapped, ResponseOrigin, Other, Source, Changed;
  std::optional<uint32_t> ChangeFlags;
  std::optional<int> ErrorCode;     // 300..699
  std::string Reason;               // of the error code
  // In a request: comprehension-required attributes this code does not take (the answer is
  // 420). In an error answer: its UNKNOWN-ATTRIBUTES list.
  std::vector<uint16_t> Unknown;
  bool Malformed = false;    // a known attribute of a bad length or form (the answer is 400)
  bool Fingerprint = false;  // parsed: carried a valid FINGERPRINT; encoded: append one
};

// A new transaction (cookie and 12 random bytes from `random`).
std::array<uint8_t, 16> NewTransaction(uint64_t random1, uint32_t random2);

// nullopt when the bytes are no STUN message: too short, the first two bits set, a length that
// does not match, attributes that overrun, or a FINGERPRINT that does not match.
std::optional<TMessage> Parse(std::string_view bytes);

// The message as bytes. XOR-MAPPED-ADDRESS is written only with the cookie.
std::string Encode(const TMessage& message);

}  // namespace stun
