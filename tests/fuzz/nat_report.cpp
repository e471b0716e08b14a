// A datagram on a SIP socket as the NAT session test reads it: the session report ("Sent after
// <ms> ", "Next pkt after <ms> ") from any sender port, and the countdown caption it sets.
#include <optional>
#include <string>
#include <vector>

#include "probes/NatProbe.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

struct Outcome {
  std::vector<std::string> lines;
  std::optional<int> countdown;
  bool convertError = false;
};

Outcome Handle(const std::string& datagram, int port, TNatAges& ages) {
  Outcome o;
  try {
    o.countdown = HandleNatReport(datagram, port, ages, [&](const std::string& l) { o.lines.push_back(l); });
  } catch (const EConvertError&) {
    o.convertError = true;  // a bad number: what came before it stays written
  }
  return o;
}

// "<prefix><integer><suffix>", the integer given back.
bool Shaped(const std::string& line, const std::string& prefix, const std::string& suffix, int& value) {
  if (line.size() < prefix.size() + suffix.size() + 1 || line.compare(0, prefix.size(), prefix) != 0 ||
      line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
  try {
    value = StrToInt(number);
  } catch (const EConvertError&) {
    return false;
  }
  return std::to_string(value) == number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string datagram = fuzz::Text(data, size);
  const std::string text = datagram.substr(0, datagram.find('\0'));
  for (int port : {5058, 5060, 5004}) {
    const std::string p = std::to_string(port);
    TNatAges ages;
    const Outcome first = Handle(datagram, port, ages);
    FUZZ_CHECK(first.lines.size() <= 2, "at most two lines per report");
    if (!fuzz::Contains(text, "Sent after")) FUZZ_CHECK(first.lines.empty() && !first.countdown, "no report, no line");
    int age = 0, next = 0;
    if (!first.lines.empty())
      FUZZ_CHECK(Shaped(first.lines[0], "NAT session on port " + p + " ok after ", "s", age), first.lines[0]);
    if (first.lines.size() == 2)
      FUZZ_CHECK(Shaped(first.lines[1], "Checking port " + p + " after ", "s ...", next), first.lines[1]);
    if (first.countdown) {
      FUZZ_CHECK(first.lines.size() == 2 && *first.countdown == next + 2, "the countdown is the announced time + 2");
      FUZZ_CHECK(!first.convertError, "a countdown only from a report read whole");
    }
    if (first.lines.size() == 2 && !first.convertError) FUZZ_CHECK(first.countdown.has_value(), "an announced report sets the countdown");

    // The same report again: known ports print an age once, others every time.
    const Outcome again = Handle(datagram, port, ages);
    if (port != 5004 && !first.lines.empty()) {
      FUZZ_CHECK(again.lines.empty() && !again.countdown && !again.convertError, "a repeated age is not printed");
    } else {
      FUZZ_CHECK(again.lines == first.lines && again.countdown == first.countdown, "an unknown port prints every report");
    }

    // What follows a zero byte is not read.
    TNatAges fresh;
    const Outcome cut = Handle(text + std::string(1, '\0') + "Sent after 1000 Next pkt after 5000 ", port, fresh);
    FUZZ_CHECK(cut.lines == first.lines && cut.countdown == first.countdown && cut.convertError == first.convertError,
               "bytes after a zero byte change nothing");
  }

  // The countdown caption: one less each tick, and the end below 1.
  try {
    const int n = StrToInt(datagram);
    const std::optional<int> tick = CountdownTick(datagram);
    FUZZ_CHECK(n < 1 ? !tick : tick && *tick == n - 1, "a tick counts down by one");
  } catch (const EConvertError&) {
  }
  return 0;
}
