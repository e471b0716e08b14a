// The system time zone through the C library.
#include "net/IdDateTime.h"

#include <ctime>

int64_t LocalUtcOffsetSeconds(int64_t unixSeconds) {
  ::tzset();  // follow TZ changes made while the program runs
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}
