#pragma once
// The result of a run in one line, for the window's status bar ("Result: SIP ALG on port 5060;
// NAT time-out 20 to 30 s; see the log below"). Plain code made from the run's summary.
#include <optional>
#include <string>

#include "probes/RunSummary.h"

// The NAT time-out the run measured, as a figure: "20 to 30 s" for the shortest bracket whose
// next report never came, else "at least 20 s" for the longest idle time that held; nullopt
// when no report came.
std::optional<std::string> NatTimeoutFigure(const TRunSummary& summary);

// "Result: " and the findings that matter most, separated by "; ", ending with a pointer to
// the log pane, where the summary and the advice stand.
std::string RunHeadline(const TRunSummary& summary);
