// The vendor list over HTTP on the control port, from registry files the test writes.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "server/MacList.h"
#include "tests/server/ServerTest.h"
#include "tests/support/TempDir.h"

using namespace servertest;
namespace fs = std::filesystem;

namespace {

class EchoServerHttp : public ServerTest {};

// A directory of small registry files with known times; removed afterwards.
class IeeeFiles {
 public:
  IeeeFiles() {
    Write("oui.csv",
          "Registry,Assignment,Organization Name,Organization Address\r\n"
          "MA-L,001A2B,\"Example, Inc.\",\"1 Road, Town\"\r\n"
          "MA-L,00aabb,Plain Maker,\"multi\r\nline address\"\r\n",
          1600000000);
    Write("mam.csv",
          "Registry,Assignment,Organization Name,Organization Address\r\n"
          "MA-M,001A2B3,\"Quoted \"\"Name\"\" Ltd\",Somewhere\r\n",
          1650000000);
    Write("oui36.csv",
          "Registry,Assignment,Organization Name,Organization Address\r\n"
          "MA-S,001A2B3C4,Nine Digit Co,Street\r\n",
          1640000000);
    // iab.csv left out: a missing file is skipped.
  }
  std::string Dir() const { return dir_.Path(); }

  static const std::string& Body() {
    static const std::string body =
        "Registry,Assignment,Organization Name\r\n"
        "MA-L,001A2B,\"Example, Inc.\"\r\n"
        "MA-L,00AABB,Plain Maker\r\n"
        "MA-M,001A2B3,Quoted \"Name\" Ltd\r\n"
        "MA-S,001A2B3C4,Nine Digit Co\r\n";
    return body;
  }

 private:
  void Write(const std::string& name, const std::string& text, int64_t time) {
    support::SetMtime(dir_.Write(name, text), time);
  }
  support::TempDir dir_;
};

struct Response {
  std::string head;
  std::string body;
};

// Reads one response; bodyExpected false for HEAD.
std::optional<Response> ReadResponse(TcpConn& s, bool bodyExpected) {
  const auto head = s.ReadUntil("\r\n\r\n", 3000ms);
  if (!head) return std::nullopt;
  Response r{*head + "\r\n", {}};
  const size_t at = r.head.find("Content-Length: ");
  if (!bodyExpected || at == std::string::npos) return r;
  const auto body = s.ReadExactly(std::stoul(r.head.substr(at + 16)), 3000ms);
  if (!body) return std::nullopt;
  r.body = *body;
  return r;
}

std::string Header(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 4;
  return head.substr(start, head.find("\r\n", start) - start);
}

TEST_F(EchoServerHttp, head_then_get_on_one_connection) {
  const std::time_t written = std::time(nullptr);
  IeeeFiles files;
  TEchoServerConfig config = Config();
  config.IeeeDataDir = files.Dir();
  Serve(config);
  EXPECT_EQ(server->Server().MacListEntries(), 4u);
  auto s = Connect(me);
  // The request exactly as the tester's client writes it.
  const std::string request =
      " /download/MAC.CSV HTTP/1.1\r\nHost: " + srv +
      "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; NAT SIP ALG tester)\r\n\r\n";
  s.Send("HEAD" + request);
  const auto head = ReadResponse(s, false);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  // The files carry dates of 2022 but were written just now: the list's date is when they were
  // written, so that a tester that fetched an older list before fetches this one.
  bool writtenNow = false;
  for (std::time_t t = written; t <= std::time(nullptr); ++t)
    writtenNow |= Header(head->head, "Last-Modified") == HttpDate(t);
  EXPECT_TRUE(writtenNow) << Header(head->head, "Last-Modified");
  EXPECT_EQ(Header(head->head, "Content-Type"), "text/csv; charset=iso-8859-1");
  EXPECT_EQ(Header(head->head, "Content-Length"), std::to_string(IeeeFiles::Body().size()));
  EXPECT_EQ(Header(head->head, "Connection"), "");
  EXPECT_TRUE(s.Pending().empty());  // no body after a HEAD

  s.Send("GET" + request);
  const auto get = ReadResponse(s, true);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(get->body, IeeeFiles::Body());
  EXPECT_EQ(server->Server().Counters().Connections, 1u);
}

TEST_F(EchoServerHttp, statuses_and_connection_handling) {
  IeeeFiles files;
  TEchoServerConfig config = Config();
  config.IeeeDataDir = files.Dir();
  Serve(config);
  struct Case {
    const char* name;
    std::string request;
    std::string status;
    bool staysOpen;
  };
  const Case cases[] = {
      {"other path", "GET /download/OTHER.CSV HTTP/1.1\r\nHost: x\r\n\r\n", "404", true},
      {"path with a query", "GET /download/MAC.CSV?x=1 HTTP/1.1\r\n\r\n", "200", true},
      {"peer asks to close", "GET /download/MAC.CSV HTTP/1.1\r\nConnection: close\r\n\r\n", "200",
       false},
      {"HTTP/1.0 closes", "GET /download/MAC.CSV HTTP/1.0\r\n\r\n", "200", false},
      {"HTTP/1.0 keep-alive", "HEAD /download/MAC.CSV HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
       "200", true},
      {"not HTTP", "GET /download/MAC.CSV\r\n\r\n", "400", false},
      {"endless head", "GET /" + std::string(20000, 'a'), "431", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
      auto s = Connect(me);
      s.Send(c.request);
    const auto r = ReadResponse(s, c.request.rfind("HEAD", 0) != 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->head.substr(9, 3), c.status) << r->head;
    if (c.staysOpen) {
      // The same connection serves the next request.
      s.Send("HEAD /download/MAC.CSV HTTP/1.1\r\n\r\n");
      const auto next = ReadResponse(s, false);
      ASSERT_TRUE(next);
      EXPECT_EQ(next->head.substr(9, 3), "200");
    } else {
      EXPECT_TRUE(s.WaitClosed(3000ms));
    }
  }
}

TEST_F(EchoServerHttp, without_registry_files_the_list_is_not_found) {
  TEchoServerConfig config = Config();
  config.IeeeDataDir = (fs::temp_directory_path() / "nat-ieee-none-here").string();
  Serve(config);
  auto s = Connect(me);
  s.Send("GET /download/MAC.CSV HTTP/1.1\r\n\r\n");
  const auto r = ReadResponse(s, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.substr(9, 3), "404");
  // The control channel on the same port is unaffected.
  EXPECT_TRUE(Greet(me));
}

TEST_F(EchoServerHttp, trickling_request_head_times_out) {
  TEchoServerConfig config = Config();
  config.HttpIdleTimeoutMs = 300;
  Serve(config);
  auto s = Connect(me);
  s.Send("GET /download/MAC.CSV HTTP/1.1\r\n");
  // One header byte every 50 ms never completes the head; the time-out still ends it.
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 60 && !closed; ++i) {
    closed = !s.Send("X") || s.WaitClosed(50ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
}

TEST_F(EchoServerHttp, errors_are_summed_and_no_line_shows_control_bytes_of_a_request) {
  TEchoServerConfig config = Config();
  config.LogSummaryMs = 100;
  Serve(config);
  auto s = Connect(me);
  s.Send("GET /\x1b[2J\rfake-line HTTP/1.1\r\nConnection: close\r\n\r\n");
  const auto r = ReadResponse(s, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.substr(9, 3), "404");
  ASSERT_TRUE(server->WaitForLine("1 HTTP connection from 1 network ended without a good answer"));
  for (const auto& line : server->Lines())
    for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
}

TEST_F(EchoServerHttp, a_head_past_what_the_server_holds_for_all_peers_is_cut_off) {
  TEchoServerConfig config = Config();
  config.MaxHeldBytes = 1000;
  Serve(config);
  auto big = Connect(me);
  ASSERT_TRUE(big.Send("GET /download/MAC.CSV HTTP/1.1\r\nX: " + std::string(2000, 'a')));
  EXPECT_TRUE(big.WaitClosed(3000ms));
  // What it held is given back: a small request is answered.
  auto small = Connect(me);
  ASSERT_TRUE(small.Send("GET /x HTTP/1.1\r\nConnection: close\r\n\r\n"));
  const auto r = ReadResponse(small, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.substr(9, 3), "404");
}

}  // namespace
