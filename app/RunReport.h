#pragma once
// The window's account of its last run beyond the panes: its report value, and the text that
// "Copy report" puts on the clipboard.
#include <string>

#include "run/RunReport.h"

class TForm1;

// The report of the window's last run, as far as it has got.
TRunReport ReportOfLastRun(const TForm1& form);

// The text "Copy report" copies, of one run: a heading (the version, when it began, the local
// address and the server), the summary, the advice, then each pane's lines; lines end with LF.
std::string RunReportText(const TRunReport& report);
