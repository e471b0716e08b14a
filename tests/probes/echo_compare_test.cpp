// Cutting lines off an echo, and judging echoes of the probes as routers hand them back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probes/SipProbe.h"

namespace {

struct Log {
  std::vector<std::string> lines;
  TSipLineSink sink() {
    return [this](const std::string& l) { lines.push_back(l); };
  }
};

TEST(CutLines, table) {
  struct Case {
    const char* name;
    std::string text;
    int n;
    std::string cut;
    std::string rest;
  };
  const Case cases[] = {
      {"zero", "a\r\nb\r\n", 0, "", "a\r\nb\r\n"},
      {"negative", "a\r\nb\r\n", -3, "", "a\r\nb\r\n"},
      {"one", "a\r\nb\r\n", 1, "a", "b\r\n"},
      {"two keep inner pair", "a\r\nb\r\nc", 2, "a\r\nb", "c"},
      {"exactly all", "a\r\nb\r\n", 2, "a\r\nb", ""},
      {"empty line", "\r\nx\r\n", 1, "", "x\r\n"},
      {"lone CR and LF are no line end", "a\rb\nc\r\nd", 1, "a\rb\nc", "d"},
      {"CR before CR LF", "a\r\r\nb", 1, "a\r", "b"},
      {"no CR LF at all", "abc", 1, "", ""},
      {"empty text", "", 1, "", ""},
      {"fewer lines than asked", "a\r\nb\r\nc", 5, "a\r\nb", ""},
      {"one line but two asked", "a\r\n", 2, "a", ""},
      {"ends in lone CR", "a\r", 1, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    EXPECT_EQ(CutLines(text, c.n), c.cut);
    EXPECT_EQ(text, c.rest);
  }
}

TEST(CutLines, repeated_cuts_past_the_end_read_empty) {
  std::string text = "only\r\ntail";
  EXPECT_EQ(CutLines(text, 1), "only");
  EXPECT_EQ(CutLines(text, 1), "");
  EXPECT_EQ(CutLines(text, 1), "");
  EXPECT_EQ(text, "");
}

const char* const kHeaderOk[] = {
    "Request URI check: OK", "Via check:         OK", "From check:        OK",
    "To check:          OK", "CallId check:      OK", "Contact check:     OK",
};
const char* const kSdpOk[] = {"SDP IP1 check:     OK", "SDP IP2 check:     OK",
                              "SDP Port check:    OK"};

TEST(EchoCompare, ok_lines_are_21_characters_with_ok_in_columns_20_and_21) {
  for (const char* l : kHeaderOk) {
    EXPECT_EQ(std::string(l).size(), 21u) << l;
    EXPECT_EQ(std::string(l).substr(19), "OK") << l;
  }
  for (const char* l : kSdpOk) EXPECT_EQ(std::string(l).size(), 21u) << l;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
  return s;
}

TEST(EchoCompare, register_router_behaviours) {
  TSipProbe p;
  p.BuildRegister("tok", "5060", "192.168.1.10", "5060");
  const std::string sent = p.RegisterMsg;
  const std::string via = p.SentVia, contact = p.SentContact, callId = p.SentCallId;
  const std::string viaRewritten =
      "Via: SIP/2.0/UDP 203.0.113.7:5060;branch=z9hG4bK1694065387";
  const std::string contactRewritten = "Contact: <sip:421421@203.0.113.7:5060>";

  struct Case {
    const char* name;
    std::string echo;
    int result;
    std::vector<std::string> lines;
  };
  const std::string requestLine = p.SentRequestLine;
  const Case cases[] = {
      {"unchanged",
       sent,
       0,
       {kHeaderOk[0], kHeaderOk[1], kHeaderOk[2], kHeaderOk[3], kHeaderOk[4], kHeaderOk[5]}},
      {"via and contact rewritten",
       Replace(Replace(sent, via, viaRewritten), contact, contactRewritten),
       -2,
       {kHeaderOk[0], "Via Sent:" + via, "Via Rcvd:" + viaRewritten, kHeaderOk[2], kHeaderOk[3],
        kHeaderOk[4], "Contact Sent:" + contact, "Contact Rcvd:" + contactRewritten}},
      {"letter case of a header name",
       Replace(sent, "Call-ID:", "Call-Id:"),
       -1,
       {kHeaderOk[0], kHeaderOk[1], kHeaderOk[2], kHeaderOk[3], "CallId Sent:" + callId,
        "CallId Rcvd:" + Replace(callId, "Call-ID:", "Call-Id:"), kHeaderOk[5]}},
      {"header inserted after the request line",
       Replace(sent, requestLine + "\r\n", requestLine + "\r\nRecord-Route: <sip:alg>\r\n"),
       -5,
       {kHeaderOk[0], "Via Sent:" + via, "Via Rcvd:Record-Route: <sip:alg>",
        "From Sent:" + p.SentFrom, "From Rcvd:" + via, "To Sent:" + p.SentTo,
        "To Rcvd:" + p.SentFrom, "CallId Sent:" + callId, "CallId Rcvd:" + p.SentTo,
        "Contact Sent:" + contact, "Contact Rcvd:" + callId}},
      {"truncated inside the From line",
       sent.substr(0, sent.find("From: ") + 10),
       -4,
       {kHeaderOk[0], kHeaderOk[1], "From Sent:" + p.SentFrom, "From Rcvd:", "To Sent:" + p.SentTo,
        "To Rcvd:", "CallId Sent:" + callId, "CallId Rcvd:", "Contact Sent:" + contact,
        "Contact Rcvd:"}},
      {"empty echo",
       "",
       -6,
       {"Request URI Sent:" + requestLine, "Request URI Rcvd:", "Via Sent:" + via, "Via Rcvd:",
        "From Sent:" + p.SentFrom, "From Rcvd:", "To Sent:" + p.SentTo, "To Rcvd:",
        "CallId Sent:" + callId, "CallId Rcvd:", "Contact Sent:" + contact, "Contact Rcvd:"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Log log;
    const std::string echo = c.echo;
    EXPECT_EQ(p.CheckRegisterEcho(echo, log.sink()), c.result);
    EXPECT_EQ(log.lines, c.lines);
    EXPECT_EQ(echo, c.echo);  // the caller's echo is left whole
  }
  EXPECT_EQ(AlgVerdict(-2, 5060), "ALG active on port 5060. 2 header(s) changed");
  EXPECT_EQ(AlgVerdict(0, 5058), "No ALG detected on port 5058. ");
  EXPECT_EQ(AlgVerdict(-9, 5058), "ALG active on port 5058. 9 header(s) changed");
}

TEST(EchoCompare, invite_router_behaviours) {
  TSipProbe p;
  p.BuildInvite("tok", "5060", "192.168.1.10", "5060", false, 5004);
  const std::string sent = p.InviteMsg;
  const std::vector<std::string> allHeadersOk(std::begin(kHeaderOk), std::end(kHeaderOk));

  // SDP lines only: the ALG rewrote the addresses and the port in the body.
  {
    std::string echo = Replace(sent, "IN IP4 192.168.1.10", "IN IP4 203.0.113.7");
    echo = Replace(echo, "m=audio 7004 ", "m=audio 41000 ");
    Log log;
    EXPECT_EQ(p.CheckInviteEcho(echo, log.sink()), -3);
    std::vector<std::string> expected = allHeadersOk;
    const std::vector<std::string> sdpLines = {
        "SDP IP1 Sent:" + p.SentSdpOrigin,
        "SDP IP1 Rcvd:o=- 1439573762 1439573762 IN IP4 203.0.113.7",
        "SDP IP2 Sent:" + p.SentSdpConnection,
        "SDP IP2 Rcvd:c=IN IP4 203.0.113.7",
        "SDP Port Sent:" + p.SentSdpMedia,
        "SDP Port Rcvd:m=audio 41000 RTP/AVP 8 18"};
    expected.insert(expected.end(), sdpLines.begin(), sdpLines.end());
    EXPECT_EQ(log.lines, expected);
  }
  // Untouched: nine OK lines.
  {
    Log log;
    EXPECT_EQ(p.CheckInviteEcho(sent, log.sink()), 0);
    std::vector<std::string> expected = allHeadersOk;
    expected.insert(expected.end(), std::begin(kSdpOk), std::end(kSdpOk));
    EXPECT_EQ(log.lines, expected);
  }
  // A header block one line longer moves the SDP comparison off its lines even though the body
  // is untouched; Content-Length is not trusted.
  {
    const std::string echo =
        Replace(sent, "Max-Forwards: 70\r\n", "Max-Forwards: 69\r\nAllow: INVITE\r\n");
    Log log;
    const int result = p.CheckInviteEcho(echo, log.sink());
    EXPECT_EQ(result, -3);
    EXPECT_EQ(std::vector<std::string>(log.lines.begin(), log.lines.begin() + 6), allHeadersOk);
    EXPECT_EQ(log.lines[7], "SDP IP1 Rcvd:v=0");
  }
  // Truncated after the header block: every SDP line reads as empty.
  {
    const std::string echo = sent.substr(0, sent.find("\r\n\r\n") + 2);
    Log log;
    EXPECT_EQ(p.CheckInviteEcho(echo, log.sink()), -3);
    ASSERT_EQ(log.lines.size(), 12u);
    EXPECT_EQ(log.lines[7], "SDP IP1 Rcvd:");
    EXPECT_EQ(log.lines[9], "SDP IP2 Rcvd:");
    EXPECT_EQ(log.lines[11], "SDP Port Rcvd:");
  }
  // Truncated in the middle of the SDP: the lines before the cut still compare equal.
  {
    const std::string echo = sent.substr(0, sent.find("t=0 0"));
    Log log;
    EXPECT_EQ(p.CheckInviteEcho(echo, log.sink()), -1);
    EXPECT_EQ(log.lines[6], kSdpOk[0]);
    EXPECT_EQ(log.lines[7], kSdpOk[1]);
    EXPECT_EQ(log.lines[9], "SDP Port Rcvd:");
  }
}

TEST(EchoCompare, check_invite_uses_sent_lines_of_last_build) {
  // Judging relies on the fields of the probe just built: a REGISTER echo judged after an INVITE
  // was built compares against the INVITE's lines.
  TSipProbe p;
  p.BuildRegister("tok", "5060", "10.0.0.2", "5060");
  const std::string registerEcho = p.RegisterMsg;
  p.BuildInvite("tok", "5060", "10.0.0.2", "5060", false, 5004);
  Log log;
  EXPECT_EQ(p.CheckRegisterEcho(registerEcho, log.sink()), -2);  // request line and To differ
}

}  // namespace
