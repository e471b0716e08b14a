// The REGISTER and INVITE probes, byte for byte, and the sent lines the builders keep.
#include <gtest/gtest.h>

#include <string>

#include "probes/SipProbe.h"

namespace {

const std::string kDomain = SipDomain;

std::string ExpectedRegister(const std::string& token, const std::string& remotePort,
                             const std::string& ip, const std::string& localPort) {
  return "REGISTER sip:" + kDomain + ":" + remotePort + " SIP/2.0\r\n" +
         "Via: SIP/2.0/UDP " + ip + ":" + localPort + ";branch=z9hG4bK1694065387\r\n" +
         "From: \"Velmor\" <sip:421421@" + kDomain + ">;tag=477211674\r\n" +
         "To: \"Velmor\" <sip:421421@" + kDomain + ">\r\n" +
         "Call-ID:" + token + "@" + ip + "\r\n" +
         "Contact: <sip:421421@" + ip + ":" + localPort + ">\r\n" +
         "CSeq: 1 REGISTER\r\n"
         "Max-Forwards: 70\r\n"
         "Expires: 60\r\n"
         "Content-Length: 0\r\n"
         "\r\n";
}

TEST(SipProbeBuild, register_byte_for_byte) {
  struct Case {
    std::string token, remotePort, ip, localPort;
  };
  const Case cases[] = {
      {"abc", "5060", "10.0.0.2", "5060"},
      {"abc", "5058", "10.0.0.2", "5058"},
      {"9f2c01d4e5a6b7c8", "5070", "192.168.100.200", "5062"},
  };
  for (const auto& c : cases) {
    TSipProbe p;
    p.BuildRegister(c.token, c.remotePort, c.ip, c.localPort);
    EXPECT_EQ(p.RegisterMsg, ExpectedRegister(c.token, c.remotePort, c.ip, c.localPort));
    EXPECT_EQ(p.SentRequestLine, "REGISTER sip:" + kDomain + ":" + c.remotePort + " SIP/2.0");
    EXPECT_EQ(p.SentVia,
              "Via: SIP/2.0/UDP " + c.ip + ":" + c.localPort + ";branch=z9hG4bK1694065387");
    EXPECT_EQ(p.SentCallId, "Call-ID:" + c.token + "@" + c.ip);
    EXPECT_EQ(p.SentContact, "Contact: <sip:421421@" + c.ip + ":" + c.localPort + ">");
    EXPECT_TRUE(p.InviteMsg.empty());
    EXPECT_TRUE(p.SentSdp.empty());
  }
}

TEST(SipProbeBuild, register_ends_with_expires_length_and_empty_line) {
  TSipProbe p;
  p.BuildRegister("abc", "5060", "10.0.0.2", "5060");
  const std::string tail = "Expires: 60\r\nContent-Length: 0\r\n\r\n";
  ASSERT_EQ(tail.size(), 34u);
  ASSERT_GE(p.RegisterMsg.size(), tail.size());
  EXPECT_EQ(p.RegisterMsg.substr(p.RegisterMsg.size() - tail.size()), tail);
  EXPECT_EQ(p.RegisterMsg.find("Call-ID: "), std::string::npos);  // no blank after the colon
}

TEST(SipProbeBuild, invite_example_byte_for_byte) {
  TSipProbe p;
  p.BuildInvite("tok", "5060", "192.168.1.10", "5060", false, 5004);
  const std::string sdp =
      "v=0\r\n"
      "o=- 1439573762 1439573762 IN IP4 192.168.1.10\r\n"
      "s=ALG Test Phone\r\n"
      "c=IN IP4 192.168.1.10\r\n"
      "t=0 0\r\n"
      "a=sendrecv\r\n"
      "m=audio 7004 RTP/AVP 8 18\r\n"
      "a=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:18 G729/8000\r\n";
  ASSERT_EQ(sdp.size(), 184u);
  const std::string expected =
      "INVITE sip:1234567890@" + kDomain + ":5060 SIP/2.0\r\n" +
      "Via: SIP/2.0/UDP 192.168.1.10:5060;branch=z9hG4bK1694065387\r\n" +
      "From: \"Velmor\" <sip:421421@" + kDomain + ">;tag=477211674\r\n" +
      "To: \"Velmor\" <sip:1234567890@" + kDomain + ">\r\n" +
      "Call-ID:tok@192.168.1.10\r\n"
      "Contact: <sip:421421@192.168.1.10:5060>\r\n"
      "CSeq: 1 INVITE\r\n"
      "Max-Forwards: 70\r\n"
      "Content-Length: 184\r\n"
      "\r\n" +
      sdp;
  EXPECT_EQ(p.InviteMsg, expected);
  EXPECT_EQ(p.SentSdp, sdp);
  EXPECT_EQ(p.SentSdpOrigin, "o=- 1439573762 1439573762 IN IP4 192.168.1.10");
  EXPECT_EQ(p.SentSdpConnection, "c=IN IP4 192.168.1.10");
  EXPECT_EQ(p.SentSdpMedia, "m=audio 7004 RTP/AVP 8 18");
  EXPECT_EQ(p.SentTo, "To: \"Velmor\" <sip:1234567890@" + kDomain + ">");
  EXPECT_TRUE(p.RegisterMsg.empty());
}

TEST(SipProbeBuild, invite_media_port_and_content_length) {
  struct Case {
    bool natTest;
    int rtpPort;
    std::string ip;
    std::string mediaPort;
    std::string toUser;
  };
  const Case cases[] = {
      {false, 5004, "10.0.0.2", "7004", "1234567890"},
      {true, 5004, "10.0.0.2", "5004", "check_nat_timeout"},
      {true, 5006, "172.16.0.1", "5006", "check_nat_timeout"},
      {false, 5006, "172.16.0.1", "7006", "1234567890"},
      {true, 998, "1.2.3.4", "998", "check_nat_timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mediaPort + " " + c.ip);
    TSipProbe p;
    p.BuildInvite("t", "5058", c.ip, "5058", c.natTest, c.rtpPort);
    EXPECT_EQ(p.SentSdpMedia, "m=audio " + c.mediaPort + " RTP/AVP 8 18");
    EXPECT_EQ(p.SentTo, "To: \"Velmor\" <sip:" + c.toUser + "@" + kDomain + ">");
    const size_t length = 156 + 2 * c.ip.size() + c.mediaPort.size();
    EXPECT_EQ(p.SentSdp.size(), length);
    EXPECT_NE(p.InviteMsg.find("\r\nContent-Length: " + std::to_string(length) + "\r\n\r\nv=0\r\n"),
              std::string::npos);
    // The body closes the message; nothing follows it.
    EXPECT_EQ(p.InviteMsg.substr(p.InviteMsg.size() - p.SentSdp.size()), p.SentSdp);
    EXPECT_EQ(p.InviteMsg.find("Expires"), std::string::npos);
    EXPECT_EQ(p.InviteMsg.find("Content-Type"), std::string::npos);
  }
  TSipProbe p;
  p.BuildInvite("t", "5060", "10.0.0.2", "5060", true, 5004);
  EXPECT_EQ(p.SentSdp.size(), 176u);
}

TEST(SipProbeBuild, register_after_invite_keeps_invite_and_sdp) {
  TSipProbe p;
  p.BuildInvite("tok", "5060", "10.0.0.2", "5060", false, 5004);
  const TSipProbe afterInvite = p;
  p.BuildRegister("tok", "5058", "10.0.0.2", "5058");
  EXPECT_EQ(p.InviteMsg, afterInvite.InviteMsg);
  EXPECT_EQ(p.SentSdp, afterInvite.SentSdp);
  EXPECT_EQ(p.SentSdpOrigin, afterInvite.SentSdpOrigin);
  EXPECT_EQ(p.SentSdpConnection, afterInvite.SentSdpConnection);
  EXPECT_EQ(p.SentSdpMedia, afterInvite.SentSdpMedia);
  EXPECT_EQ(p.SentRequestLine, "REGISTER sip:" + kDomain + ":5058 SIP/2.0");
  EXPECT_EQ(p.SentTo, "To: \"Velmor\" <sip:421421@" + kDomain + ">");
  EXPECT_EQ(p.SentVia, "Via: SIP/2.0/UDP 10.0.0.2:5058;branch=z9hG4bK1694065387");

  const std::string registerMsg = p.RegisterMsg;
  p.BuildInvite("tok", "5060", "10.0.0.2", "5060", true, 5004);
  EXPECT_EQ(p.RegisterMsg, registerMsg);
  EXPECT_EQ(p.SentRequestLine, "INVITE sip:1234567890@" + kDomain + ":5060 SIP/2.0");
}

TEST(SipProbeBuild, both_sockets_share_the_call_id_line) {
  TSipProbe a, b;
  a.BuildRegister("tok", "5060", "10.0.0.2", "5060");
  b.BuildRegister("tok", "5058", "10.0.0.2", "5058");
  EXPECT_EQ(a.SentCallId, b.SentCallId);
  EXPECT_NE(a.SentVia, b.SentVia);
  EXPECT_NE(a.SentContact, b.SentContact);
  EXPECT_NE(a.SentRequestLine, b.SentRequestLine);
}

}  // namespace

// Over TCP the probes differ from those by UDP in the Via's transport alone, and each is one
// message a stream reader frames by its Content-Length: the head ends at the first empty line
// and the body is exactly as long as named.
TEST(SipProbeBuildTcp, only_the_via_names_tcp_and_the_length_frames_the_message) {
  for (const bool invite : {false, true}) {
    SCOPED_TRACE(invite ? "INVITE" : "REGISTER");
    TSipProbe udp, tcp;
    if (invite) {
      udp.BuildInvite("tok", "5060", "10.0.0.2", "40001", false, 5006);
      tcp.BuildInvite("tok", "5060", "10.0.0.2", "40001", false, 5006, true);
    } else {
      udp.BuildRegister("tok", "5060", "10.0.0.2", "40001");
      tcp.BuildRegister("tok", "5060", "10.0.0.2", "40001", true);
    }
    const std::string& u = invite ? udp.InviteMsg : udp.RegisterMsg;
    const std::string& t = invite ? tcp.InviteMsg : tcp.RegisterMsg;
    EXPECT_EQ(tcp.SentVia, "Via: SIP/2.0/TCP 10.0.0.2:40001;branch=z9hG4bK1694065387");
    std::string expected = u;
    expected.replace(expected.find("SIP/2.0/UDP"), 11, "SIP/2.0/TCP");
    EXPECT_EQ(t, expected);
    const size_t head = t.find("\r\n\r\n") + 4;
    const size_t at = t.find("Content-Length: ") + 16;
    EXPECT_EQ(std::stoul(t.substr(at)), t.size() - head);
    EXPECT_EQ(t.find("Content-Length: ", at), std::string::npos) << "one Content-Length";
  }
}
