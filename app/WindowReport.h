#pragma once
// The window's accounts of a run's report: the lines its end adds to the log pane, the result
// line of the status bar, and the text that "Copy report" puts on the clipboard.
#include <string>
#include <vector>

#include "run/RunReport.h"

// What the log pane gets at the end of a run: the server not reached, if so; a rule; the
// summary with its terms explained; the advice.
std::vector<std::string> WindowLogEndLines(const TRunReport& report);

// The text of an error box: the error's own text, and where it kept the run from reaching the
// echo server, the sentence that says so and what to try first.
std::string ErrorBoxText(const std::string& text, const TRunReport& report);

// Whether the start found a router ("" or "0.0.0.0": none).
bool RouterFound(const std::string& routerIp);

// The text "Copy report" copies, of one run: a heading (the version, when it began, the local
// address and the server), the summary, the advice, then each pane's lines, the log pane's end
// once the run is over; lines end with LF.
std::string RunReportText(const TRunReport& report);
