// The large SIP texts as either side reads them: a request for answers on the server's SIP port
// and an answer on a tester's SIP socket. What is taken must read back as written, and no
// request taken may ask for more, or larger, answers than the bounds.
#include <string>

#include "proto/LargeSipWire.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace large_sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  if (const auto ask = ParseAsk(text)) {
    FUZZ_CHECK(IsAsk(text), "a request begins as one");
    FUZZ_CHECK(!ask->Sizes.empty() && ask->Sizes.size() <= kMaxAskSizes, "one or two sizes");
    for (int s : ask->Sizes) FUZZ_CHECK(s >= 1 && s <= kMaxDatagram, "no size beyond a datagram");
    FUZZ_CHECK(AskText(*ask) == text, "a request reads back as written");
  }
  if (const auto down = ParseDown(text)) {
    FUZZ_CHECK(down->Bytes >= 1 && down->Bytes <= kMaxDatagram, "an answer names a datagram's size");
    FUZZ_CHECK(fuzz::Contains(text, "Call-ID: " + down->Token + "@"), "its token from its Call-ID");
    const std::string made = DownText(down->Token, down->Bytes);
    if (!made.empty()) {
      const auto again = ParseDown(made);
      FUZZ_CHECK(made.size() == static_cast<size_t>(down->Bytes) && again && again->Token == down->Token &&
                     again->Bytes == down->Bytes,
                 "an answer made for it is its size and reads back");
    }
  }
  const int mtu = 68 + static_cast<int>(size % 9000);
  const int bytes = static_cast<int>(size * 37 % 70000);
  const int fragments = Fragments(bytes, mtu);
  FUZZ_CHECK(fragments >= 1 && (fragments - 1) * ((mtu - 20) / 8 * 8) < bytes + 8, "fragments carry the datagram");
  return 0;
}
