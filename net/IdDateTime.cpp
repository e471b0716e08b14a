#include "net/IdDateTime.h"

#include <chrono>
#include <cstdio>

namespace {
using namespace std::chrono;

constexpr int64_t kMsPerDay = 86400000;
// Days from the zero date to 1970-01-01.
constexpr int64_t kUnixEpochDays = 25569;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

const sys_days kZeroDate = sys_days(year(1899) / December / 30);
}  // namespace

bool TryEncodeDateTime(int y, int mo, int d, int h, int mi, int s, int ms, TDateTime& out) {
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  const year_month_day ymd{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!ymd.ok()) return false;
  const int64_t days = (sys_days(ymd) - kZeroDate).count();
  out.Ms = days * kMsPerDay + ((h * 60 + mi) * 60 + s) * int64_t{1000} + ms;
  return true;
}

TDateTime EncodeDateTime(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTime t;
  TryEncodeDateTime(y, mo, d, h, mi, s, ms, t);
  return t;
}

void DecodeDateTime(TDateTime t, int& y, int& mo, int& d, int& h, int& mi, int& s, int& ms) {
  const int64_t days = FloorDiv(t.Ms, kMsPerDay);
  int64_t rest = t.Ms - days * kMsPerDay;
  const year_month_day ymd{kZeroDate + std::chrono::days(days)};
  y = static_cast<int>(ymd.year());
  mo = static_cast<int>(static_cast<unsigned>(ymd.month()));
  d = static_cast<int>(static_cast<unsigned>(ymd.day()));
  h = static_cast<int>(rest / 3600000);
  rest %= 3600000;
  mi = static_cast<int>(rest / 60000);
  rest %= 60000;
  s = static_cast<int>(rest / 1000);
  ms = static_cast<int>(rest % 1000);
}

std::string DateTimeToText(TDateTime t) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(t, y, mo, d, h, mi, s, ms);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return buf;
}

TDateTime UnixToDateTime(int64_t unixSeconds) { return TDateTime{(unixSeconds + kUnixEpochDays * 86400) * 1000}; }

int64_t DateTimeToUnix(TDateTime t) { return FloorDiv(t.Ms, 1000) - kUnixEpochDays * 86400; }

TDateTime UnixToLocalDateTime(int64_t unixSeconds) {
  return UnixToDateTime(unixSeconds + LocalUtcOffsetSeconds(unixSeconds));
}

TDateTime NowLocal() {
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const int64_t secs = FloorDiv(ms, 1000);
  TDateTime t = UnixToLocalDateTime(secs);
  t.Ms += ms - secs * 1000;
  return t;
}
