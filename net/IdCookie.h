#pragma once
// Cookies that HTTP responses set, kept for the life of one client and sent back on its
// later requests.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/IdDateTime.h"
#include "net/IdURI.h"

// One cookie as a "Set-cookie" value describes it.
class TIdNetscapeCookie {
 public:
  virtual ~TIdNetscapeCookie() = default;

  std::string CookieName;
  std::string Value;
  std::string Domain;   // "" until set by the attribute or taken from the request's host
  std::string Path;     // "" when the cookie named none: such a cookie is never sent
  std::string Comment;
  bool Secure = false;
  int Version = 0;
  int MaxAge = -1;      // -1 when absent
  bool HasExpires = false;
  TDateTime Expires;    // local time; only when HasExpires

  // Reads a header value: "name=value; Attr=value; Flag; ...". `now` is the local time that
  // a MAX-AGE counts from.
  void Parse(const std::string& headerValue, TDateTime now);
  // True when the cookie has an expiry date that is not later than `now`.
  bool IsExpired(TDateTime now) const { return HasExpires && Expires <= now; }
  // "name=value" as a Cookie line carries it.
  std::string CookieText() const { return CookieName + "=" + Value; }

 protected:
  // An attribute "NAME=value" (name in upper case) or a flag "NAME" (value empty, isFlag).
  virtual void ReadAttribute(const std::string& upperName, const std::string& value, bool isFlag);
};

// A cookie from a "Set-cookie" header.
class TIdCookieRFC2109 : public TIdNetscapeCookie {};

// A cookie from a "Set-cookie2" header: also COMMENTURL, DISCARD and PORT, none of which
// changes when the cookie is sent.
class TIdCookieRFC2965 : public TIdCookieRFC2109 {
 public:
  std::string CommentURL;
  bool Discard = false;
  std::vector<int> PortList{80};

 protected:
  void ReadAttribute(const std::string& upperName, const std::string& value, bool isFlag) override;
};

// The store: cookies grouped by domain followed by path.
class TIdCookies {
 public:
  struct Group {
    std::string Key;  // domain + path, compared without regard to letter case
    std::vector<std::unique_ptr<TIdNetscapeCookie>> Cookies;
  };
  std::vector<Group> Groups;  // in the order they were made

  // Puts a cookie into its group; one of the same name (any case) there is replaced.
  void Add(std::unique_ptr<TIdNetscapeCookie> cookie);
  // Drops every cookie that has expired by `now`.
  void DeleteExpired(TDateTime now);
  size_t Count() const;
};

class TIdCookieManager {
 public:
  TIdCookies CookieCollection;
  // The local time now; tests may replace it.
  std::function<TDateTime()> Now = NowLocal;

  // Adds a cookie from a "Set-cookie" (setCookie2 false) or "Set-cookie2" value received in
  // answer to a request to `host`. Returns false when the cookie's domain is not acceptable
  // for that host, the value names no cookie or holds a control byte other than a tab, and the
  // cookie was dropped.
  bool AddCookie(const std::string& headerValue, const std::string& host, bool setCookie2 = false);
  // The Cookie line's value for a request to `uri` ("" when no cookie goes with it); expired
  // cookies are deleted first.
  std::string GenerateCookieList(const TIdURI& uri);
};

// Whether a cookie for `domain` may be taken from a response of `host`.
bool IdCookieDomainAccepted(const std::string& host, const std::string& domain);
