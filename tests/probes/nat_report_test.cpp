#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probes/NatProbe.h"

namespace {

struct Pane {
  std::vector<std::string> lines;
  TNatLineSink sink() { return [this](const std::string& l) { lines.push_back(l); }; }
};

TEST(NatReport, reports_print_age_and_next_countdown) {
  struct Row {
    const char* name;
    std::string datagram;
    int port;
    std::optional<int> countdown;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"age and next", "Sent after 20000 Next pkt after 40000 ", 5060, 42,
       {"NAT session on port 5060 ok after 20s", "Checking port 5060 after 40s ..."}},
      {"next 60 s sets 62", "Sent after 30000 Next pkt after 60000 ", 5058, 62,
       {"NAT session on port 5058 ok after 30s", "Checking port 5058 after 60s ..."}},
      {"last report without next", "Sent after 160000 ", 5060, std::nullopt,
       {"NAT session on port 5060 ok after 160s"}},
      {"truncates toward zero", "Sent after 30999 ", 5060, std::nullopt, {"NAT session on port 5060 ok after 30s"}},
      {"text after a zero byte is not read", std::string("Sent after 5000 \0Next pkt after 9000 ", 37), 5060,
       std::nullopt, {"NAT session on port 5060 ok after 5s"}},
      {"labels anywhere, independent order", "xx Next pkt after 10000 yy Sent after 2000 ", 5060, 12,
       {"NAT session on port 5060 ok after 2s", "Checking port 5060 after 10s ..."}},
      {"any character after the label is skipped", "Sent after:7000 ", 4000, std::nullopt,
       {"NAT session on port 4000 ok after 7s"}},
      {"negative numbers print a sign", "Sent after -5000 ", 4000, std::nullopt,
       {"NAT session on port 4000 ok after -5s"}},
      {"not a report", "SIP/2.0 200 OK\r\n", 5060, std::nullopt, {}},
      {"labels are case-sensitive", "sent after 5000 ", 5060, std::nullopt, {}},
      {"below one second equals the starting age", "Sent after 999 Next pkt after 5000 ", 5060, std::nullopt, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TNatAges ages;
    Pane pane;
    EXPECT_EQ(HandleNatReport(r.datagram, r.port, ages, pane.sink()), r.countdown);
    EXPECT_EQ(pane.lines, r.lines);
  }
}

TEST(NatReport, deduplicates_per_server_port) {
  TNatAges ages;
  Pane pane;
  HandleNatReport("Sent after 30000 ", 5060, ages, pane.sink());
  // 30500 ms is also 30 s: ignored entirely, its announcement included.
  EXPECT_EQ(HandleNatReport("Sent after 30500 Next pkt after 60000 ", 5060, ages, pane.sink()), std::nullopt);
  // The other port keeps its own age.
  HandleNatReport("Sent after 30000 ", 5058, ages, pane.sink());
  // Ages that repeat after a different one are printed again.
  HandleNatReport("Sent after 60000 ", 5060, ages, pane.sink());
  HandleNatReport("Sent after 30000 ", 5060, ages, pane.sink());
  // Other server ports are never deduplicated.
  HandleNatReport("Sent after 30000 ", 5070, ages, pane.sink());
  HandleNatReport("Sent after 30000 ", 5070, ages, pane.sink());
  EXPECT_EQ(pane.lines, (std::vector<std::string>{
                            "NAT session on port 5060 ok after 30s", "NAT session on port 5058 ok after 30s",
                            "NAT session on port 5060 ok after 60s", "NAT session on port 5060 ok after 30s",
                            "NAT session on port 5070 ok after 30s", "NAT session on port 5070 ok after 30s"}));
  EXPECT_EQ(ages.LastNatSecs5060, 30);
  EXPECT_EQ(ages.LastNatSecs5058, 30);
}

TEST(NatReport, bad_numbers_raise_after_earlier_lines) {
  struct Row { const char* datagram; size_t linesBefore; int ageStored; };
  const Row rows[] = {
      {"Sent after 12x4 ", 0, 0},
      {"Sent after 5000", 0, 0},          // no blank after the value
      {"Sent after  5000 ", 0, 0},        // empty value
      {"Sent after", 0, 0},
      {"Sent after 8000 Next pkt after abc ", 1, 8},
      {"Sent after 8000 Next pkt after 9000", 1, 8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.datagram);
    TNatAges ages;
    Pane pane;
    EXPECT_THROW(HandleNatReport(r.datagram, 5060, ages, pane.sink()), EConvertError);
    EXPECT_EQ(pane.lines.size(), r.linesBefore);
    EXPECT_EQ(ages.LastNatSecs5060, r.ageStored);
  }
}

TEST(NatReport, countdown_runs_to_zero_then_ends) {
  EXPECT_EQ(CountdownTick("42"), 41);
  EXPECT_EQ(CountdownTick("1"), 0);
  EXPECT_EQ(CountdownTick("0"), std::nullopt);
  EXPECT_THROW(CountdownTick(""), EConvertError);
}

TEST(RtpProbe, verdict_after_flow_stops) {
  int count = 50, prev = 0;
  Pane pane;
  RtpVerdictStep(count, prev, 5004, pane.sink());  // still growing: noted
  EXPECT_EQ(prev, 50);
  EXPECT_TRUE(pane.lines.empty());
  RtpVerdictStep(count, prev, 5004, pane.sink());  // no growth: verdict, counters reset
  EXPECT_EQ(pane.lines, (std::vector<std::string>{std::string(31, '-'), "RTP (audio) port 5004 working",
                                                  "50 pkts received", std::string(31, '-')}));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(prev, 0);
  RtpVerdictStep(count, prev, 5004, pane.sink());  // nothing counted: nothing written
  EXPECT_EQ(pane.lines.size(), 4u);
}

TEST(IntText, strict_decimal) {
  struct Row { const char* text; int def; int expect; };
  const Row rows[] = {{"5070", 5060, 5070}, {"", 5060, 5060}, {"abc", 5060, 5060}, {"50:70", 5060, 5060},
                      {"+12", 0, 12}, {"-12", 0, -12}, {"2147483647", 0, 2147483647},
                      {"2147483648", 7, 7}, {"-2147483648", 0, -2147483647 - 1}, {" 1", 7, 7}};
  for (const Row& r : rows) EXPECT_EQ(StrToIntDef(r.text, r.def), r.expect) << r.text;
}

}  // namespace
