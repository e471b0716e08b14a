#include "net/IdCookie.h"

#include <algorithm>

#include "net/IdHTTPDate.h"
#include "net/IdHeaderList.h"
#include "net/IdStack.h"

namespace {

bool ReadInt(const std::string& s, int& v) {
  if (s.empty() || s.size() > 9) return false;
  size_t i = 0;
  const bool negative = s[0] == '-';
  if (negative || s[0] == '+') i = 1;
  if (i == s.size()) return false;
  int out = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  v = negative ? -out : out;
  return true;
}

std::string Unquote(const std::string& s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

}  // namespace

void TIdNetscapeCookie::Parse(const std::string& headerValue, TDateTime now) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t semi = headerValue.find(';', start);
    parts.push_back(IdTrim(headerValue.substr(start, semi == std::string::npos ? std::string::npos : semi - start)));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  const std::string& first = parts[0];
  const size_t eq = first.find('=');
  CookieName = IdTrim(first.substr(0, eq));
  Value = eq == std::string::npos ? std::string() : IdTrim(first.substr(eq + 1));
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    const size_t e = parts[i].find('=');
    if (e == std::string::npos)
      ReadAttribute(IdUpperCase(parts[i]), std::string(), true);
    else
      ReadAttribute(IdUpperCase(IdTrim(parts[i].substr(0, e))), IdTrim(parts[i].substr(e + 1)), false);
  }
  if (!HasExpires && MaxAge >= 0) {
    HasExpires = true;
    Expires = TDateTime{now.Ms + int64_t{MaxAge} * 1000};
  }
}

void TIdNetscapeCookie::ReadAttribute(const std::string& name, const std::string& value, bool isFlag) {
  if (isFlag) {
    if (name == "SECURE") Secure = true;
    return;
  }
  if (name == "PATH") {
    Path = Unquote(value);
  } else if (name == "EXPIRES") {
    HasExpires = true;
    Expires = InternetDateToLocal(value);
  } else if (name == "DOMAIN") {
    Domain = value;
  } else if (name == "MAX-AGE") {
    int v;
    if (ReadInt(value, v)) MaxAge = v;
  } else if (name == "VERSION") {
    int v;
    if (ReadInt(Unquote(value), v)) Version = v;
  } else if (name == "COMMENT") {
    Comment = value;
  }
}

void TIdCookieRFC2965::ReadAttribute(const std::string& name, const std::string& value, bool isFlag) {
  if (isFlag && name == "DISCARD") {
    Discard = true;
    return;
  }
  if (!isFlag && name == "COMMENTURL") {
    CommentURL = Unquote(value);
    return;
  }
  if (!isFlag && name == "PORT") {
    PortList.clear();
    const std::string list = Unquote(value);
    size_t start = 0;
    for (;;) {
      const size_t comma = list.find(',', start);
      int port;
      if (ReadInt(IdTrim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)), port))
        PortList.push_back(port);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return;
  }
  TIdCookieRFC2109::ReadAttribute(name, value, isFlag);
}

void TIdCookies::Add(std::unique_ptr<TIdNetscapeCookie> cookie) {
  const std::string key = cookie->Domain + cookie->Path;
  auto group = std::find_if(Groups.begin(), Groups.end(), [&](const Group& g) { return IdSameText(g.Key, key); });
  if (group == Groups.end()) {
    Groups.push_back(Group{key, {}});
    group = Groups.end() - 1;
  }
  for (auto& existing : group->Cookies) {
    if (IdSameText(existing->CookieName, cookie->CookieName)) {
      existing = std::move(cookie);
      return;
    }
  }
  group->Cookies.push_back(std::move(cookie));
}

void TIdCookies::DeleteExpired(TDateTime now) {
  for (Group& g : Groups)
    g.Cookies.erase(std::remove_if(g.Cookies.begin(), g.Cookies.end(),
                                   [&](const std::unique_ptr<TIdNetscapeCookie>& c) { return c->IsExpired(now); }),
                    g.Cookies.end());
  Groups.erase(std::remove_if(Groups.begin(), Groups.end(), [](const Group& g) { return g.Cookies.empty(); }),
               Groups.end());
}

size_t TIdCookies::Count() const {
  size_t n = 0;
  for (const Group& g : Groups) n += g.Cookies.size();
  return n;
}

bool IdCookieDomainAccepted(const std::string& host, const std::string& domain) {
  auto endsWith = [](const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (domain.empty()) return false;
  if (TIdStack::IsAddressText(host) && domain == host) return true;
  if (domain[0] != '.') return endsWith(host, domain);
  const size_t dot = host.find('.');
  return dot != std::string::npos && endsWith(host.substr(dot), domain);
}

bool TIdCookieManager::AddCookie(const std::string& headerValue, const std::string& host, bool setCookie2) {
  // A value with control bytes (a tab aside) is dropped whole: sent back in a Cookie line they
  // would bend the next request.
  for (char c : headerValue)
    if ((static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127) return false;
  std::unique_ptr<TIdNetscapeCookie> cookie;
  if (setCookie2)
    cookie = std::make_unique<TIdCookieRFC2965>();
  else
    cookie = std::make_unique<TIdCookieRFC2109>();
  cookie->Parse(headerValue, Now());
  if (cookie->CookieName.empty()) return false;
  if (cookie->Domain.empty()) cookie->Domain = host;
  if (!IdCookieDomainAccepted(host, cookie->Domain)) return false;
  CookieCollection.Add(std::move(cookie));
  return true;
}

std::string TIdCookieManager::GenerateCookieList(const TIdURI& uri) {
  CookieCollection.DeleteExpired(Now());
  const std::string where = IdUpperCase(uri.Host + uri.Path);
  std::vector<const TIdNetscapeCookie*> chosen;
  for (const TIdCookies::Group& g : CookieCollection.Groups) {
    if (where.find(IdUpperCase(g.Key)) == std::string::npos) continue;
    for (const auto& c : g.Cookies) {
      if (c->Path.empty() || uri.Path.compare(0, c->Path.size(), c->Path) != 0) continue;
      if (c->Secure || c->Value.empty()) continue;
      chosen.push_back(c.get());
    }
  }
  // Longer (more specific) paths first.
  std::stable_sort(chosen.begin(), chosen.end(), [](const TIdNetscapeCookie* a, const TIdNetscapeCookie* b) {
    return IdUpperCase(a->Path) > IdUpperCase(b->Path);
  });
  std::string line;
  for (const TIdNetscapeCookie* c : chosen) {
    if (!line.empty()) line += "; ";
    line += c->CookieText();
  }
  return line;
}
