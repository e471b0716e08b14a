#pragma once
// The NAT's behaviour class: how it maps a socket to public ports (mapping), whom it lets
// reach a mapping (filtering), whether it keeps the local port, and whether a host behind it
// reaches its own public address (hairpinning). Found with STUN Binding requests to the echo
// server's STUN side; this part reads the answers into the class and says it in lines.
#include <optional>
#include <string>
#include <vector>

#include "proto/StunMessage.h"

enum class TNatKind { EndpointIndependent, AddressDependent, AddressAndPortDependent };

// What the STUN exchanges saw. Mapping tests run from one socket, filtering tests from another
// that only ever talks to the server's first address and port, so that the mapping tests open
// no way in for the filtering answers.
struct TStunObservations {
  stun::TEndpoint Server;                // where the first requests went
  stun::TEndpoint Local;                 // the mapping socket's local address and port
  std::optional<stun::TEndpoint> Mapped;   // its public address and port, from the first answer
  std::optional<stun::TEndpoint> Other;    // the server's OTHER-ADDRESS
  // Mapped address seen by a request to the other address and first port (with a one-address
  // server: to the first address and the other port), and by one to the other address and port.
  std::optional<stun::TEndpoint> MappedOtherAddress, MappedOtherBoth;
  // Whether an answer asked from the other address and port / from the other port came in on
  // the filtering socket; nullopt: not asked, or the server refused.
  std::optional<bool> FilterOtherBoth, FilterOtherPort;
  std::optional<bool> Hairpin;  // a request to the own public address came back to the socket
};

struct TNatBehaviour {
  bool Answered = false;    // the server's STUN side answered at all
  bool OneAddress = false;  // the server has one address: only changes of port were tested
  // nullopt: not found. With a one-address server, endpoint-independent and address-dependent
  // are not told apart: then the kind is nullopt and NotPortDependent is true.
  std::optional<TNatKind> Mapping, Filtering;
  bool MappingNotPortDependent = false, FilteringNotPortDependent = false;
  std::optional<bool> PortPreserved, Hairpin;
  std::optional<stun::TEndpoint> Public;
  bool NoNat = false;  // the public address and port are the mapping socket's own: no NAT on the way
};

TNatBehaviour ClassifyNat(const TStunObservations& o);

// What a filtering request's answer tells: true when a success answer came, false when none
// came, nullopt when the server refused to answer so (an error answer, 420 for a change it
// cannot make).
std::optional<bool> FilterAnswerCame(const std::optional<stun::TMessage>& answer);

// "endpoint_independent", "address_dependent", "address_and_port_dependent".
const char* NatKindName(TNatKind kind);
// In words: "endpoint-independent", "address-dependent", "address and port dependent".
const char* NatKindText(TNatKind kind);

// The NAT pane's lines: mapping (with the port), filtering, hairpinning and the public address;
// one line when the server did not answer (server: "host:port" asked).
std::vector<std::string> NatBehaviourLines(const TNatBehaviour& b, const std::string& server);
