#pragma once
// The console front's JSON object of a run (--json), made from the run's result.
#include <string>

#include "app/CliLines.h"

class TForm1;

// Version of the JSON object's layout; it grows when a field changes its meaning or goes.
inline constexpr int kJsonSchemaVersion = 4;

// The JSON object of a run (one line).
std::string CliJson(const TForm1& form, const TCliRecord& record, int exitStatus);
