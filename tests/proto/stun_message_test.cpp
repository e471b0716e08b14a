// The STUN codec's limits, as tables: the header's, each attribute's length and form, and what
// a request's unknown attributes are. Round trips of what is taken are the fuzz target's.
#include <gtest/gtest.h>

#include "proto/StunMessage.h"
#include "proto/XorUnit.h"

namespace {

using stun::TEndpoint;

// A Binding message of `cls` with the cookie and the given attributes, the length set.
std::string Message(std::string attributes, stun::TClass cls = stun::TClass::Request, bool cookie = true) {
  stun::TMessage m;
  m.Class = cls;
  m.Transaction = stun::NewTransaction(1, 2);
  if (!cookie) m.Transaction[0] = 0x7F;
  std::string bytes = stun::Encode(m) + attributes;
  bytes[2] = static_cast<char>((bytes.size() - 20) >> 8);
  bytes[3] = static_cast<char>((bytes.size() - 20) & 0xFF);
  return bytes;
}

// An attribute: type, the value's length as given (`length`, default its size), value, padding.
std::string Attr(uint16_t type, const std::string& value, int length = -1) {
  const size_t n = length < 0 ? value.size() : static_cast<size_t>(length);
  std::string a{static_cast<char>(type >> 8), static_cast<char>(type & 0xFF), static_cast<char>(n >> 8),
                static_cast<char>(n & 0xFF)};
  return a + value + std::string((4 - value.size() % 4) % 4, '\0');
}

const std::string kV4("\0\x01\x13\x88\xC6\x33\x64\x01", 8);  // 198.51.100.1:5000

TEST(StunMessage, attributes_are_taken_by_their_length_and_form) {
  using C = stun::TClass;
  struct Row {
    const char* name;
    std::string bytes;
    bool malformed;
    std::optional<TEndpoint> mapped;
    std::optional<int> error = {};
    std::vector<uint16_t> unknown = {};
  };
  const TEndpoint v4{0xC6336401, 5000};
  const Row rows[] = {
      {"IPv4 address of 8 bytes", Message(Attr(stun::kMappedAddress, kV4)), false, v4},
      {"IPv4 address of 7 bytes", Message(Attr(stun::kMappedAddress, kV4.substr(0, 7))), true, {}},
      {"IPv4 address of 12 bytes", Message(Attr(stun::kMappedAddress, kV4 + std::string(4, '\0'))), true, {}},
      {"address of 3 bytes", Message(Attr(stun::kMappedAddress, kV4.substr(0, 3))), true, {}},
      {"IPv6 address of 20 bytes: not taken", Message(Attr(stun::kMappedAddress, std::string("\0\x02", 2) + std::string(18, '\1'))), false, {}},
      {"IPv6 address of 8 bytes", Message(Attr(stun::kMappedAddress, std::string("\0\x02", 2) + std::string(6, '\1'))), true, {}},
      {"CHANGE-REQUEST of 8 bytes", Message(Attr(stun::kChangeRequest, std::string(8, '\0'))), true, {}},
      {"error class 3", Message(Attr(stun::kErrorCode, std::string("\0\0\x03\x00", 4)), C::Error), false, {}, 300},
      {"error 699", Message(Attr(stun::kErrorCode, std::string("\0\0\x06\x63", 4)), C::Error), false, {}, 699},
      {"error class 2", Message(Attr(stun::kErrorCode, std::string("\0\0\x02\x63", 4)), C::Error), true, {}},
      {"error class 7", Message(Attr(stun::kErrorCode, std::string("\0\0\x07\x00", 4)), C::Error), true, {}},
      {"error number 100", Message(Attr(stun::kErrorCode, std::string("\0\0\x04\x64", 4)), C::Error), true, {}},
      {"error code of 3 bytes", Message(Attr(stun::kErrorCode, std::string("\0\0\x04", 3)), C::Error), true, {}},
      {"UNKNOWN-ATTRIBUTES of odd length", Message(Attr(stun::kUnknownAttributes, std::string("\0\x30\0", 3)), C::Error), true, {}, {}, {0x0030}},
      {"unknown required type 0x7FFF in a request", Message(Attr(0x7FFF, "")), false, {}, {}, {0x7FFF}},
      {"unknown optional type 0x8000", Message(Attr(0x8000, "")), false, {}, {}, {}},
      {"unknown required type in an answer", Message(Attr(0x7FFF, ""), C::Success), false, {}, {}, {}},
      {"after MESSAGE-INTEGRITY: ignored", Message(Attr(stun::kMessageIntegrity, std::string(20, '\0')) + Attr(stun::kMappedAddress, kV4)), false, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const auto m = stun::Parse(r.bytes);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Malformed, r.malformed);
    EXPECT_EQ(m->Mapped, r.mapped);
    EXPECT_EQ(m->ErrorCode, r.error);
    EXPECT_EQ(m->Unknown, r.unknown);
  }
}

TEST(StunMessage, header_length_and_fingerprint_decide_what_is_a_message) {
  stun::TMessage withPrint;
  withPrint.Transaction = stun::NewTransaction(1, 2);
  withPrint.Fingerprint = true;
  const std::string printed = stun::Encode(withPrint);
  std::string badPrint = printed;
  badPrint.back() ^= 1;
  const std::string plain = Message("");
  std::string firstBits = plain, lengthOff = plain + std::string(4, '\0'), oddLength = plain + "\0\0";
  firstBits[0] = '\x40';
  oddLength[3] = 2;
  struct Row {
    const char* name;
    std::string bytes;
    bool taken;
  };
  const Row rows[] = {
      {"20 bytes", plain, true},
      {"19 bytes", plain.substr(0, 19), false},
      {"a first bit set", firstBits, false},
      {"4 bytes past the length", lengthOff, false},
      {"a length not a multiple of 4", oddLength, false},
      {"an attribute past the end", Message(Attr(stun::kMappedAddress, kV4, 12)), false},
      {"FINGERPRINT that matches", printed, true},
      {"FINGERPRINT that does not", badPrint, false},
      {"FINGERPRINT not last", Message(Attr(stun::kFingerprint, std::string(4, '\0')) + Attr(0x8030, "")), false},
  };
  for (const Row& r : rows) EXPECT_EQ(stun::Parse(r.bytes).has_value(), r.taken) << r.name;
}

TEST(StunMessage, xor_mapped_address_needs_the_cookie_and_reads_back) {
  stun::TMessage m;
  m.Class = stun::TClass::Success;
  m.Method = 0x0ABC;  // every bit of the method spread over the type
  m.Transaction = stun::NewTransaction(7, 8);
  m.XorMapped = TEndpoint{0xCB007105, 40000};
  m.Other = TEndpoint{0xC6336402, 3479};
  const auto back = stun::Parse(stun::Encode(m));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Method, 0x0ABC);
  EXPECT_EQ(back->XorMapped, m.XorMapped);
  EXPECT_EQ(back->Other, m.Other);
  const auto noCookie = stun::Parse(Message(Attr(stun::kXorMappedAddress, kV4), stun::TClass::Success, false));
  ASSERT_TRUE(noCookie);
  EXPECT_FALSE(noCookie->XorMapped);
}

TEST(Scramble, each_byte_with_0x55_and_twice_is_the_text) {
  EXPECT_EQ(Scramble(std::string("\x00\x55\xFF" "A", 4)), std::string("\x55\x00\xAA\x14", 4));
  EXPECT_EQ(Scramble(Scramble("GET 5060")), "GET 5060");
}

}  // namespace
