// The summary in plain words: each term explained once, right after the first line that uses it;
// lines that look as if they disagree say what each one is about.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "run/PlainWords.h"

namespace {

TRunSummary Reached() {
  TRunSummary s;
  s.Server = TServerReach::Reached;
  s.End = TRunEnd::CountdownRanOut;
  TAlgFinding f;
  f.Port = 5060;
  f.Verdict = TAlgFinding::TVerdict::None;
  s.Alg = {f, f};
  s.Alg[1].Port = 5058;
  return s;
}

TNatBehaviour Behaviour(bool oneAddress) {
  TNatBehaviour b;
  b.Answered = true;
  if (oneAddress) {
    b.MappingNotPortDependent = b.FilteringNotPortDependent = true;
  } else {
    b.Mapping = TNatKind::EndpointIndependent;
    b.Filtering = TNatKind::AddressAndPortDependent;
    b.Hairpin = true;
  }
  b.PortPreserved = !oneAddress;
  b.Public = stun::TEndpoint{};
  return b;
}

// The explanation lines after the summary line that starts with `head`.
std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& head) {
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(head, 0) == 0; });
  if (it == lines.end()) return {"<no line " + head + ">"};
  std::vector<std::string> out;
  for (++it; it != lines.end() && it->rfind("  ", 0) == 0; ++it) out.push_back(it->substr(0, it->find(':') + 1));
  return out;
}

TEST(PlainWords, each_term_once_after_its_first_line) {
  struct Row {
    const char* name;
    std::function<void(TRunSummary&)> setUp;
    std::string head;
    std::vector<std::string> told;  // each explanation up to its colon
  };
  const Row rows[] = {
      {"the first ALG line", [](TRunSummary&) {}, "SIP ALG on port 5060", {"  SIP ALG:"}},
      {"not the second", [](TRunSummary&) {}, "SIP ALG on port 5058", {}},
      {"the NAT class term by term", [](TRunSummary& s) { s.Behaviour = Behaviour(false); }, "NAT behaviour: ",
       {"  endpoint-independent mapping:", "  address and port dependent filtering:", "  port kept:",
        "  hairpinning yes:"}},
      {"a one-address server's class", [](TRunSummary& s) { s.Behaviour = Behaviour(true); }, "NAT behaviour: ",
       {"  one server address:", "  port changed:"}},
      {"the time-out test's mappings", [](TRunSummary& s) { s.NatTimeout = TNatTimeoutResult{}; },
       "NAT time-out of a busy mapping", {"  busy mapping:"}},
      {"inbound UDP blocked", [](TRunSummary& s) { s.End = TRunEnd::NoNatReport; },
       "Echo server: reached over TCP and UDP", {"  reached:"}},
      {"inbound UDP came", [](TRunSummary&) {}, "Echo server: reached over TCP and UDP", {}},
      {"unsolicited audio",
       [](TRunSummary& s) {
         s.RtpTested = true;
         s.RtpPort = 5004;
       },
       "RTP (audio) port 5004: no datagram", {"  unsolicited audio:"}},
      {"RTP not tested", [](TRunSummary& s) { s.RtpPort = 5004; }, "RTP (audio) port 5004: not tested", {}},
      {"MOS, on its first line alone",
       [](TRunSummary& s) {
         TCallResult c;
         c.Audio = TCallAudio::BothWays;
         c.BurstCame = true;
         c.Up = TCallDirection{};
         c.Up->Mos = 4.4;
         c.Down = c.Up;
         s.Call = c;
       },
       "Call quality sending", {"  MOS:"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRunSummary s = Reached();
    row.setUp(s);
    const std::vector<std::string> lines = ExplainedSummaryLines(s);
    EXPECT_EQ(After(lines, row.head), row.told);
    // Without the explanations, the summary as it is.
    std::vector<std::string> plain;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(plain),
                 [](const std::string& l) { return l.rfind("  ", 0) != 0; });
    EXPECT_EQ(plain, SummaryLines(s));
  }
}

}  // namespace
