#pragma once
// The console front's JSON object of a run (--json), made from the run's report.
#include <string>

#include "app/CliLines.h"
#include "run/RunReport.h"

// Version of the JSON object's layout; it grows when a field changes its meaning or goes.
inline constexpr int kJsonSchemaVersion = 4;

// The JSON object of a run (one line).
std::string CliJson(const TRunReport& report, const TCliRecord& record, int exitStatus);
