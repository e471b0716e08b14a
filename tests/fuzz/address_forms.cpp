// IPv4 address texts and host names as the tester reads them: the socket layer's address forms
// (a, a.b, a.b.c, a.b.c.d), the names it knows without a lookup, and the echo server endpoint
// "host[:port]" of the command line.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "run/EchoEndpoint.h"
#include "net/IdHeaderList.h"
#include "net/IdStack.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

// A part of the text that starts with a zero and goes on with a digit (read as octal by the C library).
bool HasLeadingZero(const std::string& text) {
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '0' && (i == 0 || text[i - 1] == '.') && text[i + 1] >= '0' && text[i + 1] <= '9') return true;
  return false;
}

bool Same(const in_addr& a, const TIdInAddr& b) { return std::memcmp(&a.s_addr, b.b, 4) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  const bool hasNul = text.find('\0') != std::string::npos;

  const bool isAddress = TIdStack::IsAddressText(text);
  if (isAddress) {
    const TIdInAddr addr = TIdStack::TextToAddress(text);
    const std::string dotted = TIdStack::AddressToText(addr);
    FUZZ_CHECK(TIdStack::IsAddressText(dotted) && TIdStack::TextToAddress(dotted) == addr,
               "the dotted form reads back as the same address: " + text);
    // The C library reads the same forms; it takes a leading zero for octal, this reader for decimal.
    in_addr c{};
    if (!HasLeadingZero(text))
      FUZZ_CHECK(!hasNul && ::inet_aton(text.c_str(), &c) == 1 && Same(c, addr), "the C library agrees: " + text);
  } else {
    bool raised = false;
    try {
      TIdStack::TextToAddress(text);
    } catch (const EIdInvalidIPAddress&) {
      raised = true;
    }
    FUZZ_CHECK(raised, "no address, an invalid address error");
  }
  in_addr strict{};
  if (!hasNul && ::inet_pton(AF_INET, text.c_str(), &strict) == 1)
    FUZZ_CHECK(isAddress && Same(strict, TIdStack::TextToAddress(text)), "every dotted quad is read as it is: " + text);

  std::string address;
  const bool known = TIdStack::AddressWithoutLookup(text, address);
  const bool localhost = IdSameText(text, "localhost");
  FUZZ_CHECK(known == (isAddress || localhost), "only addresses and localhost need no lookup: " + text);
  if (known) FUZZ_CHECK(address == (localhost ? "127.0.0.1" : text), "the address known without a lookup");

  const TEchoEndpoint e = ParseEchoEndpoint(text, "localhost:5060");
  const std::string argument = text.empty() ? "localhost:5060" : text;
  const size_t colon = argument.find(':');
  FUZZ_CHECK(e.Host == argument.substr(0, colon), "the host is what stands before the first colon");
  const std::string port = colon == std::string::npos ? "" : argument.substr(colon + 1, 50);  // a port text is cut at 50
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || port[0] == '0') {
    if (port.empty() || port.find_first_not_of("0123456789+-") != std::string::npos)
      FUZZ_CHECK(e.Port == 5060, "no number, the SIP port 5060");
  } else {
    FUZZ_CHECK(e.Port == std::stoi(port), "a port number is taken as it is: " + text);
  }
  return 0;
}
