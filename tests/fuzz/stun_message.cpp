// A datagram on the echo server's STUN port: the message parser, the server's answer (back to
// the source only, small, and readable by the tester's own parser) and the codec's round trip.
#include <string>

#include "proto/StunMessage.h"
#include "server/StunAnswer.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string datagram = fuzz::Text(data, size);
  const auto message = stun::Parse(datagram);

  const TStunPlace place{{0x0A000001, 3478}, size % 2 ? 0x0A000002u : 0x0A000001u, 3479};
  if (const auto answer = AnswerStun(datagram, stun::TEndpoint{0xC0A80105, 40000}, place)) {
    FUZZ_CHECK(message && message->Class == stun::TClass::Request, "only requests are answered");
    FUZZ_CHECK(answer->Bytes.size() <= kStunAnswerMaxBytes, "an answer stays small: " + std::to_string(answer->Bytes.size()));
    FUZZ_CHECK(answer->From.Address == 0x0A000001 || answer->From.Address == *place.OtherAddress,
               "an answer leaves from one of the server's addresses");
    const auto read = stun::Parse(answer->Bytes);
    FUZZ_CHECK(read && read->Transaction == message->Transaction, "the answer parses and keeps the transaction");
    const stun::TEndpoint source{0xC0A80105, 40000};
    FUZZ_CHECK(read->ErrorCode || (read->XorMapped ? read->XorMapped : read->Mapped) == source, "a success names the source");
  }
  if (message && !message->Malformed) {
    stun::TMessage copy = *message;
    copy.Unknown.clear();
    const auto again = stun::Parse(stun::Encode(copy));
    FUZZ_CHECK(again, "an encoded message parses");
    FUZZ_CHECK(again->Class == copy.Class && again->Method == copy.Method && again->Transaction == copy.Transaction,
               "the header survives");
    FUZZ_CHECK(again->Mapped == copy.Mapped && again->Other == copy.Other && again->ResponseOrigin == copy.ResponseOrigin &&
                   again->ChangeFlags == copy.ChangeFlags && again->ErrorCode == copy.ErrorCode,
               "the attributes survive");
    FUZZ_CHECK(!copy.HasCookie() || again->XorMapped == copy.XorMapped, "XOR-MAPPED-ADDRESS survives");
  }
  return 0;
}
