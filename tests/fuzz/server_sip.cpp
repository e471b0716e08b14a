// A datagram on the echo server's SIP port: the Call-ID token, whether it asks for the NAT
// session test (the To user), and the SDP audio port; and the tester's own probes read back as
// the tester meant them.
#include <string>

#include "probes/SipProbe.h"
#include "server/SipParse.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string datagram = fuzz::Text(data, size);

  const std::string token = CallIdToken(datagram);
  FUZZ_CHECK(token.find_first_of("@\n") == std::string::npos, "a token holds no @ and no line end: " + token);
  if (!token.empty()) {
    FUZZ_CHECK(!Blank(token.front()) && !Blank(token.back()), "a token is trimmed: " + token);
    FUZZ_CHECK(fuzz::Contains(datagram, token), "a token is taken from the datagram");
  }
  if (IsNatTestInvite(datagram))
    FUZZ_CHECK(datagram.compare(0, 7, "INVITE ") == 0 && fuzz::Contains(datagram, "check_nat_timeout@"),
               "only an INVITE to check_nat_timeout asks for the NAT test");
  if (const auto port = SdpAudioPort(datagram))
    FUZZ_CHECK(*port >= 1 && fuzz::Contains(datagram, "m=audio "), "an audio port comes from an m=audio line");

  // The tester's probes, with a token and an RTP port from the input, read back as sent.
  std::string hex;
  for (char c : datagram)
    if (hex.size() < 32 && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) hex += c;
  const int rtpPort = 1024 + static_cast<int>(size * 2 % 60000);
  TSipProbe probe;
  probe.BuildRegister(hex, "5060", "192.168.1.20", "5060");
  FUZZ_CHECK(CallIdToken(probe.RegisterMsg) == hex, "the REGISTER's token: " + hex);
  FUZZ_CHECK(!IsNatTestInvite(probe.RegisterMsg) && !SdpAudioPort(probe.RegisterMsg), "a REGISTER asks for nothing");
  for (bool natTest : {false, true}) {
    probe.BuildInvite(hex, "5060", "192.168.1.20", "5060", natTest, rtpPort);
    FUZZ_CHECK(CallIdToken(probe.InviteMsg) == hex, "the INVITE's token");
    FUZZ_CHECK(IsNatTestInvite(probe.InviteMsg) == natTest, "the NAT test asked for exactly when meant");
    FUZZ_CHECK(SdpAudioPort(probe.InviteMsg) == (natTest ? rtpPort : rtpPort + 2000), "the audio port offered");
  }
  return 0;
}
