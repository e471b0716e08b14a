#include <gtest/gtest.h>

#include "net/IdHTTPHeaderInfo.h"
#include "net/IdHeaderList.h"
#include "tests/support/TzGuard.h"

namespace {

using support::TzGuard;

TIdHeaderList List(std::initializer_list<const char*> lines) {
  TIdHeaderList h;
  for (const char* l : lines) h.Add(l);
  return h;
}

TEST(HeaderList, lookup_with_continuation_lines) {
  const TIdHeaderList h = List({"Content-Type: text/plain", "X-Long: first part", "  second part", "\tthird",
                                "Set-Cookie: a=1", "set-cookie: b=2", "Empty:", "NoColon", "Last-Modified:   x y  "});
  struct Row { const char* name; const char* value; };
  const Row rows[] = {
      {"Content-Type", "text/plain"},
      {"CONTENT-TYPE", "text/plain"},
      {"x-long", "first part second part third"},
      {"Set-Cookie", "a=1"},  // the first of its name
      {"Empty", ""},
      {"NoColon", ""},
      {"Missing", ""},
      {"Last-Modified", "x y"},
      {"second part", ""},  // a continuation line is no header of its own
  };
  for (const Row& r : rows) EXPECT_EQ(h.Values(r.name), r.value) << r.name;
  EXPECT_EQ(h.AllValues("SET-COOKIE"), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(h.IndexOfName("set-cookie"), 4);
}

TEST(HeaderList, set_value_in_place_or_appended) {
  TIdHeaderList h = List({"Host: a", "X-Folded: one", " two", "Accept: */*"});
  h.SetValue("host", "b");
  h.SetValue("X-Folded", "new");
  h.SetValue("User-Agent", "me");
  EXPECT_EQ(h.Lines, (std::vector<std::string>{"host: b", "X-Folded: new", "Accept: */*", "User-Agent: me"}));
  h.SetValue("Accept", "");
  h.SetValue("Nothing", "");
  EXPECT_EQ(h.Lines, (std::vector<std::string>{"host: b", "X-Folded: new", "User-Agent: me"}));
}

TEST(HeaderList, folding_long_lines) {
  struct Row { std::string line; size_t max; std::vector<std::string> pieces; };
  const Row rows[] = {
      {"Short: line", 1024, {"Short: line"}},
      {"A: aaaa bbbb cccc", 10, {"A: aaaa", " bbbb cccc"}},
      {"A: aaaa bbbb cccc", 9, {"A: aaaa", " bbbb", " cccc"}},
      {"A: aa,bb,cc,dd", 8, {"A: aa,", " bb,cc,", " dd"}},
      {"A: aaaa   \tbbbb  ", 9, {"A: aaaa", " bbbb"}},
      {"A: xxxxxxxxxxxxxxxx yy", 10, {"A:", " xxxxxxxxxxxxxxxx", " yy"}},
      {"NoBreakAtAllInThisLine", 10, {"NoBreakAtAllInThisLine"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(FoldLine(r.line, r.max), r.pieces);
  }
}

TEST(HeaderList, folding_keeps_pieces_within_limit) {
  std::string value;
  for (int i = 0; i < 400; ++i) value += "token" + std::to_string(i) + (i % 3 ? ", " : " ");
  const std::string line = "Cookie: " + value;
  ASSERT_GT(line.size(), 2048u);
  TIdHeaderList h;
  h.Add(line);
  h.Add("Host: x");
  const auto folded = h.FoldedLines();
  ASSERT_GT(folded.size(), 3u);
  EXPECT_EQ(folded.back(), "Host: x");
  std::string joined;
  for (size_t i = 0; i + 1 < folded.size(); ++i) {
    EXPECT_LE(folded[i].size(), 1024u);
    EXPECT_NE(folded[i].back(), ' ');
    if (i > 0) {
      EXPECT_EQ(folded[i][0], ' ');
      EXPECT_NE(folded[i][1], ' ');
    }
    joined += folded[i];
  }
  // Nothing but blanks is lost.
  auto squeeze = [](std::string s) { std::erase(s, ' '); return s; };
  EXPECT_EQ(squeeze(joined), squeeze(line));
}

TEST(ResponseHeaders, fields_taken) {
  TzGuard tz("UTC0");
  TIdResponseHeaderInfo r;
  r.RawHeaders = List({"Content-Length: 1234", "Content-Type: text/csv", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT",
                       "Connection: Keep-Alive", "Location: /elsewhere", "Server: test", "Transfer-Encoding: chunked",
                       "WWW-Authenticate: Basic realm=\"a\"", "WWW-Authenticate: Digest realm=\"b\"",
                       "Content-Range: bytes 0-99/1234", "Proxy-Connection: close"});
  r.ProcessHeaders();
  EXPECT_EQ(r.ContentLength, 1234);
  EXPECT_TRUE(r.HasContentLength);
  EXPECT_EQ(r.ContentType, "text/csv");
  EXPECT_EQ(DateTimeToText(r.LastModified), "1994-11-06 08:49:37");
  EXPECT_EQ(r.Date, TDateTime{});
  EXPECT_EQ(r.Connection, "Keep-Alive");
  EXPECT_EQ(r.Location, "/elsewhere");
  EXPECT_EQ(r.Server, "test");
  EXPECT_EQ(r.TransferEncoding, "chunked");
  EXPECT_EQ(r.ProxyConnection, "close");
  EXPECT_EQ(r.WWWAuthenticate.size(), 2u);
  EXPECT_EQ(r.ContentRangeStart, 0);
  EXPECT_EQ(r.ContentRangeEnd, 99);
  EXPECT_EQ(r.ContentRangeInstanceLength, 1234);
}

TEST(ResponseHeaders, content_length_forms) {
  struct Row { const char* line; int64_t length; bool has; };
  const Row rows[] = {{"Content-Length: 0", 0, true}, {"Content-Length: 10", 10, true},
                      {"Content-Length: -5", -1, false}, {"Content-Length: abc", -1, false},
                      {"X: y", -1, false}};
  for (const Row& row : rows) {
    TIdResponseHeaderInfo r;
    r.RawHeaders.Add(row.line);
    r.ProcessHeaders();
    EXPECT_EQ(r.ContentLength, row.length) << row.line;
    EXPECT_EQ(r.HasContentLength, row.has) << row.line;
  }
}

TEST(ResponseHeaders, bad_content_range_raises_conversion_error) {
  TIdResponseHeaderInfo r;
  r.RawHeaders.Add("Content-Range: bytes x-99/100");
  try {
    r.ProcessHeaders();
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
  }
  r.Clear();
  r.RawHeaders.Add("Content-Range: bytes 5-/100");
  EXPECT_THROW(r.ProcessHeaders(), EConvertError);
}

TEST(RequestHeaders, lines_of_a_new_request) {
  TIdRequestHeaderInfo q;
  q.Host = "example.test:8080";
  q.SetHeaders();
  EXPECT_EQ(q.RawHeaders.Lines, (std::vector<std::string>{"Host: example.test:8080", "Accept: text/html, */*",
                                                          "User-Agent: Mozilla/3.0 (compatible; NAT SIP ALG tester)"}));
}

}  // namespace
