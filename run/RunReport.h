#pragma once
// The report of one run: one value, made when the run ends, that every account of the run is
// rendered from (the window's summary, result line and copied report; the console's lines and
// its JSON object). Plain data, no window.
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "probes/RunResult.h"
#include "probes/RunSummary.h"
#include "probes/Sequencer.h"

struct TRunReport {
  TRunResult Result;     // what the run found, and how it ended
  TRunSummary Summary;   // its findings for a person, made from Result
  std::time_t Started = 0;        // wall-clock time of the start
  std::string LocalIp;            // the address it tested from; "" when none was chosen
  std::string ServerHost;         // the echo server as named
  int ServerPort = 0;             // its SIP port
  std::string ServerAddress;      // the address the control connection reached; "" when none
  int RtpPort = 0;                // the local RTP port
  bool Final = false;             // made at the run's end, after its closing lines
  // Every line the run wrote to a pane, in order.
  std::vector<std::pair<TPane, std::string>> Lines;

  // The lines of one pane.
  std::vector<std::string> PaneLines(TPane pane) const;
};

// A report of `result` as it stands at nowMs (RunClockMs()); the rest is filled in by the caller.
TRunReport MakeRunReport(const TRunResult& result, const std::string& localIp, int serverPort, int rtpPort,
                         int64_t nowMs);
