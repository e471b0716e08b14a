#pragma once
// What the echo server's STUN side answers one datagram: a Binding answer for the address the
// request came from, sent back to that address only, from the place the request asks for
// (CHANGE-REQUEST). Plain code; the sockets are in StunSide.
#include <optional>
#include <string>
#include <string_view>

#include "proto/StunMessage.h"

// An error answer lists at most this many unknown attributes, so that every answer stays within
// kStunAnswerMaxBytes.
inline constexpr size_t kStunUnknownListed = 4;
inline constexpr size_t kStunAnswerMaxBytes = 76;

// Where a request arrived and what the server can answer from besides.
struct TStunPlace {
  stun::TEndpoint Local;                 // the address and port the request reached
  std::optional<uint32_t> OtherAddress;  // the server's other address; none: one address only
  uint16_t OtherPort = 0;                // the server's other STUN port
};

struct TStunAnswer {
  std::string Bytes;
  stun::TEndpoint From;  // where it leaves from (to the request's source, always)
};

// nullopt: nothing is sent (no STUN request: an answer, an indication, or no STUN at all).
// Requests get a Binding success answer with XOR-MAPPED-ADDRESS (MAPPED-ADDRESS for the older
// form without the cookie), RESPONSE-ORIGIN and OTHER-ADDRESS (SOURCE-ADDRESS and
// CHANGED-ADDRESS in the older form); OTHER-ADDRESS names the server's own address again when it
// has only one, so a client sees that only the port can change. A CHANGE-REQUEST for another
// address on a one-address server, RESPONSE-PORT and RESPONSE-ADDRESS (answers go nowhere but
// back) and other comprehension-required attributes get error 420; a bad attribute or another
// method 400. A FINGERPRINT in the request is answered with one. An answer is at most
// kStunAnswerMaxBytes (a request at least 20): little to gain from a forged source.
std::optional<TStunAnswer> AnswerStun(std::string_view datagram, const stun::TEndpoint& source,
                                      const TStunPlace& place);
