#include <gtest/gtest.h>

#include "net/IdCookie.h"
#include "tests/support/TzGuard.h"

namespace {

using support::TzGuard;

// A store whose clock stands still at a chosen local time.
struct Store {
  TIdCookieManager m;
  TDateTime now = EncodeDateTime(2024, 5, 1, 12, 0, 0);
  Store() { m.Now = [this] { return now; }; }
};

TEST(Cookie, parsing) {
  TzGuard tz("UTC0");
  const TDateTime now = EncodeDateTime(2024, 5, 1, 12, 0, 0);
  TIdCookieRFC2109 c;
  c.Parse(" sid = abc123 ; Path=\"/download/\"; Domain=.example.test; secure; Version=1; Comment=hi; x", now);
  EXPECT_EQ(c.CookieName, "sid");
  EXPECT_EQ(c.Value, "abc123");
  EXPECT_EQ(c.Path, "/download/");
  EXPECT_EQ(c.Domain, ".example.test");
  EXPECT_TRUE(c.Secure);
  EXPECT_EQ(c.Version, 1);
  EXPECT_EQ(c.Comment, "hi");
  EXPECT_FALSE(c.HasExpires);

  TIdCookieRFC2109 e;
  e.Parse("a=b; expires=Sun, 06 Nov 1994 08:49:37 GMT; max-age=60", now);
  EXPECT_TRUE(e.HasExpires);
  EXPECT_EQ(DateTimeToText(e.Expires), "1994-11-06 08:49:37");  // EXPIRES wins over MAX-AGE

  TIdCookieRFC2109 m;
  m.Parse("a=b; Max-Age=90", now);
  EXPECT_EQ(m.MaxAge, 90);
  EXPECT_EQ(m.Expires.Ms - now.Ms, 90000);

  TIdCookieRFC2965 v2;
  v2.Parse("a=b; Port=\"80,8080\"; Discard; CommentURL=\"http://x/\"; Path=/", now);
  EXPECT_EQ(v2.PortList, (std::vector<int>{80, 8080}));
  EXPECT_TRUE(v2.Discard);
  EXPECT_EQ(v2.CommentURL, "http://x/");
  TIdCookieRFC2965 v2b;
  v2b.Parse("a=b", now);
  EXPECT_EQ(v2b.PortList, (std::vector<int>{80}));
}

TEST(Cookie, domain_acceptance) {
  struct Row { const char* host; const char* domain; bool accepted; };
  const Row rows[] = {
      {"www.example.test", "www.example.test", true},
      {"www.example.test", "example.test", true},
      {"www.example.test", ".example.test", true},
      {"a.b.example.test", ".example.test", true},
      {"example.test", ".example.test", false},  // the host's part from its first "." is ".test"
      {"www.example.test", "other.test", false},
      {"www.example.test", "WWW.EXAMPLE.TEST", false},  // exact case
      {"www.example.test", ".other.test", false},
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.1", "10.0.0.2", false},
      {"localhost", "localhost", true},
  };
  for (const Row& r : rows) EXPECT_EQ(IdCookieDomainAccepted(r.host, r.domain), r.accepted) << r.host << " " << r.domain;

  Store s;
  EXPECT_TRUE(s.m.AddCookie("a=1; Path=/", "www.example.test"));
  EXPECT_FALSE(s.m.AddCookie("b=1; Path=/; Domain=evil.test", "www.example.test"));
  EXPECT_FALSE(s.m.AddCookie("; Path=/", "www.example.test"));
  EXPECT_EQ(s.m.CookieCollection.Count(), 1u);
  EXPECT_EQ(s.m.CookieCollection.Groups[0].Key, "www.example.test/");
}

TEST(Cookie, grouping_and_replacement) {
  Store s;
  s.m.AddCookie("a=1; Path=/", "host.test");
  s.m.AddCookie("b=2; Path=/", "host.test");
  s.m.AddCookie("A=3; Path=/", "host.test");           // same name in its group: replaces a
  s.m.AddCookie("a=4; Path=/download/", "host.test");  // another group
  s.m.AddCookie("a=5; Path=/", "HOST.TEST");           // group keys ignore case
  ASSERT_EQ(s.m.CookieCollection.Groups.size(), 2u);
  const auto& g = s.m.CookieCollection.Groups[0].Cookies;
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0]->CookieName, "a");
  EXPECT_EQ(g[0]->Value, "5");
  EXPECT_EQ(g[1]->Value, "2");
}

TEST(Cookie, selection_and_order) {
  Store s;
  const std::string host = "host.test";
  s.m.AddCookie("root=r; Path=/", host);
  s.m.AddCookie("dl=d; Path=/download/", host);
  s.m.AddCookie("deep=x; Path=/download/deeper/", host);  // path longer than the URL's
  s.m.AddCookie("nopath=n", host);                         // without a path: never sent
  s.m.AddCookie("sec=s; Path=/; Secure", host);            // plain HTTP: never sent
  s.m.AddCookie("empty=; Path=/", host);                   // empty value: not sent
  s.m.AddCookie("case=c; Path=/Download/", host);          // path prefix is exact case
  s.m.AddCookie("dl2=e; Path=/down", host);
  s.m.AddCookie("other=o; Path=/", "other.test");
  struct Row { const char* url; const char* line; };
  const Row rows[] = {
      {"http://host.test/download/MAC.CSV", "dl=d; dl2=e; root=r"},
      {"http://host.test/index.html", "root=r"},
      {"http://HOST.TEST/download/deeper/x", "deep=x; dl=d; dl2=e; root=r"},
      {"http://other.test/", "other=o"},
      {"http://third.test/", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(s.m.GenerateCookieList(TIdURI(r.url)), r.line) << r.url;
}

TEST(Cookie, expired_cookies_deleted) {
  TzGuard tz("UTC0");
  Store s;
  s.m.AddCookie("old=1; Path=/; Expires=Sun, 06 Nov 1994 08:49:37 GMT", "h.test");
  s.m.AddCookie("zero=1; Path=/; Max-Age=0", "h.test");
  s.m.AddCookie("minute=1; Path=/; Max-Age=60", "h.test");
  s.m.AddCookie("session=1; Path=/", "h.test");
  EXPECT_EQ(s.m.GenerateCookieList(TIdURI("http://h.test/")), "minute=1; session=1");
  EXPECT_EQ(s.m.CookieCollection.Count(), 2u);
  s.now.Ms += 61000;
  EXPECT_EQ(s.m.GenerateCookieList(TIdURI("http://h.test/")), "session=1");
}

}  // namespace
