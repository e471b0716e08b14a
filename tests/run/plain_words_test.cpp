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

// The explanation lines that follow the summary line starting with `head`, up to the next line
// of the summary.
std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& head) {
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(head, 0) == 0; });
  std::vector<std::string> out;
  if (it == lines.end()) return {"<no line " + head + ">"};
  for (++it; it != lines.end() && it->rfind("  ", 0) == 0; ++it) out.push_back(*it);
  return out;
}

TEST(PlainWords, each_term_once_after_its_first_line) {
  TRunSummary s = Reached();
  const std::vector<std::string> lines = ExplainedSummaryLines(s);
  // Two ALG lines, one explanation, after the first.
  EXPECT_EQ(After(lines, "SIP ALG on port 5060"),
            std::vector<std::string>{"  SIP ALG: a router feature that rewrites SIP messages on their way; it often "
                                     "breaks calls"});
  EXPECT_TRUE(After(lines, "SIP ALG on port 5058").empty());
  // Without the explanations, the summary as it is.
  std::vector<std::string> plain;
  for (const std::string& l : lines)
    if (l.rfind("  ", 0) != 0) plain.push_back(l);
  EXPECT_EQ(plain, SummaryLines(s));
}

TEST(PlainWords, the_nat_class_term_by_term) {
  TRunSummary s = Reached();
  TNatBehaviour b;
  b.Answered = true;
  b.Mapping = TNatKind::EndpointIndependent;
  b.Filtering = TNatKind::AddressAndPortDependent;
  b.PortPreserved = true;
  b.Hairpin = true;
  b.Public = stun::TEndpoint{};
  s.Behaviour = b;
  const std::vector<std::string> lines = ExplainedSummaryLines(s);
  const std::vector<std::string> told = After(lines, "NAT behaviour: ");
  ASSERT_EQ(told.size(), 4u) << testing::PrintToString(told);
  EXPECT_EQ(told[0].rfind("  endpoint-independent mapping: ", 0), 0u) << told[0];
  EXPECT_EQ(told[1].rfind("  address and port dependent filtering: ", 0), 0u) << told[1];
  EXPECT_EQ(told[2].rfind("  port kept: ", 0), 0u) << told[2];
  EXPECT_EQ(told[3], "  hairpinning yes: devices behind this router can reach each other through its public address");
}

TEST(PlainWords, one_server_address_is_explained_as_such) {
  TRunSummary s = Reached();
  TNatBehaviour b;
  b.Answered = true;
  b.MappingNotPortDependent = b.FilteringNotPortDependent = true;
  b.PortPreserved = false;
  b.Public = stun::TEndpoint{};
  s.Behaviour = b;
  const std::vector<std::string> told = After(ExplainedSummaryLines(s), "NAT behaviour: ");
  ASSERT_EQ(told.size(), 2u) << testing::PrintToString(told);
  EXPECT_EQ(told[0].rfind("  one server address: ", 0), 0u) << told[0];
  EXPECT_EQ(told[1].rfind("  port changed: ", 0), 0u) << told[1];
}

// Rows: what the summary holds, the line an explanation follows, whether one does.
TEST(PlainWords, lines_that_look_contradictory_say_what_they_are_about) {
  struct Row {
    const char* name;
    std::function<void(TRunSummary&)> setUp;
    std::string head;
    std::string first;  // the explanation's start; "" for none
  };
  const Row rows[] = {
      {"inbound UDP blocked", [](TRunSummary& s) { s.End = TRunEnd::NoNatReport; },
       "Echo server: reached over TCP and UDP", "  reached: what this computer sent got to the server; UDP that"},
      {"inbound UDP came", [](TRunSummary&) {}, "Echo server: reached over TCP and UDP", ""},
      {"unsolicited audio none, call both ways",
       [](TRunSummary& s) {
         s.RtpTested = true;
         s.RtpPort = 5004;
       },
       "RTP (audio) port 5004: no datagram", "  unsolicited audio: datagrams the server sent to this port before"},
      {"RTP not tested", [](TRunSummary& s) { s.RtpPort = 5004; }, "RTP (audio) port 5004: not tested", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRunSummary s = Reached();
    row.setUp(s);
    const std::vector<std::string> told = After(ExplainedSummaryLines(s), row.head);
    if (row.first.empty()) {
      EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
    } else {
      ASSERT_EQ(told.size(), 1u) << testing::PrintToString(told);
      EXPECT_EQ(told[0].rfind(row.first, 0), 0u) << told[0];
    }
  }
}

TEST(PlainWords, mos_and_the_time_out_test) {
  TRunSummary s = Reached();
  s.NatTimeout = TNatTimeoutResult{};
  TCallResult c;
  c.Seconds = 15;
  c.Audio = TCallAudio::BothWays;
  c.BurstCame = true;
  c.Up = TCallDirection{};
  c.Up->Mos = 4.4;
  c.Up->R = 93;
  c.Down = c.Up;
  s.Call = c;
  const std::vector<std::string> lines = ExplainedSummaryLines(s);
  EXPECT_EQ(After(lines, "NAT time-out of a busy mapping").at(0).rfind("  busy mapping: ", 0), 0u);
  EXPECT_EQ(After(lines, "NAT time-out of a new mapping").at(0).rfind("  new mapping: ", 0), 0u);
  EXPECT_EQ(After(lines, "Call quality sending").at(0).rfind("  MOS: how a call would sound, from 1 (bad) to 5", 0), 0u);
  EXPECT_TRUE(After(lines, "Call quality receiving").empty());
}

}  // namespace
