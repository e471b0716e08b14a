#include "net/IdURI.h"

#include "net/IdHeaderList.h"

void TIdURI::SetURI(const std::string& uri) {
  uri_ = uri;
  Protocol.clear(); Username.clear(); Password.clear(); Host.clear(); Port.clear();
  Path.clear(); Document.clear(); Params.clear(); Bookmark.clear();

  std::string s = uri;
  const size_t hash = s.find('#');
  if (hash != std::string::npos) {
    Bookmark = s.substr(hash + 1);
    s.erase(hash);
  }
  const size_t scheme = s.find("://");
  if (scheme != std::string::npos) {
    Protocol = s.substr(0, scheme);
    s = s.substr(scheme + 3);
  }
  // The authority runs to the first "/" or "?".
  const size_t authEnd = s.find_first_of("/?");
  std::string auth = s.substr(0, authEnd);
  s = authEnd == std::string::npos ? std::string() : s.substr(authEnd);
  const size_t at = auth.rfind('@');
  if (at != std::string::npos) {
    const std::string user = auth.substr(0, at);
    auth = auth.substr(at + 1);
    const size_t colon = user.find(':');
    Username = user.substr(0, colon);
    if (colon != std::string::npos) Password = user.substr(colon + 1);
  }
  const size_t colon = auth.find(':');
  Host = auth.substr(0, colon);
  if (colon != std::string::npos) Port = auth.substr(colon + 1);

  // Path up to the last "/" before the first "?" (or before the first "=" without a "?").
  const size_t query = s.find('?');
  const size_t limit = query != std::string::npos ? query : s.find('=');
  const size_t lastSlash = s.substr(0, limit).rfind('/');
  size_t docStart = 0;
  if (lastSlash != std::string::npos) {
    Path = s.substr(0, lastSlash + 1);
    docStart = lastSlash + 1;
  }
  Document = s.substr(docStart, query == std::string::npos ? std::string::npos : query - docStart);
  if (query != std::string::npos) Params = s.substr(query);
  if (Path.empty()) Path.push_back('/');
}

int TIdURI::PortNumber() const {
  if (Port.empty()) {
    if (Protocol.empty() || IdSameText(Protocol, "http")) return 80;
    if (IdSameText(Protocol, "https")) return 443;
    return -1;
  }
  if (Port.size() > 5) return -1;
  int v = 0;
  for (char c : Port) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535 ? v : -1;
}
