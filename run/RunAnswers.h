#pragma once
// The answers of a run's result card, from its summary: whether a SIP ALG is in the way, how
// often a phone must keep its NAT mapping open, how a call would sound, and what to do first.
// Each answer is one row as a person reads it ("SIP ALG: none seen").
#include <string>
#include <vector>

#include "probes/RunSummary.h"
#include "run/RunObserver.h"

// One answer per topic, in the order of TRunAnswer::TTopic.
std::vector<TRunAnswer> RunAnswers(const TRunSummary& summary);

// What an active ALG did to the probes of one finding, in words: "rewrites REGISTER and
// INVITE", "drops INVITE", "rewrites REGISTER, drops INVITE"; "" when nothing is known.
std::string AlgDeeds(const TAlgFinding& finding);
