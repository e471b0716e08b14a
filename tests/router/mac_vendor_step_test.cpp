// The vendor step against a scripted list server on loopback.
#include <gtest/gtest.h>

#include <filesystem>

#include "net/IdStream.h"
#include "router/MacVendor.h"
#include "tests/router/VendorStep.h"
#include "tests/support/TempDir.h"
#include "tests/support/TcpPeer.h"

namespace {

using namespace support;

const std::string kList =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,001A2B,\"Example, Inc.\",Somewhere\r\n"
    "MA-M,001A2B3,Example Seven,\r\n"
    "MA-L,0A0B0C,Other Maker,\r\n";
const char* kServerDate = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr int64_t kServerTime = 784111777;  // the same instant

std::string HeadReply(const std::string& lastModified = kServerDate, size_t length = kList.size()) {
  std::string r = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n";
  if (!lastModified.empty()) r += "Last-Modified: " + lastModified + "\r\n";
  return r + "\r\n";
}
std::string GetReply(const std::string& body = kList) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nLast-Modified: " + kServerDate +
         "\r\n\r\n" + body;
}

using vendor_test::VendorLines;

std::vector<std::string> Methods(TcpPeer& peer) {
  std::vector<std::string> out;
  for (const std::string& r : peer.Requests()) out.push_back(r.substr(0, r.find(' ')));
  return out;
}

TEST(MacVendorStep, first_start_fetches_second_sends_only_head) {
  TempDir dir;
  const std::string file = dir.File("MAC.CSV");
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{HeadReply()}, {GetReply()}, {HeadReply()}}).Start();
  EXPECT_EQ(VendorLines(peer.Url(), file),
            (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list", "Example Seven"}));
  EXPECT_EQ(ReadFileBytes(file), kList);
  EXPECT_EQ(Methods(peer), (std::vector<std::string>{"HEAD", "GET"}));
  EXPECT_EQ(peer.Connections(), 1);  // the GET went over the HEAD's connection

  EXPECT_EQ(VendorLines(peer.Url(), file), (std::vector<std::string>{"Downloading MAC list... ", "Example Seven"}));
  EXPECT_EQ(Methods(peer), (std::vector<std::string>{"HEAD", "GET", "HEAD"}));
}

// Whether the server's date makes the step fetch, for a file of a given age.
TEST(MacVendorStep, refresh_decision_by_date) {
  struct Row {
    const char* name;
    int64_t fileTime;       // the existing file's modification time; 0: no file
    std::string lastModified;
    bool fetch;
  };
  const Row rows[] = {
      {"older file", kServerTime - 1, kServerDate, true},
      {"same time", kServerTime, kServerDate, false},
      {"newer file", kServerTime + 3600, kServerDate, false},
      {"no Last-Modified, file", kServerTime - 1000000, "", false},
      {"no Last-Modified, no file", 0, "", true},
      {"unreadable Last-Modified", kServerTime - 1000000, "yesterday", false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    TempDir dir;
    const std::string file = dir.File("MAC.CSV");
    const std::string old = "MA-L,001A2B,Old Maker,\n";
    if (r.fileTime) {
      dir.Write("MAC.CSV", old);
      SetMtime(file, r.fileTime);
    }
    TcpPeer peer(TestAddress());
    peer.AnswerRequests({{HeadReply(r.lastModified)}, {GetReply()}}).Start();
    const auto lines = VendorLines(peer.Url(), file);
    std::vector<std::string> expected{"Downloading MAC list... "};
    if (r.fetch) expected.push_back("Downloading new mac file list");
    expected.push_back(r.fetch ? "Example Seven" : "Old Maker");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(ReadFileBytes(file), r.fetch ? kList : old);
    EXPECT_EQ(peer.Requests().size(), r.fetch ? 2u : 1u);
  }
}

// Failures of the server side: one line, the old list untouched (bytes and time), the lookup
// on what there was.
TEST(MacVendorStep, failures_keep_the_old_list) {
  struct Row {
    const char* name;
    std::vector<Reply> replies;
  };
  const Row rows[] = {
      {"GET cut short", {{HeadReply()}, {GetReply().substr(0, GetReply().size() - 20), true}}},
      {"GET cut short, no length",
       {{HeadReply()}, {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nMA-L,0A0B0C,Part", true}}},
      {"GET 404", {{HeadReply()}, {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}},
      {"GET reset", {{HeadReply()}, {"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nMA-L", false, true}}},
      {"HEAD 500", {{"HTTP/1.1 500 Broken\r\nContent-Length: 0\r\n\r\n"}}},
      {"HEAD redirect", {{"HTTP/1.1 302 Found\r\nLocation: http://" + TestAddress(1) + "/MAC.CSV\r\nContent-Length: 0\r\n\r\n"}}},
      {"HEAD closed", {{"", true}}},
      // A 200 without a single entry: it would name no maker, and its new time would block
      // every later fetch.
      {"GET 200, empty", {{HeadReply()}, {GetReply("")}}},
      {"GET 200, no line with three fields", {{HeadReply()}, {GetReply("<html>no list here</html>\r\n\r\n")}}},
      // A web app or captive portal that answers every path with its page.
      {"GET 200, a web page with commas",
       {{HeadReply()}, {GetReply("<html>\r\n<p>Welcome, guest, sign in</p>\r\n<p>a,b,c</p>\r\n</html>\r\n")}}},
      {"GET 200, a header line alone", {{HeadReply()}, {GetReply("Registry,Assignment,Organization Name\r\n")}}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    TempDir dir;
    const std::string old = "MA-L,001A2B,Old Maker,\r\n";
    const std::string file = dir.Write("MAC.CSV", old);
    SetMtime(file, kServerTime - 100);
    const FileStamp before = Mtime(file);
    TcpPeer peer(TestAddress());
    peer.AnswerRequests(r.replies).Start();
    const auto lines = VendorLines(peer.Url(), file);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "Downloading MAC list... ");
    EXPECT_EQ(lines[lines.size() - 2], "Exception in HTTP connection with " + peer.Ip());
    EXPECT_EQ(lines.back(), "Old Maker");
    EXPECT_EQ(ReadFileBytes(file), old);
    EXPECT_EQ(Mtime(file), before);
    EXPECT_EQ(dir.Count(), 1u);  // no partial download left behind
  }
}

TEST(MacVendorStep, unreachable_server_without_list) {
  TempDir dir;
  std::string url;
  {
    TcpPeer gone("127.0.0.1");  // a port nothing listens on once it is gone
    ASSERT_TRUE(gone.Ok());
    url = "http://localhost:" + std::to_string(gone.Port()) + "/download/MAC.CSV";
  }
  EXPECT_EQ(VendorLines(url, dir.File("MAC.CSV")),
            (std::vector<std::string>{"Downloading MAC list... ", "Exception in HTTP connection with localhost"}));
  EXPECT_EQ(dir.Count(), 0u);
}

// A server that takes the request and then says nothing does not hold the step for ever.
TEST(MacVendorStep, silent_server_times_out) {
  TempDir dir;
  const std::string old = "MA-L,001A2B,Old Maker,\n";
  const std::string file = dir.Write("MAC.CSV", old);
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({}).Start();  // no replies
  EXPECT_EQ(VendorLines(peer.Url(), file, "001A2B3C4D5E", TIdTransferLimits{1000, 300, 180000}), (std::vector<std::string>{"Downloading MAC list... ", "Exception in HTTP connection with " + peer.Ip(),
                                             "Old Maker"}));
  EXPECT_EQ(ReadFileBytes(file), old);
}

// A list server whose address swallows the connect (its accept queue is full) fails the step
// within the step's own connect limit instead of the system's minutes.
TEST(MacVendorStep, swallowed_connect_gives_up_within_its_limit) {
  TempDir dir;
  const std::string old = "MA-L,001A2B,Old Maker,\n";
  const std::string file = dir.Write("MAC.CSV", old);
  const std::string ip = TestAddress();
  support::FullBacklogListener silent(ip);
  if (!silent.Full()) GTEST_SKIP() << "could not fill the listener's accept queue";
  const std::string url = "http://" + ip + ":" + std::to_string(silent.Port()) + "/download/MAC.CSV";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VendorLines(url, file), (std::vector<std::string>{"Downloading MAC list... ",
                                                           "Exception in HTTP connection with " + ip, "Old Maker"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kVendorConnectTimeoutMs + 3000));
  EXPECT_EQ(ReadFileBytes(file), old);
}

TEST(MacVendorStep, no_maker_known) {
  TempDir dir;
  const std::string file = dir.Write("MAC.CSV", kList);
  SetMtime(file, kServerTime);
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{HeadReply()}, {HeadReply()}}).Start();
  EXPECT_EQ(VendorLines(peer.Url(), file, "FFFFFF000000"), (std::vector<std::string>{"Downloading MAC list... "}));
  EXPECT_EQ(VendorLines(peer.Url(), file, "000000000000"), (std::vector<std::string>{"Downloading MAC list... "}));
}

// The registry's real list, served and then searched.
TEST(MacVendorStep, real_ieee_list) {
  const std::string src = "/usr/share/ieee-data";
  if (!std::filesystem::exists(src + "/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  std::string body;
  for (const char* f : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"}) body += ReadFileBytes(src + "/" + f);
  TempDir dir;
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{HeadReply(kServerDate, body.size())}, {GetReply(body)}}).Start();
  const std::string file = dir.File("MAC.CSV");
  std::vector<std::string> lines, waits;
  RefreshAndLookupVendor(peer.Url(), file, "001A2B3C4D5E", [&](const std::string& l) { lines.push_back(l); }, {},
                         [&](const std::string& w) { waits.push_back(w); });
  EXPECT_EQ(lines, (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list",
                                             "Ayecom Technology Co., Ltd."}));
  EXPECT_TRUE(ReadFileBytes(file) == body);
  // The status bar follows the download: the amount so far, growing, up to the whole list.
  ASSERT_GE(waits.size(), 3u);
  EXPECT_EQ(waits.front(), "Downloading MAC list...");
  EXPECT_EQ(waits.back(), "Downloading MAC list... " + std::to_string(body.size() / 1024) + " KB");
  for (size_t i = 2; i < waits.size(); ++i) {
    const auto kb = [](const std::string& w) { return std::stol(w.substr(w.rfind("... ") + 4)); };
    EXPECT_LT(kb(waits[i - 1]), kb(waits[i])) << waits[i];
  }
}

// A list that cannot be kept is said as such, naming the file and the cause, not as a failed
// download.
TEST(MacVendorStep, list_that_cannot_be_written) {
  TempDir dir;
  const std::string file = dir.File("gone/MAC.CSV");
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{HeadReply()}, {GetReply()}}).Start();
  EXPECT_EQ(VendorLines(peer.Url(), file),
            (std::vector<std::string>{"Downloading MAC list... ", "Downloading new mac file list",
                                      "Cannot write the vendor list " + std::filesystem::absolute(file).string() +
                                          ": No such file or directory; the old list, if any, stays"}));
}

TEST(MacVendorStep, unreadable_list_raises) {
  TempDir dir;
  const std::string file = dir.File("MAC.CSV");
  std::filesystem::create_directory(file);  // exists, but is no file
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{HeadReply("")}}).Start();
  EXPECT_THROW(VendorLines(peer.Url(), file), EFOpenError);
}

}  // namespace
