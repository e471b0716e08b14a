// The vendor list over HTTP on the control port, from registry files the test writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "server/MacList.h"
#include "tests/server/LoopbackPeer.h"

using namespace loopback;
namespace fs = std::filesystem;

namespace {

// A directory of small registry files with known times; removed afterwards.
class IeeeFiles {
 public:
  explicit IeeeFiles(const std::string& name)
      : dir_(fs::temp_directory_path() / ("nat-ieee-" + name)) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
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
  ~IeeeFiles() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Dir() const { return dir_.string(); }

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
  void Write(const std::string& name, const std::string& text, long long time) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    const auto sys = std::chrono::system_clock::time_point(std::chrono::seconds(time));
    fs::last_write_time(p, std::chrono::file_clock::from_sys(sys));
  }
  fs::path dir_;
};

struct Response {
  std::string head;
  std::string body;
};

// Reads one response; bodyExpected false for HEAD.
std::optional<Response> ReadResponse(Peer& peer, tcp::socket& s, std::string& buffer,
                                     bool bodyExpected) {
  const auto head = peer.ReadUntil(s, buffer, "\r\n\r\n");
  if (!head) return std::nullopt;
  Response r{*head + "\r\n", {}};
  const size_t at = r.head.find("Content-Length: ");
  if (!bodyExpected || at == std::string::npos) return r;
  const size_t length = std::stoul(r.head.substr(at + 16));
  while (buffer.size() < length)
    if (!peer.ReadSome(s, buffer, 3000ms)) return std::nullopt;
  r.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return r;
}

std::string Header(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 4;
  return head.substr(start, head.find("\r\n", start) - start);
}

TEST(EchoServerHttp, head_then_get_on_one_connection) {
  const std::string srv = "127.0.33.1";
  const std::time_t written = std::time(nullptr);
  IeeeFiles files("head-get");
  TEchoServerConfig config = TestConfig(srv);
  config.IeeeDataDir = files.Dir();
  RunningServer server(config);
  EXPECT_EQ(server.Server().MacListEntries(), 4u);
  Peer peer;
  auto s = peer.Connect(srv, 80, "127.0.33.2");
  std::string buffer;
  // The request exactly as the tester's client writes it.
  const std::string request =
      " /download/MAC.CSV HTTP/1.1\r\nHost: " + srv +
      "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; NAT SIP ALG tester)\r\n\r\n";
  peer.Write(s, "HEAD" + request);
  const auto head = ReadResponse(peer, s, buffer, false);
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
  EXPECT_TRUE(buffer.empty());  // no body after a HEAD

  peer.Write(s, "GET" + request);
  const auto get = ReadResponse(peer, s, buffer, true);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(get->body, IeeeFiles::Body());
  EXPECT_EQ(server.Server().Counters().Connections, 1u);
}

TEST(EchoServerHttp, statuses_and_connection_handling) {
  const std::string srv = "127.0.33.3";
  IeeeFiles files("statuses");
  TEchoServerConfig config = TestConfig(srv);
  config.IeeeDataDir = files.Dir();
  RunningServer server(config);
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
    Peer peer;
    auto s = peer.Connect(srv, 80, "127.0.33.4");
    std::string buffer;
    peer.Write(s, c.request);
    const auto r = ReadResponse(peer, s, buffer, c.request.rfind("HEAD", 0) != 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->head.substr(9, 3), c.status) << r->head;
    if (c.staysOpen) {
      // The same connection serves the next request.
      peer.Write(s, "HEAD /download/MAC.CSV HTTP/1.1\r\n\r\n");
      const auto next = ReadResponse(peer, s, buffer, false);
      ASSERT_TRUE(next);
      EXPECT_EQ(next->head.substr(9, 3), "200");
    } else {
      EXPECT_TRUE(peer.WaitClosed(s));
    }
  }
}

TEST(EchoServerHttp, without_registry_files_the_list_is_not_found) {
  const std::string srv = "127.0.33.5";
  TEchoServerConfig config = TestConfig(srv);
  config.IeeeDataDir = (fs::temp_directory_path() / "nat-ieee-none-here").string();
  RunningServer server(config);
  Peer peer;
  auto s = peer.Connect(srv, 80, "127.0.33.6");
  std::string buffer;
  peer.Write(s, "GET /download/MAC.CSV HTTP/1.1\r\n\r\n");
  const auto r = ReadResponse(peer, s, buffer, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.substr(9, 3), "404");
  // The control channel on the same port is unaffected.
  EXPECT_TRUE(Greet(peer, srv, 80, "127.0.33.6"));
}

TEST(EchoServerHttp, trickling_request_head_times_out) {
  const std::string srv = "127.0.33.7";
  TEchoServerConfig config = TestConfig(srv);
  config.HttpIdleTimeoutMs = 300;
  RunningServer server(config);
  Peer peer;
  auto s = peer.Connect(srv, 80, "127.0.33.8");
  peer.Write(s, "GET /download/MAC.CSV HTTP/1.1\r\n");
  // One header byte every 50 ms never completes the head; the time-out still ends it.
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 60 && !closed; ++i) {
    asio::error_code ec;
    asio::write(s, asio::buffer("X", 1), ec);
    closed = ec || peer.WaitClosed(s, 50ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
}

TEST(EchoServerHttp, log_line_shows_no_control_bytes_of_the_request) {
  const std::string srv = "127.0.33.9";
  RunningServer server(TestConfig(srv));
  Peer peer;
  auto s = peer.Connect(srv, 80, "127.0.33.10");
  std::string buffer;
  peer.Write(s, "GET /\x1b[2J\rfake-line HTTP/1.1\r\nConnection: close\r\n\r\n");
  const auto r = ReadResponse(peer, s, buffer, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.substr(9, 3), "404");
  ASSERT_TRUE(server.WaitForLine("http 127.0.33.10:"));
  for (const auto& line : server.Lines())
    for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
}

}  // namespace
