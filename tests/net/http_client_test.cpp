// The HTTP client against scripted peers on loopback.
#include <poll.h>

#include <gtest/gtest.h>

#include <optional>

#include "net/IdException.h"
#include "net/IdHTTP.h"
#include "net/IdSocketHandle.h"
#include "tests/support/TzGuard.h"
#include "tests/support/TcpPeer.h"

namespace {

using support::Reply;
using support::TcpPeer;
using support::TestAddress;

const std::string kUserAgent = "User-Agent: Mozilla/3.0 (compatible; NAT SIP ALG tester)\r\n";

// Waits (bounded) until the server's close or reset has reached the client's socket.
bool WaitPeerClosed(TIdHTTP& http) {
  TIdSocketHandle* b = http.Binding();
  if (!b) return false;
  pollfd p{b->Handle(), POLLIN, 0};
  return ::poll(&p, 1, 5000) == 1;
}

std::string Ok(const std::string& headers, const std::string& body = "") {
  return "HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body;
}

TEST(HttpClient, head_request_bytes_port_80) {
  TcpPeer peer(TestAddress(), 80);
  if (!peer.Ok()) GTEST_SKIP() << "port 80 not available here: " << peer.Error();
  peer.AnswerRequests({{Ok("Content-Length: 0\r\n")}}).Start();
  TIdHTTP http;
  http.Head("http://" + peer.Ip() + "/download/MAC.CSV");
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "HEAD /download/MAC.CSV HTTP/1.1\r\nHost: " + peer.Ip() + "\r\nAccept: text/html, */*\r\n" +
                             kUserAgent + "\r\n");
  EXPECT_EQ(http.ResponseCode(), 200);
  EXPECT_EQ(http.ResponseText(), "HTTP/1.1 200 OK");
}

TEST(HttpClient, get_request_bytes_other_port) {
  TcpPeer peer(TestAddress(), 8080);
  if (!peer.Ok()) GTEST_SKIP() << "port 8080 not available here: " << peer.Error();
  peer.AnswerRequests({{Ok("Content-Length: 3\r\n", "abc")}}).Start();
  TIdHTTP http;
  EXPECT_EQ(http.Get(peer.Url("/download/MAC.CSV?x=1#frag")), "abc");
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "GET /download/MAC.CSV?x=1 HTTP/1.1\r\nHost: " + peer.Ip() +
                             ":8080\r\nAccept: text/html, */*\r\n" + kUserAgent + "\r\n");
}

// A GET of one reply (the peer closing after it when `close`) into a stream that holds "pre":
// what the stream holds then, the protocol error raised, and the requests the peer read.
struct TGot {
  std::string body;
  std::optional<EIdHTTPProtocolException> error;
  size_t requests = 0;
};
TGot GetOne(const std::string& reply, bool close) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{reply, close}}).Start();
  TIdHTTP http;
  TMemoryStream body;
  body.Write("pre", 3);  // the body goes after what the stream holds
  TGot got;
  try {
    http.Get(peer.Url(), &body);
  } catch (const EIdHTTPProtocolException& e) {
    got.error = e;
  }
  got.body = body.DataString();
  got.requests = peer.Requests().size();
  return got;
}

// Body framings, each with what lands in the stream.
TEST(HttpClient, body_framings) {
  struct Row {
    const char* name;
    std::string reply;
    bool close;
    std::string body;
  };
  const Row rows[] = {
      {"length", Ok("Content-Length: 5\r\n", "hello"), false, "hello"},
      {"length 0", Ok("Content-Length: 0\r\n"), false, ""},
      {"chunked 5+3+0", Ok("Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n"), false, "helloabc"},
      {"chunked upper hex, trailer", Ok("Transfer-Encoding: Chunked\r\n", "A\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n"),
       false, "0123456789"},
      {"chunk extension", Ok("Transfer-Encoding: chunked\r\n", "5;name=v\r\nhello\r\n0\r\n\r\n"), false, "hello"},
      {"length 10, close after 4", Ok("Content-Length: 10\r\n", "abcd"), true, "abcd"},
      {"no length: until close", Ok("Content-Type: text/plain\r\n", "all of it\r\nand more"), true, "all of it\r\nand more"},
      {"204 reads nothing", "HTTP/1.1 204 No Content\r\n\r\n", false, ""},
  };
  for (const Row& r : rows) {
    const TGot got = GetOne(r.reply, r.close);
    EXPECT_FALSE(got.error) << r.name;
    EXPECT_EQ(got.body, "pre" + r.body) << r.name;
  }
}

TEST(HttpClient, continue_100_skipped) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n" +
                        Ok("Content-Length: 2\r\nServer: s\r\n", "ok")}})
      .Start();
  TIdHTTP http;
  EXPECT_EQ(http.Get(peer.Url()), "ok");
  EXPECT_EQ(http.ResponseCode(), 200);
  EXPECT_EQ(http.Response().Server, "s");
  EXPECT_EQ(http.Response().RawHeaders.Values("X"), "");
}

TEST(HttpClient, error_statuses_raise_protocol_error) {
  struct Row {
    std::string reply;
    int code;
    const char* message;
    const char* errorText;
    bool close = false;
  };
  const Row rows[] = {
      {"HTTP/1.1 302 Found\r\nLocation: http://" + TestAddress(1) + "/x\r\nContent-Length: 4\r\n\r\nmove", 302,
       "HTTP/1.1 302 Found", "move"},
      {"HTTP/1.1 200 OK\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", 200, "HTTP/1.1 200 OK", ""},
      {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 6\r\n\r\ndenied", 401,
       "HTTP/1.1 401 Unauthorized", "denied"},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n", 407,
       "HTTP/1.1 407 Proxy Authentication Required", ""},
      {"HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nnope\r\n0\r\n\r\n", 404, "HTTP/1.1 404 Not Found",
       "nope"},
      {"HTTP/1.1 304 Not Modified\r\n\r\n", 304, "HTTP/1.1 304 Not Modified", ""},  // no body to wait for
      {"HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", 304, "HTTP/1.1 304 Not Modified", ""},
      {"HTTP/1.1 500 Oops\r\nContent-Length: 3\r\n\r\nbad", 500, "HTTP/1.1 500 Oops", "bad"},
      {"HTTP/1.1 101 Switching\r\nContent-Length: 0\r\n\r\n", 101, "HTTP/1.1 101 Switching", ""},
      {"garbage\r\nContent-Length: 0\r\n\r\n", -1, "garbage", ""},
      {"HTTP/1.1 abc\r\nContent-Length: 2\r\n\r\nxy", -1, "HTTP/1.1 abc", "xy"},
      {"HTTP/1.1 404 Not Found\r\n\r\nuntil close", 404, "HTTP/1.1 404 Not Found", "until close", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    const TGot got = GetOne(r.reply, r.close);
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->ErrorCode(), r.code);
    EXPECT_STREQ(got.error->what(), r.message);
    EXPECT_EQ(got.error->ErrorMessage, r.errorText);
    EXPECT_EQ(got.body, "pre");
    EXPECT_EQ(got.requests, 1u);  // nothing followed, nothing retried
  }
}

// A HEAD response has no body, whatever its headers say: the error comes at once.
TEST(HttpClient, failed_head_does_not_wait_for_body) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{"HTTP/1.1 404 Not Found\r\nContent-Length: 100\r\n\r\n"}, {Ok("Content-Length: 2\r\n", "hi")}})
      .Start();
  TIdHTTP http;
  EXPECT_THROW(http.Head(peer.Url()), EIdHTTPProtocolException);
  EXPECT_EQ(http.Get(peer.Url()), "hi");  // and the connection still serves
  EXPECT_EQ(peer.Connections(), 1);
}

// The rest of a failed response's body is waited for 2000 ms at most; then the read time-out
// comes out and the connection, whose state is now unknown, is closed.
TEST(HttpClient, failed_response_body_read_limited) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{"HTTP/1.1 500 Oops\r\nContent-Length: 10\r\n\r\nabcd"}}).Start();
  TIdHTTP http;
  EXPECT_THROW(http.Get(peer.Url()), EIdReadTimeout);
  EXPECT_EQ(http.ReadTimeout, 0);
  EXPECT_FALSE(http.IsConnected());
}

TEST(HttpClient, headers_cut_off_is_undefined_situation) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", true}}).Start();
  TIdHTTP http;
  try {
    http.Get(peer.Url());
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException&) {
    ADD_FAILURE() << "protocol error instead";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Undefined situation");
  }
  EXPECT_FALSE(http.IsConnected());
}

TEST(HttpClient, keep_alive_between_head_and_get) {
  struct Row {
    const char* name;
    std::string headHeaders;
    int connections;
  };
  const Row rows[] = {
      {"kept", "Content-Length: 0\r\n", 1},
      {"Connection: close", "Content-Length: 0\r\nConnection: close\r\n", 2},
      {"Connection:  CLOSE ", "Connection:  CLOSE \r\n", 2},
      {"Proxy-Connection: close", "Proxy-Connection: close\r\n", 2},
      {"Connection: keep-alive", "Connection: Keep-Alive\r\n", 1},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    TcpPeer peer(TestAddress());
    peer.AnswerRequests({{Ok(r.headHeaders)}, {Ok("Content-Length: 4\r\n", "body")}}).Start();
    TIdHTTP http;
    http.Head(peer.Url());
    EXPECT_EQ(http.Response().KeepAlive, r.connections == 1);
    EXPECT_EQ(http.Get(peer.Url()), "body");
    EXPECT_EQ(peer.Connections(), r.connections);
  }
}

// The server closes the kept connection between the requests: the next one opens a new one.
TEST(HttpClient, server_closed_kept_connection) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    TcpPeer peer(TestAddress());
    Reply head{Ok("Content-Length: 0\r\n")};
    head.close = !reset;
    head.reset = reset;
    peer.AnswerRequests({head, {Ok("Content-Length: 2\r\n", "ok")}}).Start();
    TIdHTTP http;
    http.Head(peer.Url());
    ASSERT_TRUE(WaitPeerClosed(http));
    EXPECT_EQ(http.Get(peer.Url()), "ok");
    EXPECT_EQ(peer.Connections(), 2);
  }
}

TEST(HttpClient, last_modified_in_each_form) {
  support::TzGuard tz("CET-1CEST,M3.5.0,M10.5.0/3");
  const char* forms[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                         "Sun, 06 Nov 1994 09:49:37 +0100"};
  TcpPeer peer(TestAddress());
  std::vector<Reply> replies;
  for (const char* f : forms) replies.push_back({Ok(std::string("Last-Modified: ") + f + "\r\nDate: " + f + "\r\n")});
  replies.push_back({Ok("Content-Length: 0\r\n")});
  peer.AnswerRequests(replies).Start();
  TIdHTTP http;
  for (const char* f : forms) {
    http.Head(peer.Url());
    EXPECT_EQ(DateTimeToText(http.Response().LastModified), "1994-11-06 09:49:37") << f;
    EXPECT_EQ(http.Response().LastModified, http.Response().Date) << f;
  }
  http.Head(peer.Url());  // without the header: the zero date
  EXPECT_EQ(http.Response().LastModified, TDateTime{});
  EXPECT_EQ(peer.Connections(), 1);
}

TEST(HttpClient, cookies_sent_back) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{Ok("Content-Length: 0\r\n"
                           "Set-Cookie: sid=abc; Path=/\r\n"
                           "Set-Cookie: dl=1; Path=/download/\r\n"
                           "set-cookie: other=2; Path=/other/\r\n"
                           "Set-Cookie: foreign=3; Path=/; Domain=elsewhere.test\r\n"
                           "Set-Cookie: sec=4; Path=/; Secure\r\n"
                           "Set-Cookie2: v2=5; Path=/download/; Version=1\r\n")},
                       {Ok("Content-Length: 0\r\n")}})
      .Start();
  TIdHTTP http;
  http.Head(peer.Url());
  ASSERT_NE(http.CookieManager(), nullptr);
  http.Get(peer.Url());
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].find("Cookie:"), std::string::npos);
  EXPECT_NE(requests[1].find(kUserAgent + "Cookie: dl=1; v2=5; sid=abc\r\n\r\n"), std::string::npos) << requests[1];
}

TEST(HttpClient, long_cookie_line_folded) {
  std::string headers = "Content-Length: 0\r\n";
  for (int i = 0; i < 60; ++i) headers += "Set-Cookie: name" + std::to_string(i) + "=" + std::string(20, 'v') + "; Path=/\r\n";
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{Ok(headers)}, {Ok("Content-Length: 0\r\n")}}).Start();
  TIdHTTP http;
  http.Head(peer.Url());
  http.Head(peer.Url());
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string& r = requests[1];
  size_t start = r.find("Cookie: ");
  ASSERT_NE(start, std::string::npos);
  int lines = 0;
  for (size_t pos = start; pos < r.size() - 2;) {
    const size_t eol = r.find("\r\n", pos);
    EXPECT_LE(eol - pos, 1024u);
    if (lines > 0) {
      EXPECT_EQ(r[pos], ' ');
    }
    ++lines;
    pos = eol + 2;
    if (r.compare(pos, 2, "\r\n") == 0) break;
  }
  EXPECT_GE(lines, 2);
}

TEST(HttpClient, overlong_status_line) {
  TcpPeer peer(TestAddress());
  peer.AnswerRequests({{"HTTP/1.1 200 " + std::string(20000, 'x') + "\r\n\r\n"}}).Start();
  TIdHTTP http;
  try {
    http.Head(peer.Url());
    ADD_FAILURE() << "no exception";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  EXPECT_FALSE(http.IsConnected());
}

TEST(HttpClient, bad_urls) {
  struct Row { std::string url, message; };
  const std::string ip = TestAddress();
  const Row rows[] = {
      {"https://" + ip + "/x", "IOHandler value is not valid"},
      {"HTTPS://" + ip + "/x", "IOHandler value is not valid"},
      {"ftp://" + ip + "/x", "Unsupported protocol \"ftp\" in ftp://" + ip + "/x"},
      {"http://" + ip + ":99999/x", "Invalid port \"99999\" in http://" + ip + ":99999/x"},
      {"http:///x", "No host in http:///x"},
  };
  for (const Row& r : rows) {
    TIdHTTP http;
    try {
      http.Head(r.url);
      ADD_FAILURE() << "no exception for " << r.url;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.what(), r.message);
    }
  }
}

TEST(HttpClient, refused_connection_raises_socket_error) {
  std::string url;
  {
    TcpPeer gone(TestAddress());  // a port that nothing listens on once it is gone
    ASSERT_TRUE(gone.Ok());
    url = gone.Url();
  }
  TIdHTTP http;
  try {
    http.Head(url);
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
  }
}

TEST(HttpClient, status_code_of_line) {
  struct Row { const char* line; int code; };
  const Row rows[] = {{"HTTP/1.1 200 OK", 200}, {"HTTP/1.1 404", 404}, {"HTTP/1.0  301 x", -1},
                      {"HTTP/1.1 2x0 OK", -1},  {"HTTP/1.1", -1},      {"", -1}};
  for (const Row& r : rows) EXPECT_EQ(IdHTTPStatusCode(r.line), r.code) << r.line;
}

}  // namespace
