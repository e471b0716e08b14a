#include "net/IdHTTP.h"

#include "net/IdException.h"
#include "net/ScopeExit.h"

namespace {

// The wait for the rest of a failed response's body.
constexpr int kErrorBodyReadTimeoutMs = 2000;

// Hex number at the start of a chunk-size line, up to a blank or the ";" of an extension;
// 0 when there is none.
int64_t ChunkSize(const std::string& line) {
  const std::string text = IdTrim(line.substr(0, line.find_first_of(" \t;")));
  if (text.empty() || text.size() > 15) return 0;
  int64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return 0;
    v = v * 16 + d;
  }
  return v;
}

}  // namespace

int IdHTTPStatusCode(const std::string& statusLine) {
  const size_t first = statusLine.find(' ');
  if (first == std::string::npos) return -1;
  const size_t second = statusLine.find(' ', first + 1);
  const std::string text =
      IdTrim(statusLine.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
  if (text.empty() || text.size() > 9) return -1;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

void TIdHTTPResponse::Clear() {
  TIdResponseHeaderInfo::Clear();
  ResponseText.clear();
  ResponseCode = -1;
  KeepAlive = false;
}

// --- protocol ---

void TIdHTTPProtocol::BuildAndSendRequest(const TIdURI& uri) {
  Request.SetHeaders();
  if (client_.cookieManager_) {
    const std::string cookies = client_.cookieManager_->GenerateCookieList(uri);
    if (!cookies.empty()) Request.RawHeaders.SetValue("Cookie", cookies);
  }
  client_.OpenWriteBuffer(-1);
  try {
    client_.WriteLine(Request.Method + " " + uri.RequestTarget() + " HTTP/1.1");
    for (const std::string& line : Request.RawHeaders.FoldedLines())
      if (!line.empty()) client_.WriteLine(line);
    client_.WriteLine("");
    client_.CloseWriteBuffer();
  } catch (...) {
    client_.CancelWriteBuffer();
    throw;
  }
}

void TIdHTTPProtocol::RetrieveHeaders() {
  // Interim responses ("100 Continue") are read and dropped; each is one status line and a
  // header block taken off the connection, so the loop ends with the connection's data.
  for (;;) {
    TStream* const content = Response.ContentStream;
    Response.Clear();
    Response.ContentStream = content;
    Response.ResponseText = client_.ReadLine();
    Response.ResponseCode = IdHTTPStatusCode(Response.ResponseText);
    try {
      for (;;) {
        std::string line = client_.ReadLine();
        if (line.empty()) break;
        Response.RawHeaders.Add(std::move(line));
      }
    } catch (const EIdConnClosedGracefully&) {
      // The server closed before the end of the headers: what came counts.
      client_.Disconnect();
    }
    Response.ProcessHeaders();
    client_.ProcessCookies();
    if (Response.ResponseCode != 100) return;
  }
}

void TIdHTTPProtocol::ProcessResponse() {
  const int code = Response.ResponseCode;
  auto raiseProtocolError = [&] {
    // The body of a failed response becomes the exception's error text. A response to HEAD
    // and a 1xx, 204 or 304 response have none, whatever their headers announce: waiting for
    // one would only run into the read time-out.
    std::string errorText;
    const bool hasBody = Request.Method != "HEAD" && (code < 100 || code >= 200) && code != 204 && code != 304;
    if (hasBody && client_.IsConnected()) {
      TMemoryStream body;
      const int keep = client_.ReadTimeout;
      client_.ReadTimeout = kErrorBodyReadTimeoutMs;
      {
        const TScopeExit restore{[&] { client_.ReadTimeout = keep; }};
        client_.ReadResult(&body);
      }
      errorText = body.DataString();
    }
    throw EIdHTTPProtocolException(code, Response.ResponseText, errorText);
  };

  if ((code >= 300 && code <= 399 && code != 304) || !Response.Location.empty()) {
    std::string location = Response.Location;
    client_.DoOnRedirect(location);  // never followed
    raiseProtocolError();
  }
  if (code >= 200 && code <= 299) {
    if (!client_.IsConnected()) throw EIdException("Undefined situation");
    if (Response.ContentStream && code != 204) client_.ReadResult(Response.ContentStream);
    return;
  }
  if (code == 401) client_.DoOnAuthorization();
  if (code == 407) client_.DoOnProxyAuthorization();
  raiseProtocolError();
}

// --- client ---

TIdCustomHTTP::TIdCustomHTTP() : HTTPProto(*this) { SetPort(80); }

TIdCustomHTTP::~TIdCustomHTTP() = default;  // the connection closes with the TCP client

bool TIdCustomHTTP::DoOnAuthorization() { return false; }
bool TIdCustomHTTP::DoOnProxyAuthorization() { return false; }
bool TIdCustomHTTP::DoOnRedirect(std::string& /*location*/) { return HandleRedirects; }

void TIdCustomHTTP::ProcessCookies() {
  if (!AllowCookies) return;
  if (!cookieManager_) cookieManager_ = std::make_unique<TIdCookieManager>();
  const TIdHeaderList& h = HTTPProto.Response.RawHeaders;
  for (const std::string& v : h.AllValues("Set-cookie")) cookieManager_->AddCookie(v, URL.Host, false);
  for (const std::string& v : h.AllValues("Set-cookie2")) cookieManager_->AddCookie(v, URL.Host, true);
}

bool TIdCustomHTTP::ResponseAllowsKeepAlive() {
  CheckDisconnect(false, false);
  if (!IsConnected()) return false;
  const TIdHTTPResponse& r = HTTPProto.Response;
  return !IdSameText(IdTrim(r.Connection), "close") && !IdSameText(IdTrim(r.ProxyConnection), "close");
}

void TIdCustomHTTP::ReadResult(TStream* stream) {
  TIdHTTPResponse& r = HTTPProto.Response;
  if (r.ContentLength > 0) {
    try {
      ReadToStream(stream, r.ContentLength, false);
    } catch (const EIdConnClosedGracefully&) {
      // What arrived stays in the stream.
    }
    return;
  }
  if (IdLowerCase(r.TransferEncoding).find("chunked") != std::string::npos) {
    ReportStatus(TIdStatus::hsStatusText, "Chunk Started");
    // Each pass takes a size line and its data off the connection.
    for (int64_t size = ChunkSize(ReadLine()); size > 0; size = ChunkSize(ReadLine())) {
      ReadToStream(stream, size, false);
      ReadLine();  // the CR LF after the data
    }
    // Trailer lines, up to the empty line that ends the body.
    while (!ReadLine().empty()) {
    }
    return;
  }
  if (r.RawHeaders.IndexOfName("Content-Length") < 0) ReadToStream(stream, -1, true);
}

void TIdCustomHTTP::DoRequest(const std::string& method, const std::string& url, TStream* /*source*/,
                              TStream* content) {
  TIdHTTPProtocol& proto = HTTPProto;
  const bool keepAliveBefore = proto.Response.KeepAlive;
  proto.Response.Clear();
  proto.Request.Method = method;
  proto.Request.URL = url;
  proto.Response.ContentStream = content;

  URL.SetURI(url);
  if (IdSameText(URL.Protocol, "https")) throw EIdException("IOHandler value is not valid");
  if (!URL.Protocol.empty() && !IdSameText(URL.Protocol, "http"))
    throw EIdException("Unsupported protocol \"" + URL.Protocol + "\" in " + url);
  const int port = URL.PortNumber();
  if (port < 0) throw EIdException("Invalid port \"" + URL.Port + "\" in " + url);
  if (URL.Host.empty()) throw EIdException("No host in " + url);
  proto.Request.Host = port == 80 ? URL.Host : URL.Host + ":" + std::to_string(port);
  proto.Request.ContentLength = -1;

  if (LinkUp() && (Host() != URL.Host || Port() != port)) Disconnect();
  SetHost(URL.Host);
  SetPort(port);

  if (!keepAliveBefore) Disconnect();
  if (LinkUp()) {
    try {
      PollDisconnect(false);  // notices a server that closed the kept connection meanwhile
    } catch (const EIdSocketError&) {
      DropLink();  // reset meanwhile: a new connection serves
    }
  }
  if (!IsConnected()) Connect(ConnectTimeout);

  try {
    proto.BuildAndSendRequest(URL);
    proto.RetrieveHeaders();
    proto.ProcessResponse();
  } catch (const EIdHTTPProtocolException&) {
    // The answer was read whole: the connection serves on where the server allows it.
    proto.Response.KeepAlive = ResponseAllowsKeepAlive();
    if (!proto.Response.KeepAlive) Disconnect();
    throw;
  } catch (...) {
    // Part of an answer may still be on its way: this connection cannot serve another request.
    proto.Response.KeepAlive = false;
    Disconnect();
    throw;
  }
  proto.Response.KeepAlive = ResponseAllowsKeepAlive();
  if (!proto.Response.KeepAlive) Disconnect();
}

void TIdHTTP::Head(const std::string& url) { DoRequest("HEAD", url, nullptr, nullptr); }

void TIdHTTP::Get(const std::string& url, TStream* stream) {
  if (stream) {
    DoRequest("GET", url, nullptr, stream);
    return;
  }
  TMemoryStream discarded;  // the body still has to come off the connection
  DoRequest("GET", url, nullptr, &discarded);
}

std::string TIdHTTP::Get(const std::string& url) {
  TMemoryStream body;
  Get(url, &body);
  return body.DataString();
}
