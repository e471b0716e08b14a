#pragma once
// The HTTP/1.1 client: HEAD and GET over one TCP connection that is kept open between
// requests where the server allows it, with the response's header fields, its body framed by
// length, by chunks or by the end of the connection, and the cookies responses set.
// Proxies, TLS, authentication and following redirects are not supported: answers that would
// need them end in an exception.
#include <memory>
#include <string>

#include "net/IdCookie.h"
#include "net/IdHTTPHeaderInfo.h"
#include "net/IdStream.h"
#include "net/IdTCPClient.h"
#include "net/IdURI.h"

class TIdCustomHTTP;

// What the request says.
class TIdHTTPRequest : public TIdRequestHeaderInfo {
 public:
  std::string Method;  // "HEAD", "GET"
  std::string URL;
};

// What came back for the last request; readable until the next one.
class TIdHTTPResponse : public TIdResponseHeaderInfo {
 public:
  std::string ResponseText;  // the status line as received
  int ResponseCode = -1;     // from the status line; -1 when it holds no number
  TStream* ContentStream = nullptr;  // where the body goes (the caller's stream; none for HEAD)
  bool KeepAlive = false;    // the connection may serve the next request

  void Clear() override;
};

// Proxy settings; none is used.
struct TIdProxyConnectionInfo {
  std::string ProxyServer;
  int ProxyPort = 0;
  std::string ProxyUsername;
  std::string ProxyPassword;
};

// Builds and sends one request and reads and judges its response.
class TIdHTTPProtocol {
 public:
  explicit TIdHTTPProtocol(TIdCustomHTTP& client) : client_(client) {}
  TIdHTTPRequest Request;
  TIdHTTPResponse Response;

  // The request line, the header lines (folded where long) and the empty line, as one write.
  void BuildAndSendRequest(const TIdURI& uri);
  // Status line and header lines, interim "100 Continue" responses skipped; the header
  // fields and cookies taken.
  void RetrieveHeaders();
  // Success, or raises: the protocol error (body read first), or "Undefined situation".
  void ProcessResponse();

 private:
  TIdCustomHTTP& client_;
};

class TIdCustomHTTP : public TIdTCPClient {
 public:
  TIdCustomHTTP();
  // Closes the connection if one is open.
  ~TIdCustomHTTP() override;

  // --- settings (a new client has these; proxies, TLS and authentication stay off) ---
  bool HandleRedirects = false;  // redirects are never followed, whatever this says
  int RedirectMaximum = 15;
  int AuthRetries = 3;
  bool AllowCookies = true;
  int ConnectTimeout = 0;  // ms; 0: connect on the calling thread without a limit of its own
  TIdProxyConnectionInfo ProxyParams;

  // --- the last request ---
  TIdURI URL;
  TIdHTTPProtocol HTTPProto;
  TIdHTTPRequest& Request() { return HTTPProto.Request; }
  TIdHTTPResponse& Response() { return HTTPProto.Response; }
  int ResponseCode() const { return HTTPProto.Response.ResponseCode; }
  const std::string& ResponseText() const { return HTTPProto.Response.ResponseText; }

  // The cookie store; null until the first response arrives. Owned by the client.
  TIdCookieManager* CookieManager() const { return cookieManager_.get(); }

  // --- hooks (answers that would need them end in the protocol error) ---
  virtual bool DoOnAuthorization();       // a 401: no credentials, false
  virtual bool DoOnProxyAuthorization();  // a 407: no proxy credentials, false
  virtual bool DoOnRedirect(std::string& location);  // HandleRedirects
  // Runs one request; `content` receives the body (null: none is read).
  virtual void DoRequest(const std::string& method, const std::string& url, TStream* source, TStream* content);

 protected:
  friend class TIdHTTPProtocol;
  // Reads a body framed as the response says into the stream.
  void ReadResult(TStream* stream);
  // Takes the Set-cookie / Set-cookie2 values of the response into the store.
  void ProcessCookies();
  // After a response: whether the connection stays usable.
  bool ResponseAllowsKeepAlive();

 private:
  std::unique_ptr<TIdCookieManager> cookieManager_;
};

class TIdHTTP : public TIdCustomHTTP {
 public:
  // Status line and headers only.
  void Head(const std::string& url);
  // The body goes into `stream` from its current position.
  void Get(const std::string& url, TStream* stream);
  // The body as text.
  std::string Get(const std::string& url);
};

// The status code of a status line: the text between its first and second blank, as a
// decimal number; -1 when it is none.
int IdHTTPStatusCode(const std::string& statusLine);
