#pragma once
// Internet dates as HTTP headers carry them (Date, Last-Modified, Expires, cookie expiries),
// in their three usual forms:
//   Sun, 06 Nov 1994 08:49:37 GMT      Sunday, 06-Nov-94 08:49:37 GMT      Sun Nov  6 08:49:37 1994
// with GMT, another short zone (read as GMT) or a numeric +hhmm / -hhmm offset.
#include <cstdint>
#include <string>

#include "net/IdDateTime.h"

// The instant an Internet date names, as Unix time; false when the text cannot be read.
bool ParseInternetDate(const std::string& text, int64_t& unixSeconds);

// A time zone: its offset from GMT in seconds east, in force at an instant (Unix time).
using TUtcOffsetFunc = int64_t (*)(int64_t unixSeconds);

// The date converted to the local time of `zone` (by default the system's time zone, daylight
// saving included). An empty text gives the zero date; a text that cannot be read gives the
// zero date taken as GMT and converted to local time.
TDateTime InternetDateToLocal(const std::string& text, TUtcOffsetFunc zone = LocalUtcOffsetSeconds);
