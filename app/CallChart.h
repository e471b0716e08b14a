#pragma once
// The test call per second as a chart, in a small window of its own beside the tester's: loss
// and jitter each way, where a user would rather look than read.
#include "probes/CallQuality.h"

class TForm1;

// Shows the chart of a call that has figures (made once, then updated); nothing while the
// window itself is not shown (the console front).
void ShowCallChart(TForm1& form, const TCallResult& call);
