#pragma once
// The console front's lines and exit statuses: the tagged lines of a run, what the front
// gathered beside the run's result, and what the run's end means as a status and in words.
#include <string>
#include <vector>

#include "probes/RunResult.h"
#include "run/RunReport.h"

// Exit statuses.
enum TCliExit {
  kExitClean = 0,
  kExitAlg = 1,
  kExitUnreachable = 2,
  kExitFailure = 3,
  kExitNoNatReport = 4,
  kExitLost = 5,  // a probe was lost on the way, and the check that would have judged it had no verdict
  kExitUsage = kExitFailure,  // bad options, or a --local-ip that is not this computer's
};

// One line as the console shows it: "[SIP] ", "[NAT] ", "[RTP] ", "[LOG] ", "[STATUS] " or
// "[ERROR] " followed by the text.
struct TCliLine {
  std::string Tag;   // SIP, NAT, RTP, LOG, STATUS, ERROR
  std::string Text;
};

// The output of one line: "[TAG] " and the text, once per piece of a text that holds line
// breaks (an error's text may), each ended by a line feed, so that every output line carries
// its tag.
std::string CliOutput(const TCliLine& line);

// What the front gathered over a run besides the run's result.
struct TCliRecord {
  std::vector<TCliLine> Lines;
  bool ErrorShown = false;      // an error or a message came (the window shows it in a box)
  bool WindowClosed = false;    // the run ended the program (the bind limit)
};

// The exit status of a run from its result and what the front saw: 1 when any check saw an
// ALG, whatever came after; 2 when the server was not reached; 5 when a probe was lost; 4 when
// no NAT session report came after the NAT INVITEs; 0 when the run completed otherwise; 3 for
// anything else.
int CliExitStatus(const TRunResult& result, const TCliRecord& record);

// What an exit status of the console front means, in a few words; `end` tells the ways a run
// falls short apart.
std::string CliExitMeaning(int exitStatus, TRunEnd end);

// The summary of a run as "RESULT" lines (the exit status last), then its advice as "ADVICE"
// lines.
std::vector<TCliLine> CliSummaryLines(const TRunReport& report, int exitStatus);
// The summary's lines with the exit status line last.
std::vector<std::string> CliResultTexts(const TRunReport& report, int exitStatus);
