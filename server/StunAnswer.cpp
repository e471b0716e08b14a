#include "server/StunAnswer.h"

std::optional<TStunAnswer> AnswerStun(std::string_view datagram, const stun::TEndpoint& source,
                                      const TStunPlace& place) {
  const std::optional<stun::TMessage> request = stun::Parse(datagram);
  if (!request || request->Class != stun::TClass::Request) return std::nullopt;
  stun::TMessage answer;
  answer.Method = request->Method;
  answer.Transaction = request->Transaction;
  answer.Fingerprint = request->Fingerprint;
  TStunAnswer out{{}, place.Local};
  auto error = [&](int code, const char* reason) {
    answer.Class = stun::TClass::Error;
    answer.ErrorCode = code;
    answer.Reason = reason;
    out.Bytes = stun::Encode(answer);
    return out;
  };
  if (request->Method != stun::kBinding || request->Malformed) return error(400, "Bad Request");
  answer.Unknown = request->Unknown;
  const uint32_t flags = request->ChangeFlags.value_or(0);
  const bool otherAddress = place.OtherAddress && *place.OtherAddress != place.Local.Address;
  if ((flags & stun::kChangeIp) && !otherAddress) answer.Unknown.push_back(stun::kChangeRequest);
  if (answer.Unknown.size() > kStunUnknownListed) answer.Unknown.resize(kStunUnknownListed);  // the answer stays small
  if (!answer.Unknown.empty()) return error(420, "Unknown Attribute");

  if (flags & stun::kChangeIp) out.From.Address = *place.OtherAddress;
  if (flags & stun::kChangePort) out.From.Port = place.OtherPort;
  answer.Class = stun::TClass::Success;
  std::optional<stun::TEndpoint> other;
  if (place.OtherPort != 0)
    other = stun::TEndpoint{otherAddress ? *place.OtherAddress : place.Local.Address, place.OtherPort};
  if (request->HasCookie()) {
    answer.XorMapped = source;
    answer.ResponseOrigin = out.From;
    answer.Other = other;
  } else {
    answer.Mapped = source;
    answer.Source = out.From;
    answer.Changed = other;
  }
  out.Bytes = stun::Encode(answer);
  return out;
}
