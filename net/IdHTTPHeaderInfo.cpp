#include "net/IdHTTPHeaderInfo.h"

#include "net/IdHTTPDate.h"

const char* const IdHTTPUserAgent = "Mozilla/3.0 (compatible; NAT SIP ALG tester)";

int64_t IdStrToInt64(const std::string& text) {
  const std::string t = IdTrim(text);
  size_t i = 0;
  const bool negative = !t.empty() && t[0] == '-';
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) i = 1;
  if (i >= t.size() || t.size() - i > 18) throw EConvertError("'" + text + "' is not a valid integer value");
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw EConvertError("'" + text + "' is not a valid integer value");
    v = v * 10 + (t[i] - '0');
  }
  return negative ? -v : v;
}

void TIdEntityHeaderInfo::Clear() {
  RawHeaders.Clear();
  Connection.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  ContentType.clear();
  ContentVersion.clear();
  ContentLength = -1;
  HasContentLength = false;
  Date = Expires = LastModified = TDateTime{};
  Pragma.clear();
}

void TIdEntityHeaderInfo::ProcessHeaders() {
  Connection = RawHeaders.Values("Connection");
  ContentVersion = RawHeaders.Values("Content-Version");
  ContentEncoding = RawHeaders.Values("Content-Encoding");
  ContentLanguage = RawHeaders.Values("Content-Language");
  ContentType = RawHeaders.Values("Content-Type");
  ContentLength = -1;
  HasContentLength = false;
  const std::string length = RawHeaders.Values("Content-Length");
  if (!length.empty()) {
    try {
      const int64_t n = IdStrToInt64(length);
      if (n >= 0) {
        ContentLength = n;
        HasContentLength = true;
      }
    } catch (const EConvertError&) {
      // not a length: counts as none
    }
  }
  Date = InternetDateToLocal(RawHeaders.Values("Date"));
  LastModified = InternetDateToLocal(RawHeaders.Values("Last-Modified"));
  Expires = InternetDateToLocal(RawHeaders.Values("Expires"));
  Pragma = RawHeaders.Values("Pragma");
}

TIdRequestHeaderInfo::TIdRequestHeaderInfo() {
  Accept = "text/html, */*";
  UserAgent = IdHTTPUserAgent;
}

void TIdRequestHeaderInfo::SetHeaders() {
  RawHeaders.Clear();
  auto put = [&](const char* name, const std::string& value) {
    if (!value.empty()) RawHeaders.Add(std::string(name) + ": " + value);
  };
  put("Host", Host);
  put("Accept", Accept);
  put("Accept-Charset", AcceptCharSet);
  put("Accept-Encoding", AcceptEncoding);
  put("Accept-Language", AcceptLanguage);
  put("Referer", Referer);
  put("User-Agent", UserAgent);
  put("Connection", Connection);
  put("Content-Type", ContentType);
  put("Content-Encoding", ContentEncoding);
  put("Content-Language", ContentLanguage);
  if (ContentLength >= 0) put("Content-Length", std::to_string(ContentLength));
  put("Pragma", Pragma);
}

void TIdResponseHeaderInfo::Clear() {
  TIdEntityHeaderInfo::Clear();
  Location.clear();
  Server.clear();
  ProxyConnection.clear();
  TransferEncoding.clear();
  WWWAuthenticate.clear();
  ProxyAuthenticate.clear();
  ContentRangeStart = ContentRangeEnd = ContentRangeInstanceLength = 0;
}

void TIdResponseHeaderInfo::ProcessHeaders() {
  TIdEntityHeaderInfo::ProcessHeaders();
  Location = RawHeaders.Values("Location");
  Server = RawHeaders.Values("Server");
  ProxyConnection = RawHeaders.Values("Proxy-Connection");
  TransferEncoding = RawHeaders.Values("Transfer-Encoding");
  WWWAuthenticate = RawHeaders.AllValues("WWW-Authenticate");
  ProxyAuthenticate = RawHeaders.AllValues("Proxy-Authenticate");
  ContentRangeStart = ContentRangeEnd = ContentRangeInstanceLength = 0;
  const std::string range = RawHeaders.Values("Content-Range");
  if (!range.empty()) {
    // "bytes first-last/length"
    const size_t blank = range.find(' ');
    const std::string byteRange = blank == std::string::npos ? range : IdTrim(range.substr(blank + 1));
    const size_t slash = byteRange.find('/');
    const std::string span = byteRange.substr(0, slash);
    // "*": no range (the answer to a range that cannot be served); positions unknown.
    if (IdTrim(span) != "*") {
      const size_t dash = span.find('-');
      ContentRangeStart = IdStrToInt64(span.substr(0, dash));
      ContentRangeEnd = IdStrToInt64(dash == std::string::npos ? std::string() : span.substr(dash + 1));
    }
    if (slash != std::string::npos) {
      try {
        ContentRangeInstanceLength = IdStrToInt64(byteRange.substr(slash + 1));
      } catch (const EConvertError&) {
        ContentRangeInstanceLength = 0;  // "*": unknown
      }
    }
  }
}
