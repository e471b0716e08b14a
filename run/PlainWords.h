#pragma once
// A run's summary in plain words: after the first line that uses a term a person may not know
// (a NAT class, a busy mapping, MOS), a short line that says what it means; where two lines
// look as if they disagree (audio that came and audio that did not), a line that says what
// each one is about.
#include <string>
#include <vector>

#include "probes/RunSummary.h"

// The summary's lines, each followed by the explanations of the terms it uses first; an
// explanation line begins with two blanks.
std::vector<std::string> ExplainedSummaryLines(const TRunSummary& summary);
