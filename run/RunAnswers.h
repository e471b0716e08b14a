#pragma once
// The answers of a run's result card, from its summary: whether a SIP ALG is in the way, how
// often a phone must keep its NAT mapping open, how a call would sound, and what to do first.
#include <vector>

#include "probes/RunSummary.h"
#include "run/RunObserver.h"

// One answer per topic, in the order of TRunAnswer::TTopic.
std::vector<TRunAnswer> RunAnswers(const TRunSummary& summary);
