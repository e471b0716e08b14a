#include "probes/NatBehaviour.h"

const char* NatKindText(TNatKind kind) {
  switch (kind) {
    case TNatKind::EndpointIndependent: return "endpoint-independent";
    case TNatKind::AddressDependent: return "address-dependent";
    case TNatKind::AddressAndPortDependent: return "address and port dependent";
  }
  return "";
}

const char* NatKindName(TNatKind kind) {
  switch (kind) {
    case TNatKind::EndpointIndependent: return "endpoint_independent";
    case TNatKind::AddressDependent: return "address_dependent";
    case TNatKind::AddressAndPortDependent: return "address_and_port_dependent";
  }
  return "";
}

std::optional<bool> FilterAnswerCame(const std::optional<stun::TMessage>& answer) {
  if (answer && answer->Class != stun::TClass::Success) return std::nullopt;
  return answer.has_value();
}

TNatBehaviour ClassifyNat(const TStunObservations& o) {
  TNatBehaviour b;
  if (!o.Mapped) return b;
  b.Answered = true;
  b.Public = o.Mapped;
  b.NoNat = *o.Mapped == o.Local;
  b.PortPreserved = o.Mapped->Port == o.Local.Port;
  b.Hairpin = o.Hairpin;
  if (!o.Other || o.Other->Port == 0) return b;
  b.OneAddress = o.Other->Address == o.Server.Address;
  if (b.OneAddress) {
    // Only a new port of the same address: a new mapping for it can only be port dependent.
    if (o.MappedOtherAddress) {
      if (*o.MappedOtherAddress == *o.Mapped) b.MappingNotPortDependent = true;
      else b.Mapping = TNatKind::AddressAndPortDependent;
    }
    if (o.FilterOtherPort) {
      if (*o.FilterOtherPort) b.FilteringNotPortDependent = true;
      else b.Filtering = TNatKind::AddressAndPortDependent;
    }
    return b;
  }
  if (o.MappedOtherAddress) {
    if (*o.MappedOtherAddress == *o.Mapped) b.Mapping = TNatKind::EndpointIndependent;
    else if (o.MappedOtherBoth)
      b.Mapping = *o.MappedOtherBoth == *o.MappedOtherAddress ? TNatKind::AddressDependent
                                                              : TNatKind::AddressAndPortDependent;
  }
  if (o.FilterOtherBoth && *o.FilterOtherBoth) b.Filtering = TNatKind::EndpointIndependent;
  else if (o.FilterOtherBoth && o.FilterOtherPort)
    b.Filtering = *o.FilterOtherPort ? TNatKind::AddressDependent : TNatKind::AddressAndPortDependent;
  return b;
}

std::vector<std::string> NatBehaviourLines(const TNatBehaviour& b, const std::string& server) {
  if (!b.Answered) return {"NAT behaviour: no STUN answer from " + server};
  std::vector<std::string> lines;
  const std::string oneAddress = " (the server has one address: these two are not told apart)";
  std::string mapping = "NAT mapping: ";
  if (b.Mapping) mapping += NatKindText(*b.Mapping);
  else if (b.MappingNotPortDependent) mapping += "endpoint-independent or address-dependent";
  else mapping += "not found";
  mapping += *b.PortPreserved ? " (port kept)" : " (port changed)";
  if (b.MappingNotPortDependent) mapping += oneAddress;
  lines.push_back(mapping);
  std::string filtering = "NAT filtering: ";
  if (b.Filtering) filtering += NatKindText(*b.Filtering);
  else if (b.FilteringNotPortDependent) filtering += "endpoint-independent or address-dependent" + oneAddress;
  else filtering += "not found";
  lines.push_back(filtering);
  if (b.Hairpin) lines.push_back(std::string("NAT hairpinning: ") + (*b.Hairpin ? "yes" : "no"));
  lines.push_back("NAT public address: " + stun::ToText(*b.Public) +
                  (b.NoNat ? " (this computer's own address: no NAT on the way)" : ""));
  return lines;
}
