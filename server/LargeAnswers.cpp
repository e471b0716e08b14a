#include "server/LargeAnswers.h"

#include <algorithm>

#include "proto/LargeSipWire.h"

void TLargeAnswers::OnDatagram(uint16_t port, uint32_t address, uint16_t sourcePort, size_t bytes) {
  TPort& p = ports_[port];
  if (bytes > p.Largest) p.Largest = bytes;
  const std::pair<uint32_t, uint16_t> source{address, sourcePort};
  if (std::find(p.Sources.begin(), p.Sources.end(), source) != p.Sources.end()) return;
  if (p.Sources.size() >= kSourcesPerPort) p.Sources.pop_front();
  p.Sources.push_back(source);
}

void TLargeAnswers::OnTcpMessage(uint16_t port, size_t bytes) {
  TPort& p = ports_[port];
  if (bytes > p.Largest) p.Largest = bytes;
}

std::vector<int> TLargeAnswers::Grant(uint16_t port, uint32_t address, uint16_t sourcePort,
                                      const std::vector<int>& sizes) {
  std::vector<int> granted;
  auto it = ports_.find(port);
  if (it == ports_.end()) return granted;
  TPort& p = it->second;
  const std::pair<uint32_t, uint16_t> source{address, sourcePort};
  if (std::find(p.Sources.begin(), p.Sources.end(), source) == p.Sources.end()) return granted;
  for (int bytes : sizes) {
    if (bytes < 1 || bytes > large_sip::kMaxDatagram || p.Sent.size() >= kAnswersPerPort || p.Sent.count(bytes))
      continue;
    if (static_cast<size_t>(bytes) > p.Largest + large_sip::kPaySlack) continue;
    p.Sent.insert(bytes);
    granted.push_back(bytes);
  }
  return granted;
}

size_t TLargeAnswers::Granted() const {
  size_t n = 0;
  for (const auto& [port, p] : ports_) n += p.Sent.size();
  return n;
}
