// The STUN side's answers, as a table: what a request gets back, and from where.
#include <gtest/gtest.h>

#include "server/StunAnswer.h"

namespace {

using stun::TEndpoint;

constexpr uint32_t kA1 = 0xC6336401, kA2 = 0xC6336402;  // the server's two addresses
const TEndpoint kClient{0xCB007105, 40000};

std::string Request(std::optional<uint32_t> change, bool cookie = true, std::vector<std::pair<uint16_t, std::string>> extra = {},
                    uint16_t method = stun::kBinding, bool fingerprint = false) {
  stun::TMessage m;
  m.Method = method;
  m.Transaction = stun::NewTransaction(0x1122334455667788ULL, 0x99AABBCC);
  if (!cookie) m.Transaction[0] = 0x7F;
  m.ChangeFlags = change;
  m.Fingerprint = fingerprint;
  std::string bytes = stun::Encode(m);
  for (const auto& [type, value] : extra) {
    // Appended by hand: attributes the codec itself never writes.
    bytes += static_cast<char>(type >> 8);
    bytes += static_cast<char>(type & 0xFF);
    bytes += static_cast<char>(0);
    bytes += static_cast<char>(value.size());
    bytes += value;
    bytes.append((4 - value.size() % 4) % 4, '\0');
  }
  const size_t length = bytes.size() - 20;
  bytes[2] = static_cast<char>(length >> 8);
  bytes[3] = static_cast<char>(length & 0xFF);
  return bytes;
}

TEST(StunAnswer, answers_name_the_source_and_leave_from_the_place_asked_for) {
  const TStunPlace two{{kA1, 3478}, kA2, 3479};
  const TStunPlace one{{kA1, 3478}, kA1, 3479};
  const std::string port4(4, '\0');
  const auto unknown = [](uint16_t n) {
    std::vector<std::pair<uint16_t, std::string>> a;
    for (uint16_t t = 0x30; t < 0x30 + n; ++t) a.push_back({t, ""});
    return a;
  };
  struct Case {
    const char* name;
    std::string request;
    TStunPlace place;
    std::optional<int> error;           // nullopt: a success answer
    TEndpoint from;                     // where the answer leaves from
    std::optional<TEndpoint> other;     // OTHER-ADDRESS (CHANGED-ADDRESS in the older form)
    std::vector<uint16_t> unknown;
  };
  const Case cases[] = {
      {"plain", Request(std::nullopt), two, {}, {kA1, 3478}, TEndpoint{kA2, 3479}, {}},
      {"change address and port", Request(stun::kChangeIp | stun::kChangePort), two, {}, {kA2, 3479}, TEndpoint{kA2, 3479}, {}},
      {"change address", Request(stun::kChangeIp), two, {}, {kA2, 3478}, TEndpoint{kA2, 3479}, {}},
      {"change port", Request(stun::kChangePort), two, {}, {kA1, 3479}, TEndpoint{kA2, 3479}, {}},
      {"reached on the other port", Request(std::nullopt), TStunPlace{{kA2, 3479}, kA1, 3478}, {}, {kA2, 3479}, TEndpoint{kA1, 3478}, {}},
      {"one address: its own in OTHER-ADDRESS", Request(std::nullopt), one, {}, {kA1, 3478}, TEndpoint{kA1, 3479}, {}},
      {"one address: change port", Request(stun::kChangePort), one, {}, {kA1, 3479}, TEndpoint{kA1, 3479}, {}},
      {"one address: change address refused", Request(stun::kChangeIp | stun::kChangePort), one, 420, {kA1, 3478}, {}, {stun::kChangeRequest}},
      {"older form", Request(std::nullopt, false), two, {}, {kA1, 3478}, TEndpoint{kA2, 3479}, {}},
      {"RESPONSE-PORT: answers go back only", Request(std::nullopt, true, {{stun::kResponsePort, port4}}), two, 420, {kA1, 3478}, {}, {stun::kResponsePort}},
      {"RESPONSE-ADDRESS too", Request(std::nullopt, false, {{stun::kResponseAddress, std::string("\0\1\0\1\1\2\3\4", 8)}}), two, 420, {kA1, 3478}, {}, {stun::kResponseAddress}},
      {"unknown required attribute", Request(std::nullopt, true, {{0x0030, port4}}), two, 420, {kA1, 3478}, {}, {0x0030}},
      {"unknown optional attribute", Request(std::nullopt, true, {{0x8030, port4}}), two, {}, {kA1, 3478}, TEndpoint{kA2, 3479}, {}},
      {"PADDING taken", Request(std::nullopt, true, {{stun::kPadding, std::string(64, '\0')}}), two, {}, {kA1, 3478}, TEndpoint{kA2, 3479}, {}},
      {"bad CHANGE-REQUEST", Request(std::nullopt, true, {{stun::kChangeRequest, "ab"}}), two, 400, {kA1, 3478}, {}, {}},
      {"another method", Request(std::nullopt, true, {}, 0x0003), two, 400, {kA1, 3478}, {}, {}},
      {"four unknown attributes, all listed", Request(std::nullopt, true, unknown(4)), two, 420, {kA1, 3478}, {}, {0x30, 0x31, 0x32, 0x33}},
      {"five: four listed", Request(std::nullopt, true, unknown(5)), two, 420, {kA1, 3478}, {}, {0x30, 0x31, 0x32, 0x33}},
      {"sixteen: the answer stays small", Request(std::nullopt, true, unknown(16)), two, 420, {kA1, 3478}, {}, {0x30, 0x31, 0x32, 0x33}},
      {"with FINGERPRINT", Request(stun::kChangePort, true, {}, stun::kBinding, true), two, {}, {kA1, 3479}, TEndpoint{kA2, 3479}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = AnswerStun(c.request, kClient, c.place);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->From, c.from);
    const auto m = stun::Parse(answer->Bytes);
    ASSERT_TRUE(m);
    const auto request = stun::Parse(c.request);
    ASSERT_TRUE(request);
    EXPECT_EQ(m->Transaction, request->Transaction);
    EXPECT_EQ(m->Fingerprint, request->Fingerprint);
    EXPECT_EQ(m->ErrorCode, c.error);
    EXPECT_EQ(m->Unknown, c.unknown);
    EXPECT_LE(answer->Bytes.size(), kStunAnswerMaxBytes);
    if (c.error) {
      EXPECT_EQ(m->Class, stun::TClass::Error);
      EXPECT_FALSE(m->XorMapped || m->Mapped);
      continue;
    }
    EXPECT_EQ(m->Class, stun::TClass::Success);
    if (request->HasCookie()) {
      EXPECT_EQ(m->XorMapped, kClient);
      EXPECT_FALSE(m->Mapped);
      EXPECT_EQ(m->ResponseOrigin, c.from);
      EXPECT_EQ(m->Other, c.other);
    } else {
      EXPECT_EQ(m->Mapped, kClient);
      EXPECT_EQ(m->Source, c.from);
      EXPECT_EQ(m->Changed, c.other);
      EXPECT_FALSE(m->XorMapped || m->Other);
    }
  }
}

TEST(StunAnswer, no_answer_to_what_is_not_a_request) {
  const TStunPlace place{{kA1, 3478}, kA2, 3479};
  stun::TMessage success;
  success.Class = stun::TClass::Success;
  success.XorMapped = kClient;
  stun::TMessage indication;
  indication.Class = stun::TClass::Indication;
  std::string badFingerprint = Request(std::nullopt, true, {}, stun::kBinding, true);
  badFingerprint.back() ^= 1;
  std::string badLength = Request(std::nullopt);
  badLength[3] = 8;
  const std::string cases[] = {
      "", "REGISTER sip:x SIP/2.0\r\n\r\n", stun::Encode(success), stun::Encode(indication), badFingerprint, badLength,
      Request(std::nullopt).substr(0, 19),
  };
  for (const std::string& c : cases) EXPECT_FALSE(AnswerStun(c, kClient, place)) << c.size();
}

}  // namespace
