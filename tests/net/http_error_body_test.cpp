// The body of a failed response, read over a link that plays back bytes: kept as the error's
// text up to its cap; past the cap the rest is not read and the connection is closed.
#include <gtest/gtest.h>

#include "net/IdException.h"
#include "net/IdHTTP.h"
#include "net/IdIOHandlerBytes.h"

namespace {

TEST(HttpErrorBody, kept_up_to_its_cap) {
  struct Row {
    const char* name;
    size_t length;     // of the body sent
    size_t kept;       // of the error text
    bool stillServes;  // the next request goes over the same connection
  };
  const Row rows[] = {
      {"short body", 100, 100, true},
      {"body at the cap", 65536, 65536, true},
      {"body past the cap", 200000, 65536, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string body(r.length, 'x');
    for (size_t i = 0; i < body.size(); i += 1000) body[i] = static_cast<char>('a' + i / 1000 % 26);
    TIdIOHandlerBytes link("HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(r.length) + "\r\n\r\n" + body +
                               "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                           0, false);
    TIdHTTP http;
    http.SetIOHandler(&link);
    try {
      http.Get("http://list.test/download/MAC.CSV");
      ADD_FAILURE() << "no exception";
    } catch (const EIdHTTPProtocolException& e) {
      EXPECT_EQ(e.ErrorCode(), 404);
      EXPECT_EQ(e.ErrorMessage, body.substr(0, r.kept));
    }
    EXPECT_EQ(http.IsConnected(), r.stillServes);
    if (r.stillServes) {
      EXPECT_EQ(http.Get("http://list.test/download/MAC.CSV"), "ok");
      EXPECT_EQ(link.Links, 1);
    }
  }
}

}  // namespace
