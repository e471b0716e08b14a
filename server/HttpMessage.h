#pragma once
// The little HTTP/1.x that the server speaks on its control port: request heads in, response
// heads out.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

struct THttpRequest {
  std::string Method;   // as sent, e.g. "GET"
  std::string Target;   // the path, without query or fragment; absolute URLs reduced to it
  int Minor = 1;        // HTTP/1.<Minor>
  bool KeepAlive = true;  // HTTP/1.1 unless "Connection: close"; HTTP/1.0 only with keep-alive
  bool HasBody = false;   // a Content-Length above 0 or a Transfer-Encoding: not served
};

enum class THttpParse { Incomplete, Complete, Bad, TooLarge };

// Parses the request head at the front of buffer (lines ended by CR LF or LF, closed by an empty
// line). On Complete, *headLength is the number of bytes it took. A head longer than maxHead
// bytes is TooLarge, one that is not HTTP/1.x Bad.
THttpParse ParseHttpRequest(std::string_view buffer, size_t maxHead, THttpRequest& request,
                            size_t* headLength);

// A response head: status line, Date, Server, optional Last-Modified, Content-Type,
// Content-Length, and "Connection: close" when the connection ends after it ("keep-alive" for
// an HTTP/1.0 peer that asked for it).
std::string HttpResponseHead(int status, std::string_view reason, std::string_view contentType,
                             size_t contentLength, std::optional<std::time_t> lastModified,
                             bool keepAlive, int requestMinor, std::time_t now);
