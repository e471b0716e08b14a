#include "server/RtpPacket.h"

#include <cmath>
#include <numbers>

uint8_t LinearToALaw(int16_t sample) {
  // 13-bit magnitude, segment by the position of its highest bit, 4 mantissa bits; even bits
  // inverted (XOR 0x55), sign bit set for positive samples.
  int value = sample;
  uint8_t sign = 0x80;
  if (value < 0) {
    sign = 0x00;
    value = -value - 1;
  }
  value >>= 3;  // 16-bit to 13-bit
  if (value > 0x0FFF) value = 0x0FFF;
  uint8_t code;
  if (value < 32) {
    code = static_cast<uint8_t>(value >> 1);
  } else {
    int segment = 1;
    while ((value >> (segment + 5)) > 0) ++segment;
    code = static_cast<uint8_t>((segment << 4) | ((value >> segment) & 0x0F));
  }
  return static_cast<uint8_t>((code | sign) ^ 0x55);
}

const std::string& ToneFrameALaw() {
  static const std::string frame = [] {
    std::string f(160, '\0');
    for (size_t i = 0; i < f.size(); ++i) {
      const double s = 4000.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 8000.0);
      f[i] = static_cast<char>(LinearToALaw(static_cast<int16_t>(std::lround(s))));
    }
    return f;
  }();
  return frame;
}

TRtpStream::TRtpStream(uint32_t ssrc, uint16_t firstSequence, uint32_t firstTimestamp)
    : ssrc_(ssrc), sequence_(firstSequence), timestamp_(firstTimestamp) {}

std::string TRtpStream::NextPacket() {
  const std::string& payload = ToneFrameALaw();
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);                          // version 2, no padding/extension/CSRC
  p[1] = static_cast<char>((first_ ? 0x80 : 0x00) | 8);  // marker on the first, PCMA
  p[2] = static_cast<char>(sequence_ >> 8);
  p[3] = static_cast<char>(sequence_ & 0xFF);
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>((timestamp_ >> (24 - 8 * i)) & 0xFF);
    p[8 + i] = static_cast<char>((ssrc_ >> (24 - 8 * i)) & 0xFF);
  }
  p += payload;
  first_ = false;
  ++sequence_;
  timestamp_ += static_cast<uint32_t>(payload.size());
  return p;
}
