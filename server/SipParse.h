#pragma once
// What the echo server reads from a SIP datagram: the session token in its Call-ID, whether it
// asks for the NAT session test, and the audio port its SDP offer announces. Lenient on purpose:
// a router in between may have rewritten any of it.
#include <optional>
#include <string>
#include <string_view>

// The Call-ID value (full or compact header name, any letter case) up to its first "@", trimmed;
// empty when there is none.
std::string CallIdToken(std::string_view datagram);

// An INVITE whose To URI names the user check_nat_timeout.
bool IsNatTestInvite(std::string_view datagram);

// The port of the first "m=audio" line of the body; nothing when absent or not a port number.
std::optional<unsigned short> SdpAudioPort(std::string_view datagram);

// The Content-Length of a message head (full or compact name, any letter case): -1 when there
// is none, -2 when a value is not a decimal number, is too large, or two values differ.
long long SipContentLength(std::string_view head);
