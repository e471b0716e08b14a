#include "proto/StunMessage.h"

#include <algorithm>

namespace stun {

namespace {

constexpr size_t kHeader = 20;
constexpr uint32_t kFingerprintXor = 0x5354554E;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(std::string& out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v & 0xFFFF));
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// An address attribute; nullopt for another family (IPv6), malformed set for a bad form.
std::optional<TEndpoint> ReadAddress(const uint8_t* v, size_t len, bool xored, bool& malformed) {
  if (len < 4) {
    malformed = true;
    return std::nullopt;
  }
  if (v[1] != 0x01) {
    if (v[1] != 0x02 || len != 20) malformed = true;
    return std::nullopt;
  }
  if (len != 8) {
    malformed = true;
    return std::nullopt;
  }
  TEndpoint e{Get32(v + 4), Get16(v + 2)};
  if (xored) {
    e.Port ^= static_cast<uint16_t>(kMagicCookie >> 16);
    e.Address ^= kMagicCookie;
  }
  return e;
}

bool Known(uint16_t type) {
  switch (type) {
    case kMappedAddress: case kChangeRequest: case kSourceAddress:
    case kChangedAddress: case kUsername: case kMessageIntegrity: case kErrorCode:
    case kUnknownAttributes: case kXorMappedAddress: case kPadding:
      return true;
    default:
      return false;
  }
}

void PutAttribute(std::string& out, uint16_t type, std::string_view value) {
  Put16(out, type);
  Put16(out, static_cast<uint16_t>(value.size()));
  out.append(value);
  out.append((4 - value.size() % 4) % 4, '\0');
}

void PutAddress(std::string& out, uint16_t type, TEndpoint e, bool xored) {
  if (xored) {
    e.Port ^= static_cast<uint16_t>(kMagicCookie >> 16);
    e.Address ^= kMagicCookie;
  }
  std::string v;
  v += '\0';
  v += '\x01';
  Put16(v, e.Port);
  Put32(v, e.Address);
  PutAttribute(out, type, v);
}

}  // namespace

std::string AddressText(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
         std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string ToText(const TEndpoint& e) { return AddressText(e.Address) + ":" + std::to_string(e.Port); }

bool TMessage::HasCookie() const {
  return Get32(Transaction.data()) == kMagicCookie;
}

std::array<uint8_t, 16> NewTransaction(uint64_t random1, uint32_t random2) {
  std::array<uint8_t, 16> t{};
  for (int i = 0; i < 4; ++i) t[i] = static_cast<uint8_t>(kMagicCookie >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) t[4 + i] = static_cast<uint8_t>(random1 >> (8 * i));
  for (int i = 0; i < 4; ++i) t[12 + i] = static_cast<uint8_t>(random2 >> (8 * i));
  return t;
}

std::optional<TMessage> Parse(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kHeader || (p[0] & 0xC0) != 0) return std::nullopt;
  const size_t length = Get16(p + 2);
  if (length % 4 != 0 || kHeader + length != bytes.size()) return std::nullopt;
  TMessage m;
  const uint16_t type = Get16(p);
  m.Class = static_cast<TClass>(type & 0x0110);
  m.Method = static_cast<uint16_t>((type & 0x000F) | (type & 0x00E0) >> 1 | (type & 0x3E00) >> 2);
  std::copy(p + 4, p + kHeader, m.Transaction.begin());
  const bool cookie = m.HasCookie();

  size_t at = kHeader;
  bool integrity = false;  // past MESSAGE-INTEGRITY only FINGERPRINT counts
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) return std::nullopt;
    const uint16_t atype = Get16(p + at);
    const size_t alen = Get16(p + at + 2);
    const size_t padded = (alen + 3) / 4 * 4;
    if (bytes.size() - at - 4 < padded) return std::nullopt;
    const uint8_t* v = p + at + 4;
    if (atype == kFingerprint) {
      // The last attribute, over everything before it.
      if (alen != 4 || at + 8 != bytes.size()) return std::nullopt;
      if ((Crc32(p, at) ^ kFingerprintXor) != Get32(v)) return std::nullopt;
      m.Fingerprint = true;
      break;
    }
    at += 4 + padded;
    if (integrity) continue;
    switch (atype) {
      case kMappedAddress: m.Mapped = ReadAddress(v, alen, false, m.Malformed); break;
      case kSourceAddress: m.Source = ReadAddress(v, alen, false, m.Malformed); break;
      case kChangedAddress: m.Changed = ReadAddress(v, alen, false, m.Malformed); break;
      case kResponseOrigin: m.ResponseOrigin = ReadAddress(v, alen, false, m.Malformed); break;
      case kOtherAddress: m.Other = ReadAddress(v, alen, false, m.Malformed); break;
      case kXorMappedAddress:
        if (cookie) m.XorMapped = ReadAddress(v, alen, true, m.Malformed);
        break;
      case kChangeRequest:
        if (alen != 4) m.Malformed = true;
        else m.ChangeFlags = Get32(v);
        break;
      case kErrorCode:
        if (alen < 4 || v[3] > 99 || (v[2] & 0x07) < 3 || (v[2] & 0x07) > 6) {
          m.Malformed = true;
        } else {
          m.ErrorCode = (v[2] & 0x07) * 100 + v[3];
          m.Reason.assign(reinterpret_cast<const char*>(v + 4), alen - 4);
        }
        break;
      case kUnknownAttributes:
        if (alen % 2 != 0) m.Malformed = true;
        for (size_t i = 0; i + 1 < alen; i += 2) m.Unknown.push_back(Get16(v + i));
        break;
      case kMessageIntegrity: integrity = true; break;
      default:
        // Comprehension-required types (below 0x8000) that are not taken here.
        if (atype < 0x8000 && !Known(atype) && m.Class == TClass::Request) m.Unknown.push_back(atype);
        break;
    }
  }
  return m;
}

std::string Encode(const TMessage& m) {
  std::string out;
  const uint16_t method = m.Method & 0x0FFF;
  const auto type = static_cast<uint16_t>((method & 0x000F) | (method & 0x0070) << 1 | (method & 0x0F80) << 2 |
                                          static_cast<uint16_t>(m.Class));
  Put16(out, type);
  Put16(out, 0);  // the length, once known
  out.append(reinterpret_cast<const char*>(m.Transaction.data()), m.Transaction.size());
  const bool cookie = m.HasCookie();
  if (m.XorMapped && cookie) PutAddress(out, kXorMappedAddress, *m.XorMapped, true);
  if (m.Mapped) PutAddress(out, kMappedAddress, *m.Mapped, false);
  if (m.ResponseOrigin) PutAddress(out, kResponseOrigin, *m.ResponseOrigin, false);
  if (m.Other) PutAddress(out, kOtherAddress, *m.Other, false);
  if (m.Source) PutAddress(out, kSourceAddress, *m.Source, false);
  if (m.Changed) PutAddress(out, kChangedAddress, *m.Changed, false);
  if (m.ChangeFlags) {
    std::string v;
    Put32(v, *m.ChangeFlags);
    PutAttribute(out, kChangeRequest, v);
  }
  if (m.ErrorCode) {
    std::string v;
    Put16(v, 0);
    v += static_cast<char>(*m.ErrorCode / 100);
    v += static_cast<char>(*m.ErrorCode % 100);
    v += m.Reason.substr(0, 127);
    PutAttribute(out, kErrorCode, v);
  }
  if (!m.Unknown.empty()) {
    std::string v;
    for (uint16_t t : m.Unknown) Put16(v, t);
    PutAttribute(out, kUnknownAttributes, v);
  }
  auto setLength = [&](size_t n) {
    out[2] = static_cast<char>(n >> 8);
    out[3] = static_cast<char>(n & 0xFF);
  };
  if (m.Fingerprint) {
    setLength(out.size() + 8 - kHeader);
    const uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(out.data()), out.size()) ^ kFingerprintXor;
    std::string v;
    Put32(v, crc);
    PutAttribute(out, kFingerprint, v);
  }
  setLength(out.size() - kHeader);
  return out;
}

}  // namespace stun
