// The HTTP client reading what a list server sends: the input is the byte stream of the server,
// read by a GET alone and by the HEAD and GET of the vendor step, with the header fields, the
// bodies by each framing, the dates, the cookies and the URLs a response names.
#include <cstdint>
#include <string>
#include <vector>

#include "net/IdConvert.h"
#include "net/IdException.h"
#include "net/IdHTTP.h"
#include "net/IdHTTPDate.h"
#include "net/IdIOHandlerBytes.h"
#include "net/IdURI.h"
#include "server/MacList.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

const std::string kUrl = "http://list.test/download/MAC.CSV";
const std::string kRequestHead =
    " /download/MAC.CSV HTTP/1.1\r\nHost: list.test\r\nAccept: text/html, */*\r\n"
    "User-Agent: Mozilla/3.0 (compatible; NAT SIP ALG tester)\r\n";

bool IsDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "bytes first-last/length", with "*" for the range or the length: the forms a server may send.
bool ValidContentRange(const std::string& value) {
  const std::string v = IdTrim(value);
  if (v.compare(0, 6, "bytes ") != 0) return false;
  const std::string rest = IdTrim(v.substr(6));
  const size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  const std::string span = rest.substr(0, slash), length = rest.substr(slash + 1);
  if (length != "*" && (!IsDigits(length) || length.size() > 18)) return false;
  if (span == "*") return true;
  const size_t dash = span.find('-');
  return dash != std::string::npos && IsDigits(span.substr(0, dash)) && IsDigits(span.substr(dash + 1)) &&
         dash <= 18 && span.size() - dash - 1 <= 18;
}

// No byte of a request below a blank (a tab aside) except the CR LF that end its lines: nothing
// a response sets may split or bend the next request.
bool CleanRequest(const std::string& request) {
  for (size_t i = 0; i < request.size(); ++i) {
    const auto c = static_cast<unsigned char>(request[i]);
    if (c == '\r' && i + 1 < request.size() && request[i + 1] == '\n') {
      ++i;
      continue;
    }
    if ((c < 32 && c != '\t') || c == 127) return false;
  }
  return true;
}

int64_t PlusHourAndHalf(int64_t) { return 5400; }
int64_t Gmt(int64_t) { return 0; }

void CheckDate(const std::string& value) {
  if (IdTrim(value).empty()) return;
  const TDateTime east = InternetDateToLocal(value, PlusHourAndHalf);
  FUZZ_CHECK(east.Ms - InternetDateToLocal(value, Gmt).Ms == 5400000, "the zone passed in is the only offset: " + value);
  int64_t instant = 0;
  if (!ParseInternetDate(value, instant)) return;
  int year, month, day, hour, minute, second, ms;
  DecodeDateTime(UnixToDateTime(instant), year, month, day, hour, minute, second, ms);
  FUZZ_CHECK(year >= 1 && year <= 10000, "a date read lies within the calendar: " + value);
  if (year < 100 || year > 9999) return;  // two-digit years and the edge days do not survive a round trip
  int64_t again = 0;
  FUZZ_CHECK(ParseInternetDate(HttpDate(static_cast<std::time_t>(instant)), again) && again == instant,
             "the server's own form of a date reads back as the same instant: " + value);
}

void CheckUrl(const std::string& url) {
  TIdURI uri(url);
  FUZZ_CHECK(!uri.Path.empty() && uri.Path.front() == '/' && uri.Path.back() == '/', "a path runs from / to /: " + url);
  FUZZ_CHECK(uri.Host.find_first_of("/?#@:") == std::string::npos, "the host is one name: " + url);
  const int port = uri.PortNumber();
  FUZZ_CHECK(port == -1 || (port >= 1 && port <= 65535), "a port is a port");
  // What follows the authority comes back whole, bar the fragment.
  std::string rest = url.substr(0, url.find('#'));
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest.erase(0, scheme + 3);
  const size_t authorityEnd = rest.find_first_of("/?");
  rest = authorityEnd == std::string::npos ? std::string() : rest.substr(authorityEnd);
  FUZZ_CHECK(uri.RequestTarget() == (rest.compare(0, 1, "/") == 0 ? rest : "/" + rest), "the request target: " + url);
}

// A request carries a Cookie line only after a response set a cookie.
void CheckCookieLine(const std::string& request, const std::string& input) {
  if (!fuzz::Contains(request, "\r\nCookie: ")) return;
  FUZZ_CHECK(fuzz::Contains(IdLowerCase(input), "set-cookie"), "no cookie without a response that set one");
}

// How a request ended.
enum class Outcome { Success, ProtocolError, Failure };

// What holds for any response, whatever came of the request; the header fields once they were
// taken (the request did not break off before).
void CheckResponse(TIdHTTP& http, Outcome outcome) {
  const TIdHTTPResponse& r = http.Response();
  FUZZ_CHECK(r.ResponseCode == IdHTTPStatusCode(r.ResponseText), "the status code is the status line's");
  if (outcome != Outcome::Failure)
    FUZZ_CHECK(r.LastModified == InternetDateToLocal(r.RawHeaders.Values("Last-Modified")), "Last-Modified as read");
  for (const char* name : {"Date", "Last-Modified", "Expires"}) CheckDate(r.RawHeaders.Values(name));
  for (const std::string& cookie : r.RawHeaders.AllValues("Set-cookie")) {
    const size_t expires = IdUpperCase(cookie).find("EXPIRES=");
    if (expires != std::string::npos) CheckDate(cookie.substr(expires + 8, cookie.find(';', expires) - expires - 8));
  }
  if (!r.Location.empty()) CheckUrl(r.Location);
}

// A body as read: never more than the bytes that came, and for a success never more than the
// length announced, nor less unless the server closed.
void CheckBody(TIdHTTP& http, const TIdIOHandlerBytes& link, size_t inputSize, const TMemoryStream& body,
               Outcome outcome) {
  const TIdHTTPResponse& r = http.Response();
  const auto size = static_cast<size_t>(body.Size());
  FUZZ_CHECK(size <= link.Received(), "a body is never longer than the bytes read");
  if (outcome != Outcome::Success) return;
  FUZZ_CHECK(r.ResponseCode >= 200 && r.ResponseCode <= 299, "only a 2xx succeeds");
  if (r.ResponseCode == 204) {
    FUZZ_CHECK(size == 0, "204 has no body");
    return;
  }
  if (r.ContentLength > 0) {
    FUZZ_CHECK(body.Size() <= r.ContentLength, "a body is never longer than its Content-Length");
    if (body.Size() < r.ContentLength)
      FUZZ_CHECK(link.Received() == inputSize, "a body shorter than announced only when the server closed");
  }
}

// Runs one request. The failures a server can cause are exceptions of the transport and the
// protocol error; a conversion error only for a Content-Range that is not one. Anything else
// leaves the target as a finding.
template <typename Request>
Outcome Run(TIdHTTP& http, Request request) {
  try {
    request();
    return Outcome::Success;
  } catch (const EIdHTTPProtocolException& e) {
    const int code = http.ResponseCode();
    FUZZ_CHECK(code < 200 || code > 299 || !http.Response().Location.empty(), "a success is no protocol error");
    FUZZ_CHECK(e.ErrorCode() == code, "the protocol error carries the status code");
    FUZZ_CHECK(e.ErrorMessage.size() <= 65536, "an error body is kept only up to its cap");
    return Outcome::ProtocolError;
  } catch (const EConvertError&) {
    const std::string range = http.Response().RawHeaders.Values("Content-Range");
    FUZZ_CHECK(!ValidContentRange(range), "a valid Content-Range never fails a response: " + range);
  } catch (const EIdException&) {
  }
  return Outcome::Failure;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A network component alive for the whole run, so the socket layer is not made anew per input.
  static TIdIOHandlerBytes keepsTheSocketLayer("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::Text(data, size);

  {  // A GET on its own, the bytes arriving as fast as they are asked for.
    TIdIOHandlerBytes link(input);
    TIdHTTP http;
    http.SetIOHandler(&link);
    TMemoryStream body;
    const Outcome outcome = Run(http, [&] { http.Get(kUrl, &body); });
    CheckResponse(http, outcome);
    CheckBody(http, link, input.size(), body, outcome);
    FUZZ_CHECK(link.Sent == "GET" + kRequestHead + "\r\n", "the GET goes out as built");
  }

  {  // The vendor step's HEAD, then its GET, the bytes arriving a few at a time from a server
     // that keeps the connection open after them.
    TIdIOHandlerBytes link(input, 7, false);
    TIdHTTP http;
    http.SetIOHandler(&link);
    if (Run(http, [&] { http.Head(kUrl); }) == Outcome::Success) {
      CheckResponse(http, Outcome::Success);
      const size_t headBytes = link.Sent.size();
      TMemoryStream body;
      const Outcome outcome = Run(http, [&] { http.Get(kUrl, &body); });
      CheckResponse(http, outcome);
      CheckBody(http, link, input.size(), body, outcome);
      const std::string get = link.Sent.substr(headBytes);
      FUZZ_CHECK(get.compare(0, 3 + kRequestHead.size(), "GET" + kRequestHead) == 0, "the GET begins as built");
      FUZZ_CHECK(get.size() >= 4 && get.compare(get.size() - 4, 4, "\r\n\r\n") == 0, "the GET ends with its empty line");
      FUZZ_CHECK(CleanRequest(get), "no control byte in a request");
      CheckCookieLine(get, input);
    }
    FUZZ_CHECK(link.Sent.compare(0, 6 + kRequestHead.size(), "HEAD" + kRequestHead + "\r\n") == 0,
               "the HEAD goes out as built");
  }
  return 0;
}
