#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "net/IdHTTPDate.h"
#include "router/FileTime.h"
#include "router/MacRefresh.h"
#include "tests/support/TempDir.h"
#include "tests/support/TzGuard.h"

namespace {

using namespace support;

// The server's Last-Modified as the vendor step reads it: an instant, or none.
std::optional<int64_t> ServerDate(const char* text) {
  int64_t instant = 0;
  return ParseInternetDate(text, instant) ? std::optional<int64_t>(instant) : std::nullopt;
}

TEST(MacRefresh, fetch_decision) {
  TempDir dir;
  const std::string path = dir.Write("MAC.CSV", "R,k,v\n");
  struct Row { int64_t fileTime; const char* serverDate; bool fetch; };
  const int64_t t = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const Row rows[] = {
      {t, "Sun, 06 Nov 1994 08:49:37 GMT", false},  // equal: not fetched again
      {t, "Sun, 06 Nov 1994 08:49:38 GMT", true},
      {t, "Sun, 06 Nov 1994 08:49:36 GMT", false},
      {t, "Sun, 06 Nov 1994 09:49:38 +0100", true},
      {t, "", false},  // no usable Last-Modified: older than any file
      {t, "not a date", false},
      // Inside the hour that repeats when summer time ends (29 Oct 2023 in CET): the file at
      // 00:30 UTC reads 02:30 local, the server's 01:15 UTC reads 02:15 local, yet is later.
      {1698539400, "Sun, 29 Oct 2023 01:15:00 GMT", true},
      {1698542100, "Sun, 29 Oct 2023 00:30:00 GMT", false},
  };
  for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
    const TzGuard zone(tz);
    for (const Row& r : rows) {
      SetMtime(path, r.fileTime);
      EXPECT_EQ(MacListNeedsFetch(path, ServerDate(r.serverDate)), r.fetch) << tz << " " << r.serverDate;
    }
  }
  EXPECT_TRUE(MacListNeedsFetch(dir.File("missing.csv"), std::nullopt));
}

TEST(MacRefresh, replace_when_fetch_succeeds) {
  TempDir dir;
  const std::string path = dir.Write("MAC.CSV", "old list\n");
  SetMtime(path, 784111777);
  ReplaceFileFrom(path, [](TStream& body) {
    body.Write("new ", 4);
    body.Write("list\n", 5);
  });
  EXPECT_EQ(ReadFileBytes(path), "new list\n");
  EXPECT_GT(Mtime(path).sec, 784111777);  // the time of the download
  EXPECT_EQ(dir.Count(), 1u);
  // And where there was no file before.
  const std::string fresh = dir.File("other.csv");
  ReplaceFileFrom(fresh, [](TStream& body) { body.Write("x", 1); });
  EXPECT_EQ(ReadFileBytes(fresh), "x");
}

TEST(MacRefresh, broken_fetch_keeps_old_file_and_time) {
  TempDir dir;
  const std::string original = "MA-L,001A2B,Old Vendor,\r\n";
  const std::string path = dir.Write("MAC.CSV", original);
  SetMtime(path, 784111777);
  const FileStamp before = Mtime(path);
  EXPECT_THROW(ReplaceFileFrom(path,
                               [](TStream& body) {
                                 body.Write("partial", 7);
                                 throw std::runtime_error("transfer broke");
                               }),
               std::runtime_error);
  EXPECT_EQ(ReadFileBytes(path), original);
  EXPECT_EQ(Mtime(path), before);
  EXPECT_EQ(dir.Count(), 1u);  // no temporary file left behind

  // Without a list before, none is left after.
  const std::string none = dir.File("none.csv");
  EXPECT_THROW(ReplaceFileFrom(none, [](TStream&) { throw std::runtime_error("refused"); }), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(none));
  EXPECT_EQ(dir.Count(), 1u);
}

TEST(MacRefresh, temporary_file_cannot_be_made) {
  TempDir dir;
  const std::string path = dir.File("no-such-dir/MAC.CSV");
  bool called = false;
  EXPECT_THROW(ReplaceFileFrom(path, [&](TStream&) { called = true; }), EFOpenError);
  EXPECT_FALSE(called);
}

}  // namespace
