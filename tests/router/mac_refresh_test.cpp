#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "net/IdHTTPDate.h"
#include "router/FileTime.h"
#include "router/MacRefresh.h"
#include "tests/support/TempDir.h"
#include "tests/support/TzGuard.h"

namespace {

using namespace support;

TEST(MacRefresh, fetch_decision) {
  TempDir dir;
  const std::string path = dir.Write("MAC.CSV", "R,k,v\n");
  const int64_t fileTime = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  SetMtime(path, fileTime);
  struct Row { const char* serverDate; bool fetch; };
  const Row rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", false},  // equal: not fetched again
      {"Sun, 06 Nov 1994 08:49:38 GMT", true},
      {"Sun, 06 Nov 1994 08:49:36 GMT", false},
      {"Sun, 06 Nov 1994 09:49:38 +0100", true},
      {"", false},              // no usable Last-Modified: older than any file
      {"not a date", false},
  };
  for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
    const TzGuard zone(tz);
    for (const Row& r : rows)
      EXPECT_EQ(MacListNeedsFetch(path, InternetDateToLocal(r.serverDate)), r.fetch) << tz << " " << r.serverDate;
  }
  EXPECT_TRUE(MacListNeedsFetch(dir.File("missing.csv"), TDateTime{}));
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
