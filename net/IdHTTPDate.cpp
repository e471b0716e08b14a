#include "net/IdHTTPDate.h"

#include <cctype>
#include <vector>

namespace {

const char* const kDays[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool StartsWithName(const std::string& s, const char* name) {
  if (s.size() < 3) return false;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(s[static_cast<size_t>(i)])) != name[i]) return false;
  return true;
}

// 1-12 for a month name ("Nov", "NOVEMBER", "nov"), else 0.
int MonthNumber(const std::string& token) {
  for (size_t i = 0; i < token.size(); ++i)
    if (!std::isalpha(static_cast<unsigned char>(token[i]))) return 0;
  for (int m = 0; m < 12; ++m)
    if (StartsWithName(token, kMonths[m])) return m + 1;
  return 0;
}

// A whole non-negative decimal number of at most 9 digits.
bool ReadNumber(const std::string& s, int& value) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

std::vector<std::string> SplitBlanks(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    size_t j = i;
    while (j < s.size() && !IsBlank(s[j])) ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

// Seconds east of GMT of a zone text: +hhmm / -hhmm (a colon between is allowed); any other
// zone, GMT included, is GMT. False for a numeric zone that cannot be read.
bool ZoneOffset(const std::string& zone, int64_t& offset) {
  offset = 0;
  if (zone.size() <= 4 || (zone[0] != '+' && zone[0] != '-')) return true;
  std::string digits;
  for (size_t i = 1; i < zone.size(); ++i)
    if (zone[i] != ':') digits += zone[i];
  int hh, mm;
  if (digits.size() != 4 || !ReadNumber(digits.substr(0, 2), hh) || !ReadNumber(digits.substr(2, 2), mm)) return false;
  if (mm > 59) return false;
  offset = (hh * 3600 + mm * 60) * (zone[0] == '-' ? -1 : 1);
  return true;
}

}  // namespace

bool ParseInternetDate(const std::string& text, int64_t& unixSeconds) {
  std::string s = Trim(text);
  if (s.empty()) return false;

  // A leading day name ("Sun", "Sunday", with or without a comma and blanks after) is dropped.
  for (const char* d : kDays) {
    if (!StartsWithName(s, d)) continue;
    size_t i = 0;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == ',') ++i;
    while (i < s.size() && IsBlank(s[i])) ++i;
    s = s.substr(i);
    break;
  }

  // Day, month and year joined by "-" (06-Nov-94) or by blanks.
  const size_t firstBlank = s.find_first_of(" \t");
  const size_t dash = s.find('-', 1);
  if (dash != std::string::npos && (firstBlank == std::string::npos || dash < firstBlank))
    for (size_t i = 0; i < s.size() && i < firstBlank; ++i)
      if (s[i] == '-') s[i] = ' ';

  std::vector<std::string> t = SplitBlanks(s);
  if (t.size() < 3) return false;
  int month, day, year;
  if ((month = MonthNumber(t[0])) != 0) {
    if (!ReadNumber(t[1], day)) return false;
  } else {
    if (!ReadNumber(t[0], day) || (month = MonthNumber(t[1])) == 0) return false;
  }
  t.erase(t.begin(), t.begin() + 2);
  if (ReadNumber(t[0], year)) {
    t.erase(t.begin());
  } else {
    // The asctime form: the time comes before the year, which ends the text.
    if (!ReadNumber(t.back(), year)) return false;
    t.pop_back();
  }
  if (year < 80) year += 2000;
  else if (year < 100) year += 1900;

  int hour = 0, minute = 0, second = 0;
  if (!t.empty() && t[0].find(':') != std::string::npos) {
    const std::string time = t[0];
    t.erase(t.begin());
    int* parts[3] = {&hour, &minute, &second};
    size_t start = 0;
    for (int i = 0; i < 3 && start <= time.size(); ++i) {
      size_t colon = time.find(':', start);
      if (colon == std::string::npos) colon = time.size();
      std::string part = time.substr(start, colon - start);
      if (i == 2) part = part.substr(0, part.find('.'));  // fractions of a second are dropped
      if (!ReadNumber(part, *parts[i])) return false;
      start = colon + 1;
    }
    if (second == 60) second = 59;  // a leap second
  }

  int64_t zone = 0;
  if (!t.empty() && !ZoneOffset(t[0], zone)) return false;

  TDateTime gmt;
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, 0, gmt)) return false;
  unixSeconds = DateTimeToUnix(gmt) - zone;
  return true;
}

TDateTime InternetDateToLocal(const std::string& text, TUtcOffsetFunc zone) {
  if (Trim(text).empty()) return TDateTime{};
  int64_t instant;
  if (!ParseInternetDate(text, instant)) instant = DateTimeToUnix(TDateTime{});
  return UnixToDateTime(instant + zone(instant));
}
