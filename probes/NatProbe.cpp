#include "probes/NatProbe.h"

namespace {

// The value after a label: it starts one character after the label (that character is skipped,
// whatever it is) and ends before the next blank; without a blank after it there is no value.
int LabelValue(const std::string& text, size_t labelPos, size_t labelLength) {
  const size_t start = labelPos + labelLength + 1;
  std::string value;
  const size_t blank = start <= text.size() ? text.find(' ', start) : std::string::npos;
  if (blank != std::string::npos) value = text.substr(start, blank - start);
  return StrToInt(value);
}

const char kSentAfter[] = "Sent after";
const char kNextPktAfter[] = "Next pkt after";

}  // namespace

std::optional<int> HandleNatReport(const std::string& datagram, int senderPort, TNatAges& ages,
                                   const TNatLineSink& natPane, TRunResult* result) {
  const std::string text = datagram.substr(0, datagram.find('\0'));
  const size_t sent = text.find(kSentAfter);
  if (sent == std::string::npos) return std::nullopt;
  const int age = LabelValue(text, sent, sizeof kSentAfter - 1) / 1000;

  int* last = senderPort == 5058 ? &ages.LastNatSecs5058 : senderPort == 5060 ? &ages.LastNatSecs5060 : nullptr;
  if (last) {
    if (age == *last) return std::nullopt;
    *last = age;
  }
  const std::string port = std::to_string(senderPort);
  natPane("NAT session on port " + port + " ok after " + std::to_string(age) + "s");
  TRunResult::TNatPort* noted = result ? &result->Nat[senderPort] : nullptr;
  if (noted) {
    noted->HeldSecs.push_back(age);
    noted->NextSecs.reset();
    noted->LastAtMs = RunClockMs();
  }

  const size_t next = text.find(kNextPktAfter);
  if (next == std::string::npos) return std::nullopt;
  const int nextSecs = LabelValue(text, next, sizeof kNextPktAfter - 1) / 1000;
  natPane("Checking port " + port + " after " + std::to_string(nextSecs) + "s ...");
  if (noted) noted->NextSecs = nextSecs;
  // The announced seconds plus two ticks of margin (|nextSecs| is at most INT_MAX / 1000).
  return nextSecs + 2;
}

void WriteNatLeadIn(const TNatLineSink& natPane) {
  natPane(std::string(29, '-'));
  natPane(" Checking NAT session timeout");
  natPane(std::string(29, ' '));
}

std::optional<int> CountdownTick(const std::string& caption) {
  const int n = StrToInt(caption);
  if (n < 1) return std::nullopt;
  return n - 1;
}

void RtpVerdictStep(int& rtpCount, int& rtpPrevCount, int rtpPort, const TNatLineSink& rtpPane) {
  const int c = rtpCount;
  if (c > rtpPrevCount) {
    rtpPrevCount = c;
    return;
  }
  if (c <= 0) return;
  const std::string rule(31, '-');
  rtpPane(rule);
  rtpPane("RTP (audio) port " + std::to_string(rtpPort) + " working");
  rtpPane(std::to_string(c) + " pkts received");
  rtpPane(rule);
  rtpPrevCount = 0;
  rtpCount = 0;
}
