#include "run/PlainWords.h"

#include <functional>

namespace {

// A term, what it means, and when the explanation applies (always when empty).
struct TPlainWord {
  const char* term;
  const char* meaning;
  std::function<bool(const TRunSummary&)> when = nullptr;
};

bool InboundBlocked(const TRunSummary& s) { return s.End == TRunEnd::NoNatReport; }

const std::vector<TPlainWord>& Words() {
  static const std::vector<TPlainWord> words = {
      {"Echo server: reached over TCP and UDP",
       "reached: what this computer sent got to the server; UDP that the server sends on its own is another matter, "
       "and the router blocks it (see the NAT lines)",
       InboundBlocked},
      {"SIP ALG on ", "SIP ALG: a router feature that rewrites SIP messages on their way; it often breaks calls"},
      {"NAT time-out on port ",
       "NAT time-out: how long the router keeps an idle UDP mapping, the way back in that a phone's outgoing "
       "datagram opened"},
      {"NAT time-out of a new mapping",
       "new mapping: one that carried a single datagram out, as after a phone's registration"},
      {"NAT time-out of a busy mapping",
       "busy mapping: one that carried datagrams both ways for a while, as during a call"},
      {"NAT refresh by incoming traffic",
       "refresh by incoming traffic: whether datagrams from outside keep a mapping open, or only this computer's own"},
      {"endpoint-independent or address-dependent (one server address)",
       "one server address: the test could not tell endpoint-independent from address-dependent apart"},
      {"mapping endpoint-independent",
       "endpoint-independent mapping: this computer keeps one public address and port whatever it talks to, which "
       "suits calls"},
      {"mapping address-dependent", "address-dependent mapping: each far address sees another public port"},
      {"mapping address and port dependent",
       "address and port dependent mapping: each far address and port sees another public port, so a phone's "
       "media may need a relay"},
      {"filtering endpoint-independent",
       "endpoint-independent filtering: once this computer has sent out, anyone may send back to its public port"},
      {"filtering address-dependent",
       "address-dependent filtering: only addresses this computer has sent to may send back"},
      {"filtering address and port dependent",
       "address and port dependent filtering: only the address and port this computer has sent to may send back"},
      {"port kept", "port kept: outside, the router keeps this computer's own port number"},
      {"port changed", "port changed: outside, the router gives this computer's traffic a port number of its own"},
      {"hairpinning yes", "hairpinning yes: devices behind this router can reach each other through its public address"},
      {"hairpinning no",
       "hairpinning no: devices behind this router cannot reach each other through its public address"},
      {"RTP (audio) port ",
       "unsolicited audio: datagrams the server sent to this port before this computer sent any audio; the test "
       "call's audio answers audio sent first",
       [](const TRunSummary& s) { return s.RtpTested; }},
      {"MOS ",
       "MOS: how a call would sound, from 1 (bad) to 5 (excellent); 4 and more is clear, below 3.6 callers notice; "
       "R is the same on a scale of 0 to 100"},
  };
  return words;
}

}  // namespace

std::vector<std::string> ExplainedSummaryLines(const TRunSummary& summary) {
  const std::vector<TPlainWord>& words = Words();
  std::vector<bool> told(words.size(), false);
  std::vector<std::string> out;
  for (const std::string& line : SummaryLines(summary)) {
    out.push_back(line);
    // A term whose longer form is on the line is explained by that form alone.
    std::string rest = line;
    for (size_t k = 0; k < words.size(); ++k) {
      const TPlainWord& w = words[k];
      const size_t at = rest.find(w.term);
      if (told[k] || at == std::string::npos || (w.when && !w.when(summary))) continue;
      told[k] = true;
      const std::string term = w.term;
      for (size_t p = at; p != std::string::npos; p = rest.find(term, p)) rest.replace(p, term.size(), term.size(), ' ');
      out.push_back(std::string("  ") + w.meaning);
    }
  }
  return out;
}
