#pragma once
// The control connection of a run as a scripted echo server fills it, for stand-ins of the
// tester's network: the bytes exactly as on the wire, read up to a terminator, and a clock on
// which a read that finds no terminator takes its whole wait.
#include <cstdint>
#include <string>

#include "probes/Sequencer.h"
#include "proto/XorUnit.h"

namespace support {

struct ControlWire {
  std::string buffered;
  int64_t now = 1'000'000;

  // The bytes before the terminator (consumed with it), or "" once the wait is over.
  std::string ReadLine(const std::string& terminator, int timeoutMs) {
    const size_t p = buffered.find(terminator);
    if (p == std::string::npos) {
      now += timeoutMs;
      return "";
    }
    std::string line = buffered.substr(0, p);
    buffered.erase(0, p + terminator.size());
    return line;
  }
  // The server's echo of a datagram that reached its UDP port `port` from `from` (address:port).
  void EchoDatagram(const std::string& text, int port, const std::string& from) {
    buffered += Scramble("Received " + std::to_string(text.size()) + " bytes on UDP port " + std::to_string(port) +
                         " from " + from + "\r\n" + text) +
                EchoTerminator();
  }
};

}  // namespace support
