#pragma once
// The window's account of its last run beyond the panes: the advice written to the log pane
// when a run ends, and the report that "Copy report" puts on the clipboard (the summary, the
// advice and every pane's lines).
#include <string>

#include "probes/RunSummary.h"

class TForm1;

// The summary of the window's last run, as far as it has got.
TRunSummary SummariseLastRun(const TForm1& form);

// The text "Copy report" copies: a heading, the summary, the advice, then each pane's lines;
// lines end with LF.
std::string RunReportText(const TForm1& form);
