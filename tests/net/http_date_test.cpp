#include <gtest/gtest.h>

#include "net/IdDateTime.h"
#include "net/IdHTTPDate.h"
#include "tests/support/TzGuard.h"

namespace {

using support::TzGuard;

// Central Europe with its summer time; New York with its own.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

TEST(DateTime, encode_decode_round_trip) {
  struct Row { int y, mo, d, h, mi, s; };
  const Row rows[] = {{1899, 12, 30, 0, 0, 0}, {1899, 12, 29, 19, 0, 0}, {1970, 1, 1, 0, 0, 0},
                      {2000, 2, 29, 23, 59, 59}, {2038, 1, 19, 3, 14, 8}, {1600, 3, 1, 12, 0, 0}};
  for (const Row& r : rows) {
    TDateTime t;
    ASSERT_TRUE(TryEncodeDateTime(r.y, r.mo, r.d, r.h, r.mi, r.s, 0, t));
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(t, y, mo, d, h, mi, s, ms);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}), (std::vector<int>{r.y, r.mo, r.d, r.h, r.mi, r.s, 0}));
  }
  EXPECT_EQ(EncodeDateTime(1899, 12, 30).Ms, 0);
  EXPECT_EQ(EncodeDateTime(1970, 1, 1), UnixToDateTime(0));
  EXPECT_EQ(DateTimeToUnix(EncodeDateTime(1994, 11, 6, 8, 49, 37)), 784111777);
  TDateTime t;
  EXPECT_FALSE(TryEncodeDateTime(1999, 2, 29, 0, 0, 0, 0, t));
  EXPECT_FALSE(TryEncodeDateTime(1999, 13, 1, 0, 0, 0, 0, t));
  EXPECT_FALSE(TryEncodeDateTime(1999, 1, 1, 24, 0, 0, 0, t));
}

// Every form gives the same instant.
TEST(InternetDate, forms_and_zones) {
  const int64_t sample = 784111777;  // 1994-11-06 08:49:37 GMT
  struct Row { const char* text; int64_t expected; };
  const Row rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", sample},
      {"Sunday, 06-Nov-94 08:49:37 GMT", sample},
      {"Sun Nov  6 08:49:37 1994", sample},
      {"Sun Nov 6 08:49:37 1994", sample},
      {"Sun,06 Nov 1994 08:49:37 GMT", sample},
      {"sun, 06 nov 1994 08:49:37 gmt", sample},
      {"06 Nov 1994 08:49:37 GMT", sample},
      {"  Sun, 06 Nov 1994 08:49:37 GMT  ", sample},
      {"Sun, 06 Nov 1994 08:49:37 UTC", sample},
      {"Sun, 06 Nov 1994 08:49:37 EST", sample},  // short zones count as GMT
      {"Sun, 06 Nov 1994 08:49:37", sample},
      {"Sun, 06 Nov 1994 09:49:37 +0100", sample},
      {"Sun, 06 Nov 1994 03:19:37 -0530", sample},
      {"Sun, 06 Nov 1994 09:49:37 +01:00", sample},
      {"Sun, 06 November 1994 08:49:37 GMT", sample},
      {"Nov 6 1994 08:49:37 GMT", sample},
      {"Sun, 06 Nov 1994 08:49 GMT", sample - 37},
      {"Sun, 06 Nov 1994 GMT", sample - (8 * 3600 + 49 * 60 + 37)},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Fri, 01-Jan-79 00:00:00 GMT", 3439756800},  // two-digit years below 80 are 20xx
      {"Tue, 01-Jan-80 00:00:00 GMT", 315532800},   // 80-99 are 19xx
      {"Mon, 29 Feb 2016 12:00:00 GMT", 1456747200},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    int64_t got = -1;
    ASSERT_TRUE(ParseInternetDate(r.text, got));
    EXPECT_EQ(got, r.expected);
  }
}

TEST(InternetDate, unreadable) {
  const char* rows[] = {"", "   ", "yesterday", "Sun, 06 Foo 1994 08:49:37 GMT", "Sun, 32 Nov 1994 08:49:37 GMT",
                        "Sun, 29 Feb 1995 08:49:37 GMT", "Sun, 06 Nov 1994 25:00:00 GMT", "06 Nov",
                        "Sun, 06 Nov 1994 08:49:37 +01x0", "Sun Nov 6 08:49:37"};
  for (const char* text : rows) {
    SCOPED_TRACE(text);
    int64_t got;
    EXPECT_FALSE(ParseInternetDate(text, got));
  }
}

// Local time follows the C library's zone, with the summer offset where it is in force.
TEST(InternetDate, local_time_with_daylight_saving) {
  struct Row { const char* tz; const char* text; const char* local; };
  const Row rows[] = {
      {"UTC0", "Sun, 06 Nov 1994 08:49:37 GMT", "1994-11-06 08:49:37"},
      {kBerlin, "Sun, 06 Nov 1994 08:49:37 GMT", "1994-11-06 09:49:37"},
      {kBerlin, "Sunday, 06-Nov-94 08:49:37 GMT", "1994-11-06 09:49:37"},
      {kBerlin, "Sun Nov  6 08:49:37 1994", "1994-11-06 09:49:37"},
      {kBerlin, "Mon, 06 Jun 1994 08:49:37 GMT", "1994-06-06 10:49:37"},
      {kBerlin, "Sun, 31 Mar 2024 00:59:59 GMT", "2024-03-31 01:59:59"},  // last second of winter time
      {kBerlin, "Sun, 31 Mar 2024 01:00:00 GMT", "2024-03-31 03:00:00"},  // first of summer time
      {kNewYork, "Sun, 06 Nov 1994 08:49:37 GMT", "1994-11-06 03:49:37"},
      {kNewYork, "Wed, 06 Jul 2022 12:00:00 +0200", "2022-07-06 06:00:00"},
      {"JST-9", "Sat, 31 Dec 2022 20:00:00 GMT", "2023-01-01 05:00:00"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.tz) + " " + r.text);
    TzGuard tz(r.tz);
    EXPECT_EQ(DateTimeToText(InternetDateToLocal(r.text)), r.local);
  }
}

TEST(InternetDate, empty_and_unreadable_give_zero_date) {
  {
    TzGuard tz(kBerlin);
    EXPECT_EQ(InternetDateToLocal(""), TDateTime{});
    EXPECT_EQ(InternetDateToLocal("  "), TDateTime{});
    // The zero date taken as GMT, then made local: the last days of 1899.
    const std::string t = DateTimeToText(InternetDateToLocal("not a date"));
    EXPECT_EQ(t.substr(0, 10), "1899-12-30");
  }
  {
    TzGuard tz(kNewYork);
    EXPECT_EQ(DateTimeToText(InternetDateToLocal("garbage")), "1899-12-29 19:00:00");
  }
}

}  // namespace
