#pragma once
// The SIP probes that look for an Application Layer Gateway: composing the REGISTER and the
// INVITE exactly as they go on the wire, and comparing the server's echo of each, line by line,
// with what was sent. Plain code; the window's methods of the same names call into it and show
// the lines it writes.
#include <functional>
#include <string>

// The SIP domain that every probe names in its request URI and in its From and To lines. A name
// under a reserved top-level domain: it can never belong to anyone.
inline constexpr char SipDomain[] = "alg-test.invalid";

// Receives one result line for the log pane.
using TSipLineSink = std::function<void(const std::string& line)>;

// Removes the first n CR LF-ended lines from text and returns them, without the n-th CR LF (the
// inner ones stay). n of 0 or less returns an empty text and leaves text alone. When text holds
// fewer than n CR LF pairs, the lines it does hold are returned (without the last CR LF) and text
// becomes empty; bytes after the last CR LF are no line and are dropped, so a line that is
// missing reads as empty.
std::string CutLines(std::string& text, int n);

// The probe texts of one run, and every line of the last probe that the echo comparison checks,
// exactly as sent. Each build replaces what it writes; BuildRegister leaves InviteMsg and the SDP
// fields alone, BuildInvite leaves RegisterMsg alone.
struct TSipProbe {
  std::string RegisterMsg;        // the whole REGISTER, as sent
  std::string InviteMsg;          // the whole INVITE, as sent
  std::string SentRequestLine;    // line 1 of the last probe, without its CR LF
  std::string SentVia;            // line 2
  std::string SentFrom;           // line 3
  std::string SentTo;             // line 4
  std::string SentCallId;         // line 5
  std::string SentContact;        // line 6
  std::string SentSdp;            // the whole SDP body of the last INVITE
  std::string SentSdpOrigin;      // its o= line, without CR LF
  std::string SentSdpConnection;  // its c= line
  std::string SentSdpMedia;       // its m= line

  // A REGISTER without body. Ports are decimal texts; localIp is dotted decimal. overTcp: its Via
  // names TCP, and localIp and localPort are those of its own TCP connection.
  void BuildRegister(const std::string& callIdToken, const std::string& remotePort,
                     const std::string& localIp, const std::string& localPort, bool overTcp = false);

  // An INVITE with an SDP audio offer. natTest asks the server for the NAT session test and
  // announces rtpPort itself; otherwise the offer announces rtpPort + 2000.
  void BuildInvite(const std::string& callIdToken, const std::string& remotePort,
                   const std::string& localIp, const std::string& localPort, bool natTest,
                   int rtpPort, bool overTcp = false);

  // Compares the first six lines of echo with the six sent header lines, writing one OK line or a
  // Sent/Rcvd pair per line to log. Returns minus the number of lines that differ (0 to -6).
  int CompareSipHeaders(const std::string& echo, const TSipLineSink& log) const;

  // Compares the o=, c= and m= lines (2nd, 4th and 7th) of an SDP body with the sent ones.
  // Returns 0 to -3.
  int CompareSdp(const std::string& sdp, const TSipLineSink& log) const;

  // The REGISTER check: CompareSipHeaders on the echo (without the server's report line).
  int CheckRegisterEcho(const std::string& echo, const TSipLineSink& log) const;

  // The INVITE check: the header comparison plus the SDP comparison of what follows the tenth
  // line of the echo. Returns 0 to -9.
  int CheckInviteEcho(const std::string& echo, const TSipLineSink& log) const;
};

// The verdict for one check of the socket with the given nominal port (5060 or 5058):
// "ALG active on port N. <k> header(s) changed" for a result below 0, else
// "No ALG detected on port N. ".
std::string AlgVerdict(int result, int nominalPort);

// The same over TCP: "ALG active on TCP port N. <k> header(s) changed", else
// "No ALG detected on TCP port N."
std::string TcpAlgVerdict(int result, int nominalPort);
