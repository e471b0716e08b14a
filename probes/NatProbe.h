#pragma once
// The NAT session timeout probe and the RTP port probe, as plain code: the window's datagram
// and countdown handlers call these and show what they write.
#include <functional>
#include <optional>
#include <string>

#include "net/IdConvert.h"
#include "probes/RunResult.h"

// Receives one line for a pane.
using TNatLineSink = std::function<void(const std::string& line)>;

// Last printed session ages, per server port.
struct TNatAges {
  int LastNatSecs5058 = 0;
  int LastNatSecs5060 = 0;
};

// Handles one datagram that reached a SIP socket from senderPort. A session report
// ("Sent after <ms> ") prints how long the mapping held, deduplicated per server port; when it
// also announces the next one ("Next pkt after <ms> ") the result is the countdown to set
// (seconds + 2). Any other datagram is ignored. A bad number raises EConvertError after the
// lines before it were written. What is printed is also noted in `result`, when given, under
// socketPort (the nominal port of the socket the report reached; 0: under senderPort).
std::optional<int> HandleNatReport(const std::string& datagram, int senderPort, TNatAges& ages,
                                   const TNatLineSink& natPane, TRunResult* result = nullptr, int socketPort = 0);

// The three lines that open the NAT session test in the NAT pane.
void WriteNatLeadIn(const TNatLineSink& natPane);

// One tick of the countdown shown in the label: the new caption, or nullopt when the countdown
// has run out (the run ends).
std::optional<int> CountdownTick(const std::string& caption);

// The RTP verdict step of a countdown tick: once datagrams stopped arriving for a tick, report
// how many came and start counting anew.
void RtpVerdictStep(int& rtpCount, int& rtpPrevCount, int rtpPort, const TNatLineSink& rtpPane);
