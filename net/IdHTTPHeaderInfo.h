#pragma once
// The header sets of an HTTP request and response: raw lines plus the fields the client
// takes from them.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/IdConvert.h"
#include "net/IdDateTime.h"
#include "net/IdHeaderList.h"

// Fields every header set has.
class TIdEntityHeaderInfo {
 public:
  virtual ~TIdEntityHeaderInfo() = default;

  TIdHeaderList RawHeaders;  // the lines, in order
  std::string Connection;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::string ContentType;
  std::string ContentVersion;
  int64_t ContentLength = -1;      // -1: none (a request without a body)
  bool HasContentLength = false;   // a Content-Length header held a number of 0 or more
  TDateTime Date;                  // local time; the zero date when absent
  TDateTime Expires;
  TDateTime LastModified;
  std::string Pragma;

  // Empties the lines and the fields.
  virtual void Clear();
  // Takes the fields from RawHeaders.
  virtual void ProcessHeaders();
};

// What a request says besides its request line.
class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
 public:
  TIdRequestHeaderInfo();
  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string Host;
  std::string Referer;
  std::string UserAgent;

  // Fills RawHeaders from the fields, in wire order; empty fields (and a length of -1) are
  // left out.
  void SetHeaders();
};

// What a response's header lines say.
class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
 public:
  std::string Location;
  std::string Server;
  std::string ProxyConnection;
  std::string TransferEncoding;
  std::vector<std::string> WWWAuthenticate;    // every WWW-Authenticate line
  std::vector<std::string> ProxyAuthenticate;  // every Proxy-Authenticate line
  int64_t ContentRangeStart = 0;
  int64_t ContentRangeEnd = 0;
  int64_t ContentRangeInstanceLength = 0;

  void Clear() override;
  // Also raises EConvertError when a Content-Range start or end is not a decimal number
  // ("bytes */length" names none and reads as 0, 0).
  void ProcessHeaders() override;
};

// The user agent text requests carry.
extern const char* const IdHTTPUserAgent;
// Whole decimal number; EConvertError "'<text>' is not a valid integer value" otherwise.
int64_t IdStrToInt64(const std::string& text);
