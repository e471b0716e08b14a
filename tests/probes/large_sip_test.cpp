#include <gtest/gtest.h>

#include <algorithm>

#include "probes/LargeSip.h"

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(LargeSip, an_invite_is_exactly_its_size_whatever_its_address_and_ports) {
  struct Row {
    std::string ip;
    int localPort, bytes;
    bool tcp;
  };
  const Row rows[] = {{"10.0.0.2", 5060, 2000, false},       {"192.168.177.254", 5056, 4000, false},
                      {"192.168.77.2", 40001, 4001, true},   {"172.16.0.9", 5062, 2999, false}};
  for (const Row& r : rows) {
    const std::string m = BuildLargeInvite("tok.l1", 5070, r.ip, r.localPort, 30000, r.bytes, r.tcp);
    EXPECT_EQ(m.size(), static_cast<size_t>(r.bytes)) << r.ip;
    EXPECT_EQ(m.substr(0, m.find("\r\n")), "INVITE sip:large-" + std::to_string(r.bytes) + "@alg-test.invalid:5070 SIP/2.0");
    EXPECT_NE(m.find("Via: SIP/2.0/" + std::string(r.tcp ? "TCP " : "UDP ") + r.ip + ":" + std::to_string(r.localPort)),
              std::string::npos);
    EXPECT_NE(m.find("Call-ID:tok.l1@" + r.ip + "\r\n"), std::string::npos);
    const size_t body = m.find("\r\n\r\n") + 4;
    EXPECT_NE(m.find("Content-Length: " + std::to_string(m.size() - body) + "\r\n"), std::string::npos);
    EXPECT_NE(m.find("c=IN IP4 " + r.ip + "\r\n"), std::string::npos);
  }
}

TEST(LargeSip, verdict_per_size) {
  const std::string sent = BuildLargeInvite("tok", 5060, "192.168.77.2", 5060, 30000, 4000, false);
  const std::string rewritten =
      Replace(Replace(sent, "Via: SIP/2.0/UDP 192.168.77.2:", "Via: SIP/2.0/UDP 172.31.77.1:"),
              "c=IN IP4 192.168.77.2", "c=IN IP4 172.31.77.1");
  const size_t afterVia = sent.find("\r\n", sent.find("Via:")) + 2;
  struct Row {
    const char* name;
    std::optional<std::string> received;
    TLargeResult result;
    int changed;
    bool cut;
  };
  const Row rows[] = {
      {"as sent", sent, TLargeResult::Arrived, 0, false},
      {"nothing came", std::nullopt, TLargeResult::Lost, 0, false},
      {"Via and c= rewritten", rewritten, TLargeResult::Changed, 2, false},
      {"cut at the first fragment's end", sent.substr(0, 1472), TLargeResult::Changed, 0, true},
      {"cut inside a line", sent.substr(0, 2961), TLargeResult::Changed, 0, true},
      {"a header inserted shifts every later line", sent.substr(0, afterVia) + "Record-Route: <sip:r>\r\n" + sent.substr(afterVia),
       TLargeResult::Changed, 0, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> log;
    const TLargeSize v = LargeVerdict(4000, sent, r.received, "Large INVITE 4000", [&](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(v.Result, r.result);
    EXPECT_EQ(v.Cut, r.cut);
    EXPECT_EQ(v.Bytes, 4000);
    EXPECT_EQ(v.ReceivedBytes, r.received ? static_cast<int>(r.received->size()) : 0);
    if (r.changed) {
      EXPECT_EQ(v.ChangedLines, r.changed);
      ASSERT_EQ(log.size(), 4u);
      EXPECT_EQ(log[0], "Large INVITE 4000 line 2 Sent:Via: SIP/2.0/UDP 192.168.77.2:5060;branch=z9hG4bK1694065387;rport");
      EXPECT_EQ(log[1], "Large INVITE 4000 line 2 Rcvd:Via: SIP/2.0/UDP 172.31.77.1:5060;branch=z9hG4bK1694065387;rport");
    }
    if (r.result == TLargeResult::Changed && !r.changed) {
      EXPECT_GT(v.ChangedLines, 8) << "every later line counts";
      EXPECT_EQ(log.back(), "Large INVITE 4000: " + std::to_string(v.ChangedLines - 8) + " more changed lines not shown");
    }
    if (r.result == TLargeResult::Arrived) {
      EXPECT_EQ(log, std::vector<std::string>{"Large INVITE 4000 check:    OK (85 lines)"});
    }
  }
}

TEST(LargeSip, lines_per_way_and_result) {
  TLargeSize arrived{4000, TLargeResult::Arrived, 0, 4000}, changed{4000, TLargeResult::Changed, 2, 3998};
  TLargeSize one{2000, TLargeResult::Changed, 1, 1999}, cut{4000, TLargeResult::Changed, 0, 2960, true};
  TLargeSize lost{4000, TLargeResult::Lost}, untested{2000};
  untested.Why = "the request for it did not reach the server";
  using P = TLargePath;
  struct Row {
    P path;
    int port;
    const TLargeSize* size;
    const char* line;
  };
  const Row rows[] = {
      {P::UdpUp, 5060, &arrived, "Large SIP over UDP to port 5060: 4,000 bytes (3 fragments) arrived unchanged"},
      {P::UdpUp, 5060, &lost,
       "Large SIP over UDP to port 5060: 4,000 bytes (3 fragments) did not arrive: the router (or a firewall) drops "
       "fragmented datagrams on the way out"},
      {P::UdpUp, 5058, &changed, "Large SIP over UDP to port 5058: 4,000 bytes (3 fragments) arrived changed: 2 headers rewritten"},
      {P::UdpUp, 5060, &one, "Large SIP over UDP to port 5060: 2,000 bytes (2 fragments) arrived changed: 1 header rewritten"},
      {P::UdpUp, 5060, &cut, "Large SIP over UDP to port 5060: 4,000 bytes (3 fragments) arrived cut short: 2,960 of 4,000 bytes"},
      {P::UdpDown, 5060, &lost, "Large SIP from the server to port 5060: 4,000 bytes did not arrive: fragments are dropped on the way in"},
      {P::UdpDown, 5058, &arrived, "Large SIP from the server to port 5058: 4,000 bytes arrived"},
      {P::UdpDown, 5060, &changed, "Large SIP from the server to port 5060: 4,000 bytes arrived changed: 2 headers rewritten"},
      {P::UdpDown, 5060, &untested, "Large SIP from the server to port 5060: 2,000 bytes not tested (the request for it did not reach the server)"},
      {P::TcpUp, 5060, &arrived, "Large SIP over TCP to port 5060: 4,000 bytes arrived unchanged"},
      {P::TcpUp, 5058, &lost,
       "Large SIP over TCP to port 5058: 4,000 bytes did not arrive, although TCP carries it in segments, not fragments: "
       "something on the way drops large SIP messages"},
  };
  for (const Row& r : rows) EXPECT_EQ(LargeSipLine(r.path, r.port, *r.size), r.line);
  EXPECT_EQ(WithThousands(65507), "65,507");
  EXPECT_EQ(WithThousands(999), "999");
  EXPECT_EQ(WithThousands(1000000), "1,000,000");
}

TEST(LargeSip, summary_and_advice) {
  const TLargeSize a2{2000, TLargeResult::Arrived}, a4{4000, TLargeResult::Arrived}, l2{2000, TLargeResult::Lost},
      l4{4000, TLargeResult::Lost}, c4{4000, TLargeResult::Changed, 2};
  struct Row {
    const char* name;
    TLargeSipReport report;
    std::vector<std::string> summary;  // each line's tail after "port 5060: "
    bool fragmentAdvice, changeAdvice, tcpNamed;
  };
  auto report = [](TLargeWay up, TLargeWay down, TLargeWay tcp) {
    TLargeSipReport r;
    r.Ran = true;
    r.Udp = {{5060, up, down}};
    r.Tcp = {{5060, tcp, {}}};
    return r;
  };
  const Row rows[] = {
      {"all through", report({{a2, a4}}, {{a2, a4}}, {{a4}}),
       {"4,000 bytes (3 fragments) arrived unchanged", "4,000 bytes arrived", "4,000 bytes arrived unchanged"},
       false, false, false},
      {"fragments dropped both ways", report({{l2, l4}}, {{l2, l4}}, {{a4}}),
       {"4,000 bytes (3 fragments) did not arrive: the router (or a firewall) drops fragmented datagrams on the way out",
        "4,000 bytes did not arrive: fragments are dropped on the way in", "4,000 bytes arrived unchanged"},
       true, false, true},
      {"two fragments pass, three do not: both said", report({{a2, l4}}, {{a2, a4}}, {{l4}}),
       {"2,000 bytes (2 fragments) arrived unchanged",
        "4,000 bytes (3 fragments) did not arrive: the router (or a firewall) drops fragmented datagrams on the way out",
        "4,000 bytes arrived",
        "4,000 bytes did not arrive, although TCP carries it in segments, not fragments: something on the way drops "
        "large SIP messages"},
       true, false, false},
      {"rewritten", report({{a2, c4}}, {{a2, a4}}, {{a4}}),
       {"2,000 bytes (2 fragments) arrived unchanged", "4,000 bytes (3 fragments) arrived changed: 2 headers rewritten",
        "4,000 bytes arrived", "4,000 bytes arrived unchanged"},
       false, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> tails;
    for (const std::string& l : LargeSipSummaryLines(r.report)) tails.push_back(l.substr(l.find("5060: ") + 6));
    EXPECT_EQ(tails, r.summary);
    const auto advice = LargeSipAdvice(r.report);
    auto has = [&](const char* part) {
      return std::any_of(advice.begin(), advice.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    EXPECT_EQ(has("IP fragment filtering"), r.fragmentAdvice);
    EXPECT_EQ(has("SIP over TCP (or TLS)"), r.fragmentAdvice);
    EXPECT_EQ(has("fewer codecs"), r.fragmentAdvice);
    EXPECT_EQ(has("changes large SIP messages"), r.changeAdvice);
    EXPECT_EQ(has("which carried the large message untouched here"), r.tcpNamed);
  }
  EXPECT_TRUE(LargeSipSummaryLines(TLargeSipReport()).empty()) << "a run without them says nothing of them";
}

TEST(LargeSip, the_inbox_keeps_answers_by_socket) {
  TLargeDownInbox inbox;
  const std::string answer = large_sip::DownText("tok", 2000);
  EXPECT_FALSE(inbox.Offer(5060, "Sent after 2000 Next pkt after 4000 "));
  EXPECT_TRUE(inbox.Offer(5058, answer));
  EXPECT_TRUE(inbox.Take(5060).empty());
  EXPECT_EQ(inbox.Take(5058), std::vector<std::string>{answer});
  EXPECT_TRUE(inbox.Take(5058).empty()) << "taken once";
  for (int i = 0; i < 20; ++i) inbox.Offer(5060, answer);
  EXPECT_EQ(inbox.Take(5060).size(), 16u) << "bounded";
}

}  // namespace
