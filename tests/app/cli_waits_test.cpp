// What the console front says while a run waits, from a script of events on a made-up clock:
// long waits announced when they start, no silence past its bound, a countdown in place only on
// a terminal.
#include <gtest/gtest.h>

#include <functional>

#include "app/CliWaits.h"

namespace {

// One event at a time (ms since the start): what happened, and what the waits then said.
struct Step {
  int64_t at;
  std::function<std::optional<std::string>(TCliWaits&, int64_t)> event;  // null: a tick
  std::string line;     // the line it printed ("" none)
  std::string inPlace;  // on a tick, the text shown in place ("" none)
};

Step At(int64_t at, std::function<std::optional<std::string>(TCliWaits&, int64_t)> event, std::string line = "") {
  return {at, std::move(event), std::move(line), ""};
}
Step TickAt(int64_t at, std::string line = "", std::string inPlace = "") { return {at, nullptr, std::move(line), std::move(inPlace)}; }

auto Announced(int port, int secs) {
  return [=](TCliWaits& w, int64_t now) { return w.NextReportAnnounced(port, secs, now); };
}
auto Printed() {
  return [](TCliWaits& w, int64_t now) -> std::optional<std::string> {
    w.Printed(now);
    return std::nullopt;
  };
}
auto InvitesSent() {
  return [](TCliWaits& w, int64_t now) -> std::optional<std::string> {
    w.NatInvitesSent(60, now);
    return std::nullopt;
  };
}
auto ReportCame() {
  return [](TCliWaits& w, int64_t now) -> std::optional<std::string> {
    w.NatReportCame(now);
    return std::nullopt;
  };
}
auto TimeoutEndsBy(std::optional<int64_t> at) {
  return [=](TCliWaits& w, int64_t) -> std::optional<std::string> {
    w.TimeoutTest(at);
    return std::nullopt;
  };
}
auto Ended() {
  return [](TCliWaits& w, int64_t) -> std::optional<std::string> {
    w.Ended();
    return std::nullopt;
  };
}

TEST(CliWaits, says_what_it_waits_for) {
  struct Row {
    const char* name;
    bool terminal;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"a long wait is announced once, then a line after each quiet spell",
       false,
       {At(0, Announced(5060, 40), "next NAT report on port 5060 expected in 40 s"), TickAt(1000), TickAt(19'000),
        TickAt(20'000, "next NAT report on port 5060 expected in 20 s"), TickAt(39'000),
        TickAt(40'000, "next NAT report on port 5060 due now"), At(41'000, Ended()), TickAt(90'000)}},
      {"a short wait is not announced; output in between resets the quiet spell",
       false,
       {At(0, Announced(5058, 10)), At(15'000, Printed()), TickAt(34'000), TickAt(35'500, "next NAT report on port 5058 due now")}},
      {"the wait for the first report, then a report without a next one",
       false,
       {At(0, InvitesSent()), TickAt(19'999), TickAt(20'000, "no NAT report yet, 20 s after the NAT session test INVITEs; giving up in 40 s"),
        At(21'000, ReportCame()), TickAt(41'000, "no further NAT report announced; Ctrl+C ends the run")}},
      {"before any wait is known, silence still gets a word",
       false,
       {At(5'000, Printed()), TickAt(24'000), TickAt(25'000, "still waiting: 20 s without news"), TickAt(44'000),
        TickAt(45'000, "still waiting: 20 s without news")}},
      {"on a terminal a known wait counts down in place, every tick",
       true,
       {At(0, Announced(5060, 40), "next NAT report on port 5060 expected in 40 s"),
        TickAt(1000, "", "next NAT report on port 5060 expected in 39 s"),
        TickAt(25'400, "", "next NAT report on port 5060 expected in 15 s"),
        At(30'000, Ended()), TickAt(31'000)}},
      {"what a step waits for comes first, as long as it lasts",
       false,
       {At(0, InvitesSent()), At(1000, [](TCliWaits& w, int64_t) -> std::optional<std::string> {
          w.StepWaiting("Waiting for the echo of the INVITE to port 5058 (send 2 of 3)");
          return std::nullopt;
        }),
        TickAt(20'000, "still waiting: Waiting for the echo of the INVITE to port 5058 (send 2 of 3)"),
        At(21'000, [](TCliWaits& w, int64_t) -> std::optional<std::string> {
          w.StepWaiting("");
          return std::nullopt;
        }),
        TickAt(40'000, "no NAT report yet, 40 s after the NAT session test INVITEs; giving up in 20 s")}},
      {"the NAT time-out test, once it outlasts the reports, is what the run waits for",
       false,
       {At(0, TimeoutEndsBy(100'000)), At(0, Announced(5060, 40), "next NAT report on port 5060 expected in 40 s"),
        TickAt(20'000, "NAT time-out test: its answer within 80 s"), At(30'000, TimeoutEndsBy(35'000)),
        TickAt(40'000, "next NAT report on port 5060 due now"), At(41'000, TimeoutEndsBy(70'000)),
        TickAt(60'000, "NAT time-out test: its answer within 10 s"), At(61'000, TimeoutEndsBy(std::nullopt)),
        TickAt(80'000, "next NAT report on port 5060 due now")}},
      {"... but not over the wait for a first report, which ends the run when it gives up",
       true,
       {At(0, InvitesSent()), At(0, TimeoutEndsBy(100'000)),
        TickAt(1000, "", "no NAT report yet, 1 s after the NAT session test INVITEs; giving up in 59 s")}},
      {"on a terminal, silence without a known wait is still a line",
       true,
       {At(0, Printed()), TickAt(20'000, "still waiting: 20 s without news")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TCliWaits waits(row.terminal);
    waits.Printed(0);
    for (const Step& s : row.steps) {
      SCOPED_TRACE(s.at);
      if (s.event) {
        EXPECT_EQ(s.event(waits, s.at).value_or(""), s.line);
      } else {
        const TCliWaits::TTick t = waits.Tick(s.at);
        EXPECT_EQ(t.Line.value_or(""), s.line);
        EXPECT_EQ(t.InPlace.value_or(""), s.inPlace);
      }
    }
  }
}

}  // namespace
