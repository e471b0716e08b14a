#pragma once
// Dates and times as the HTTP client and the vendor list use them: wall-clock times counted
// from the zero date, 1899-12-30 00:00, and their conversion from instants (Unix time) through
// the system's time zone.
#include <compare>
#include <cstdint>
#include <string>

// A wall-clock date and time (local unless said otherwise), in milliseconds since the zero
// date 1899-12-30 00:00. TDateTime{} is the zero date.
struct TDateTime {
  int64_t Ms = 0;
  auto operator<=>(const TDateTime&) const = default;
};

// False (and `out` untouched) for a date or time that does not exist (month 13, 30 February,
// hour 24 ...). Years 1 to 9999.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms, TDateTime& out);
// As above; a date or time that does not exist gives the zero date.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0);
void DecodeDateTime(TDateTime t, int& year, int& month, int& day, int& hour, int& minute, int& second, int& ms);
// "yyyy-mm-dd hh:nn:ss" (for reports and test messages).
std::string DateTimeToText(TDateTime t);

// Conversions between an instant (seconds since 1970-01-01 00:00 UTC) and the wall clock
// of GMT, without any zone.
TDateTime UnixToDateTime(int64_t unixSeconds);
int64_t DateTimeToUnix(TDateTime t);  // whole seconds, rounded down

// The system time zone's offset from GMT, in seconds east, in force at an instant (daylight
// saving included). Platform file.
int64_t LocalUtcOffsetSeconds(int64_t unixSeconds);
// The local wall-clock time of an instant.
TDateTime UnixToLocalDateTime(int64_t unixSeconds);
// The current local time, to the millisecond.
TDateTime NowLocal();
