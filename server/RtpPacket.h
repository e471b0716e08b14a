#pragma once
// RTP packets for the audio burst: a real RTP header (version 2, payload type 8) and 20 ms of
// G.711 A-law audio, so that a router or firewall that looks into the stream sees a plain call.
#include <cstdint>
#include <string>

// G.711 A-law code of one 16-bit linear sample.
uint8_t LinearToALaw(int16_t sample);

// 160 A-law bytes (20 ms at 8000 Hz) of a quiet 1 kHz tone; the same for every packet.
const std::string& ToneFrameALaw();

// One RTP stream: sequence number and timestamp grow by one packet per call.
class TRtpStream {
 public:
  TRtpStream(uint32_t ssrc, uint16_t firstSequence, uint32_t firstTimestamp);
  // The next packet: 12 header bytes (marker bit on the first) and the tone frame.
  std::string NextPacket();

 private:
  uint32_t ssrc_;
  uint16_t sequence_;
  uint32_t timestamp_;
  bool first_ = true;
};
