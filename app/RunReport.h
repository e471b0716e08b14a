#pragma once
// The window's account of its last run beyond the panes: its summary, and the report that
// "Copy report" puts on the clipboard.
#include <string>

#include "probes/RunSummary.h"

class TForm1;

// The summary of the window's last run, as far as it has got.
TRunSummary SummariseLastRun(const TForm1& form);

// The text "Copy report" copies, of the last run only: a heading (the version, when it began,
// the local address and the server), the summary, the advice, then each pane's lines;
// lines end with LF.
std::string RunReportText(const TForm1& form);
