#include "probes/SipProbe.h"

namespace {

const std::string kCrLf = "\r\n";

// One compared line: its OK line, or the Sent/Rcvd pair and one less on the counter.
void CompareLine(const std::string& received, const std::string& sent, const char* okLine,
                 const char* sentLabel, const char* rcvdLabel, const TSipLineSink& log,
                 int& counter) {
  if (received == sent) {
    log(okLine);
    return;
  }
  log(sentLabel + sent);
  log(rcvdLabel + received);
  --counter;
}

// The Via, From, Call-ID and Contact lines, the same in both probes.
void SetCommonHeaders(TSipProbe& p, const std::string& callIdToken, const std::string& localIp,
                      const std::string& localPort, bool overTcp) {
  p.SentVia = std::string("Via: SIP/2.0/") + (overTcp ? "TCP " : "UDP ") + localIp + ":" + localPort + ";branch=z9hG4bK1694065387";
  p.SentFrom = std::string("From: \"Velmor\" <sip:421421@") + SipDomain + ">;tag=477211674";
  p.SentCallId = "Call-ID:" + callIdToken + "@" + localIp;
  p.SentContact = "Contact: <sip:421421@" + localIp + ":" + localPort + ">";
}

// The six compared lines as they open the message, each with its CR LF.
std::string ComparedHeaders(const TSipProbe& p) {
  return p.SentRequestLine + kCrLf + p.SentVia + kCrLf + p.SentFrom + kCrLf + p.SentTo + kCrLf +
         p.SentCallId + kCrLf + p.SentContact + kCrLf;
}

}  // namespace

std::string CutLines(std::string& text, int n) {
  if (n <= 0) return {};
  size_t end = std::string::npos;  // position of the n-th CR LF
  size_t lastEnd = std::string::npos;
  size_t from = 0;
  for (int i = 0; i < n; ++i) {
    const size_t pos = text.find(kCrLf, from);
    if (pos == std::string::npos) break;
    lastEnd = pos;
    from = pos + 2;
    if (i == n - 1) end = pos;
  }
  if (end != std::string::npos) {
    std::string lines = text.substr(0, end);
    text.erase(0, end + 2);
    return lines;
  }
  // Fewer than n lines: hand out those there are; what follows the last CR LF is no line.
  std::string lines = lastEnd == std::string::npos ? std::string() : text.substr(0, lastEnd);
  text.clear();
  return lines;
}

void TSipProbe::BuildRegister(const std::string& callIdToken, const std::string& remotePort,
                              const std::string& localIp, const std::string& localPort, bool overTcp) {
  SentRequestLine = std::string("REGISTER sip:") + SipDomain + ":" + remotePort + " SIP/2.0";
  SetCommonHeaders(*this, callIdToken, localIp, localPort, overTcp);
  SentTo = std::string("To: \"Velmor\" <sip:421421@") + SipDomain + ">";
  RegisterMsg = ComparedHeaders(*this) +
                "CSeq: 1 REGISTER\r\n"
                "Max-Forwards: 70\r\n"
                "Expires: 60\r\n"
                "Content-Length: 0\r\n"
                "\r\n";
}

void TSipProbe::BuildInvite(const std::string& callIdToken, const std::string& remotePort,
                            const std::string& localIp, const std::string& localPort,
                            bool natTest, int rtpPort, bool overTcp) {
  SentRequestLine =
      std::string("INVITE sip:1234567890@") + SipDomain + ":" + remotePort + " SIP/2.0";
  SetCommonHeaders(*this, callIdToken, localIp, localPort, overTcp);
  SentTo = std::string("To: \"Velmor\" <sip:") + (natTest ? "check_nat_timeout" : "1234567890") +
           "@" + SipDomain + ">";

  const std::string mediaPort = std::to_string(natTest ? rtpPort : rtpPort + 2000);
  SentSdpOrigin = "o=- 1439573762 1439573762 IN IP4 " + localIp;
  SentSdpConnection = "c=IN IP4 " + localIp;
  SentSdpMedia = "m=audio " + mediaPort + " RTP/AVP 8 18";
  SentSdp = "v=0\r\n" + SentSdpOrigin + kCrLf + "s=ALG Test Phone\r\n" + SentSdpConnection +
            kCrLf + "t=0 0\r\na=sendrecv\r\n" + SentSdpMedia + kCrLf +
            "a=rtpmap:8 PCMA/8000\r\n"
            "a=rtpmap:18 G729/8000\r\n";

  InviteMsg = ComparedHeaders(*this) +
              "CSeq: 1 INVITE\r\n"
              "Max-Forwards: 70\r\n"
              "Content-Length: " + std::to_string(SentSdp.size()) + "\r\n\r\n" + SentSdp;
}

int TSipProbe::CompareSipHeaders(const std::string& echo, const TSipLineSink& log) const {
  std::string rest = echo;
  int counter = 0;
  CompareLine(CutLines(rest, 1), SentRequestLine, "Request URI check: OK", "Request URI Sent:",
              "Request URI Rcvd:", log, counter);
  CompareLine(CutLines(rest, 1), SentVia, "Via check:         OK", "Via Sent:", "Via Rcvd:", log,
              counter);
  CompareLine(CutLines(rest, 1), SentFrom, "From check:        OK", "From Sent:", "From Rcvd:",
              log, counter);
  CompareLine(CutLines(rest, 1), SentTo, "To check:          OK", "To Sent:", "To Rcvd:", log,
              counter);
  CompareLine(CutLines(rest, 1), SentCallId, "CallId check:      OK", "CallId Sent:",
              "CallId Rcvd:", log, counter);
  CompareLine(CutLines(rest, 1), SentContact, "Contact check:     OK", "Contact Sent:",
              "Contact Rcvd:", log, counter);
  return counter;
}

int TSipProbe::CompareSdp(const std::string& sdp, const TSipLineSink& log) const {
  std::string rest = sdp;
  int counter = 0;
  CutLines(rest, 1);  // v=
  CompareLine(CutLines(rest, 1), SentSdpOrigin, "SDP IP1 check:     OK", "SDP IP1 Sent:",
              "SDP IP1 Rcvd:", log, counter);
  CutLines(rest, 1);  // s=
  CompareLine(CutLines(rest, 1), SentSdpConnection, "SDP IP2 check:     OK", "SDP IP2 Sent:",
              "SDP IP2 Rcvd:", log, counter);
  CutLines(rest, 2);  // t= and a=sendrecv
  CompareLine(CutLines(rest, 1), SentSdpMedia, "SDP Port check:    OK", "SDP Port Sent:",
              "SDP Port Rcvd:", log, counter);
  return counter;
}

int TSipProbe::CheckRegisterEcho(const std::string& echo, const TSipLineSink& log) const {
  return CompareSipHeaders(echo, log);
}

int TSipProbe::CheckInviteEcho(const std::string& echo, const TSipLineSink& log) const {
  const int headers = CompareSipHeaders(echo, log);
  std::string body = echo;
  // Request line, six headers, CSeq, Max-Forwards, Content-Length and the empty line; the
  // Content-Length value is not trusted, the body is what follows.
  CutLines(body, 10);
  return headers + CompareSdp(body, log);
}

namespace {

// "ALG active on <where>. N header(s) changed", or the clean verdict with its own ending.
std::string VerdictOn(int result, const std::string& where, const char* cleanEnd) {
  if (result < 0)
    return "ALG active on " + where + ". " + std::to_string(-static_cast<long long>(result)) + " header(s) changed";
  return "No ALG detected on " + where + cleanEnd;
}

}  // namespace

std::string AlgVerdict(int result, int nominalPort) {
  return VerdictOn(result, "port " + std::to_string(nominalPort), ". ");
}

std::string TcpAlgVerdict(int result, int nominalPort) {
  return VerdictOn(result, "TCP port " + std::to_string(nominalPort), ".");
}
