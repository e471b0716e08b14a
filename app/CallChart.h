#pragma once
// The test call per second as a chart, in a small window of its own beside the tester's: loss
// and jitter each way, where a user would rather look than read. The window is minimized and
// moved on its own.
#include <QPoint>
#include <QRect>

#include "probes/CallQuality.h"

class TForm1;

// Shows the chart of a call that has figures (made once, then updated); nothing while the
// window itself is not shown (the console front).
void ShowCallChart(TForm1& form, const TCallResult& call);

// Where the chart's window goes: right of the tester's window (`main`, its frame) when it fits
// on the screen's free area, at its top, else left of it, else against the screen's edge on the
// side with more room, level with the window's bottom; always within the screen's free area.
QPoint ChartPlace(const QRect& main, const QSize& chart, const QRect& screen);
