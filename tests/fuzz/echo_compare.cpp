// The echo comparison: CutLines on any text, and the echo of each probe compared with what was
// sent, both as the input stands and with one line of a true echo replaced by the input's
// first line.
#include <string>
#include <vector>

#include "probes/SipProbe.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

size_t CountCrLf(const std::string& s) {
  size_t n = 0;
  for (size_t at = s.find("\r\n"); at != std::string::npos; at = s.find("\r\n", at + 2)) ++n;
  return n;
}

void CheckCutLines(const std::string& input) {
  const size_t lines = CountCrLf(input);
  for (int n = -1; n <= 12; ++n) {
    std::string rest = input;
    const std::string cut = CutLines(rest, n);
    if (n <= 0) {
      FUZZ_CHECK(cut.empty() && rest == input, "no lines asked for, none taken");
      continue;
    }
    if (lines >= static_cast<size_t>(n)) {
      FUZZ_CHECK(cut + "\r\n" + rest == input, "the lines cut and the rest make the text");
      FUZZ_CHECK(CountCrLf(cut) == static_cast<size_t>(n - 1), "n lines hold n - 1 inner line ends");
      // Cutting a, then n - a, is cutting n.
      if (n > 1) {
        const int a = 1 + static_cast<int>(input.size() % static_cast<size_t>(n - 1));
        std::string twice = input;
        const std::string first = CutLines(twice, a);
        const std::string second = CutLines(twice, n - a);
        FUZZ_CHECK(first + "\r\n" + second == cut && twice == rest, "cuts add up");
      }
    } else {
      FUZZ_CHECK(rest.empty(), "too few lines: nothing stays");
      const size_t last = input.rfind("\r\n");
      FUZZ_CHECK(cut == (last == std::string::npos ? std::string() : input.substr(0, last)),
                 "too few lines: those there are");
    }
  }
}

// A result and its log agree: one OK line per equal line, a Sent/Rcvd pair per changed one.
void CheckLog(int result, int compared, const std::vector<std::string>& log) {
  FUZZ_CHECK(result <= 0 && result >= -compared, "a result counts changed lines");
  FUZZ_CHECK(log.size() == static_cast<size_t>(compared - result), "one log line per equal line, two per changed");
  static const std::string kOk[] = {"Request URI check: OK", "Via check:         OK", "From check:        OK",
                                    "To check:          OK", "CallId check:      OK", "Contact check:     OK",
                                    "SDP IP1 check:     OK", "SDP IP2 check:     OK", "SDP Port check:    OK"};
  size_t ok = 0;
  for (const std::string& line : log)
    for (const std::string& k : kOk) ok += line == k;
  FUZZ_CHECK(ok == static_cast<size_t>(compared + result), "an OK line for each equal line");
}

int Check(const TSipProbe& probe, bool invite, const std::string& echo) {
  std::vector<std::string> log;
  const auto sink = [&](const std::string& l) { log.push_back(l); };
  const int result = invite ? probe.CheckInviteEcho(echo, sink) : probe.CheckRegisterEcho(echo, sink);
  CheckLog(result, invite ? 9 : 6, log);
  return result;
}

std::vector<std::string> Lines(const std::string& message) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (size_t at; (at = message.find("\r\n", pos)) != std::string::npos; pos = at + 2) out.push_back(message.substr(pos, at - pos));
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::Text(data, size);
  CheckCutLines(input);

  TSipProbe probe;
  probe.BuildRegister("5f1c2a9e0b7d4c3e8a6f1d2b3c4e5f60", "5060", "192.168.1.20", "5060");
  probe.BuildInvite("5f1c2a9e0b7d4c3e8a6f1d2b3c4e5f60", "5060", "192.168.1.20", "5060", false, 5004);
  Check(probe, false, input);
  Check(probe, true, input);

  // The input's first line in place of one line of a true echo of the INVITE (the line chosen
  // by the input's length): the compared lines (request line and five headers, SDP o=, c= and
  // m=) count when they differ, the others never do.
  const std::string line = input.substr(0, input.find("\r\n"));
  std::vector<std::string> echo = Lines(probe.InviteMsg);
  const size_t i = size % echo.size();
  const bool counts = i <= 5 || i == 11 || i == 13 || i == 16;
  const int expected = counts && line != echo[i] ? -1 : 0;
  echo[i] = line;
  FUZZ_CHECK(Check(probe, true, Joined(echo)) == expected, "line " + std::to_string(i) + " replaced");
  return 0;
}
