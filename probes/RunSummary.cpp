#include "probes/RunSummary.h"

#include <algorithm>

namespace {

using TCheck = TSequenceReport::TCheck;

std::string ProbeText(const char* name, const TCheck& c, bool tcp) {
  const std::string n = std::string(name) + (tcp ? " over TCP" : "");
  if (!c.Done) return n + " not checked";
  if (c.Unreachable) return n + " not judged (" + (c.Why.empty() ? std::string("the port is not reachable") : c.Why) + ")";
  if (c.Dropped) return n + (tcp ? " swallowed" : " dropped");
  if (c.Lost) return n + " lost on the way (no verdict)";
  if (c.Result < 0) return n + ": " + std::to_string(-c.Result) + " header(s) changed";
  return n + " unchanged";
}

TAlgFinding Finding(int port, const TCheck& reg, const TCheck& inv, bool tcp = false) {
  using V = TAlgFinding::TVerdict;
  TAlgFinding f;
  f.Port = port;
  f.Probes = {ProbeText("REGISTER", reg, tcp), ProbeText("INVITE", inv, tcp)};
  // A probe lost on the way with its witness, or not sent at all, was not judged.
  const bool regJudged = reg.Done && !reg.Lost && !reg.Unreachable, invJudged = inv.Done && !inv.Lost && !inv.Unreachable;
  if (tcp && reg.Done) {
    if (reg.NotConnected && (!inv.Done || inv.NotConnected)) f.NotReachable = reg.Why;
    f.Swallowed = (reg.Dropped && regJudged) || (inv.Dropped && invJudged);
  }
  if ((regJudged && reg.Alg()) || (invJudged && inv.Alg()))
    f.Verdict = V::Active;
  else if (regJudged && invJudged)
    f.Verdict = V::None;
  else if (regJudged || invJudged)
    f.Verdict = V::NoneSoFar;
  return f;
}

// timeout: the time-out test's findings (whether incoming traffic refreshes a mapping); nothing
// when it did not run. sentAtMs: the socket's last datagram out.
TNatBracket Bracket(int port, bool started, bool alg, const TRunResult::TNatPort* reports, int64_t endMs,
                    const std::optional<TNatTimeoutResult>& timeout, int64_t sentAtMs) {
  using S = TNatBracket::TState;
  TNatBracket b;
  b.Port = port;
  if (!started) {
    b.State = alg ? S::NotRunAlg : S::NotRun;
    return b;
  }
  if (!reports || reports->HeldSecs.empty()) {
    b.State = S::NoReport;
    return b;
  }
  b.State = S::Measured;
  // Ages may come out of order (a schedule of the server's choosing): the longest one held.
  b.HeldSecs = *std::max_element(reports->HeldSecs.begin(), reports->HeldSecs.end());
  if (!reports->NextSecs) return b;
  const int next = *reports->NextSecs;
  switch (NextReportFate(next, b.HeldSecs, endMs - reports->LastAtMs)) {
    case TNextReport::NotDue: b.NotDueSecs = next; break;
    case TNextReport::GoneBy: b.GoneBySecs = next; break;
    case TNextReport::Missed: b.MissedSecs = next; break;
  }
  // Where the time-out test measured nothing (it did not run, or its port was blocked), the
  // reports are all there is: read as before.
  if (!timeout || (!timeout->New.Measured && !timeout->Busy.Measured)) return b;
  if (timeout->InboundRefresh == false && sentAtMs > 0 && reports->LastAtMs >= sentAtMs) {
    // Each report counted from the one before, which such a NAT does not count: from the INVITEs.
    const int64_t base = reports->LastAtMs - sentAtMs;
    const auto since = [&](int secs) { return static_cast<int>((base + int64_t{secs} * 1000 + 999) / 1000); };
    b.FromLastOut = true;
    b.HeldSecs = static_cast<int>(base / 1000);
    if (b.GoneBySecs) b.GoneBySecs = since(*b.GoneBySecs);
    if (b.NotDueSecs) b.NotDueSecs = since(*b.NotDueSecs);
    if (b.MissedSecs) b.MissedSecs = since(*b.MissedSecs);
  } else if (timeout->InboundRefresh != true && b.GoneBySecs) {
    b.GoneBySecs.reset();
    b.EndNotTold = true;
  }
  // A SIP socket's mapping carried traffic both ways: it does not go before the time-out test's
  // new mappings did. A report missing that soon was lost on the way (its one datagram).
  const std::optional<int>& newHeld = timeout->New.HeldSecs;
  if (b.GoneBySecs && newHeld && *b.GoneBySecs <= *newHeld) {
    b.MissedSecs = b.GoneBySecs;
    b.GoneBySecs.reset();
  }
  return b;
}

std::string AlgLine(const TAlgFinding& f, const char* transport = "") {
  using V = TAlgFinding::TVerdict;
  const std::string head = std::string("SIP ALG on ") + transport + "port " + std::to_string(f.Port) + ": ";
  const std::string probes = f.Probes.empty() ? std::string() : f.Probes[0] + ", " + f.Probes[1];
  switch (f.Verdict) {
    case V::Active: return head + "active (" + probes + ")";
    case V::None: return head + "none seen (REGISTER and INVITE came back unchanged)";
    case V::NoneSoFar: return head + "none seen so far (" + probes + ")";
    case V::NotChecked: break;
  }
  return head + "not checked";
}

std::string NatLine(const TNatBracket& b) {
  using S = TNatBracket::TState;
  const std::string head = "NAT time-out on port " + std::to_string(b.Port) + ": ";
  switch (b.State) {
    case S::NotRun: return head + "not measured";
    case S::NotRunAlg: return head + "not measured (the port showed an ALG)";
    case S::NoReport: return head + "not measured, no NAT report came back";
    case S::Measured: break;
  }
  const std::string held = std::to_string(b.HeldSecs) + " s";
  const std::string fromOut = b.FromLastOut ? ", counted from this computer's last datagram out, as this NAT counts" : "";
  if (b.EndNotTold)
    return head + "held at least " + held +
           "; when it went is not told (whether incoming traffic keeps a mapping open was not told)";
  if (b.GoneBySecs)
    return head + "held " + held + " idle, gone by " + std::to_string(*b.GoneBySecs) + " s" + fromOut;
  if (b.NotDueSecs)
    return head + "held at least " + held + " (the run ended before the " + std::to_string(*b.NotDueSecs) +
           " s report was due)";
  if (b.MissedSecs)
    return head + "held at least " + held + " (the " + std::to_string(*b.MissedSecs) + " s report did not come)";
  return head + "held at least " + held + fromOut;
}

std::string ServerLine(TServerReach r) {
  switch (r) {
    case TServerReach::Reached: return "Echo server: reached over TCP and UDP";
    case TServerReach::NoUdp: return "Echo server: reached over TCP, but no UDP probe got through";
    case TServerReach::NoTcp: return "Echo server: connected, but no answer came over TCP";
    case TServerReach::Unreachable: return "Echo server: not reached";
    case TServerReach::Busy: return "Echo server: busy, it could not take the test; try again in a few minutes";
    case TServerReach::NotTried: break;
  }
  return "Echo server: not tested";
}

// The NAT's class in one sentence; "" when STUN was not asked.
std::string BehaviourLine(const std::optional<TNatBehaviour>& b) {
  if (!b) return "";
  if (!b->Answered) return "NAT behaviour: not found (no STUN answer from the server)";
  auto kind = [](const std::optional<TNatKind>& k, bool notPortDependent) -> std::string {
    if (k) return NatKindText(*k);
    return notPortDependent ? "endpoint-independent or address-dependent (one server address)" : "not found";
  };
  std::string line = "NAT behaviour: mapping " + kind(b->Mapping, b->MappingNotPortDependent) + ", filtering " +
                     kind(b->Filtering, b->FilteringNotPortDependent) + ", port " +
                     (*b->PortPreserved ? "kept" : "changed");
  if (b->Hairpin) line += std::string(", hairpinning ") + (*b->Hairpin ? "yes" : "no");
  return line + ", public address " + stun::ToText(*b->Public) + (b->NoNat ? " (no NAT on the way)" : "");
}

std::string RtpLine(const TRunSummary& s) {
  const std::string head = s.RtpPort > 0 ? "RTP (audio) port " + std::to_string(s.RtpPort) + ": " : "RTP (audio): ";
  if (!s.RtpTested) return head + "not tested";
  if (s.RtpPackets == 0) return head + "no datagram from the server arrived";
  return head + std::to_string(s.RtpPackets) + (s.RtpPackets == 1 ? " datagram" : " datagrams") +
         " from the server arrived";
}

bool Found(const std::string& routerIp) { return !routerIp.empty() && routerIp != "0.0.0.0"; }
bool Known(const std::string& mac) { return !mac.empty() && mac.find_first_not_of('0') != std::string::npos; }

std::string RouterLine(const TRunSummary& s) {
  if (s.RouterIP.empty()) return "Router: not looked for";
  if (!Found(s.RouterIP)) return "Router: none found (no default route)";
  std::string line = "Router: " + s.RouterIP;
  if (!Known(s.RouterMac)) return line + ", MAC unknown";
  line += ", MAC " + MacWithColons(s.RouterMac);
  return line + (s.Vendor ? ", " + *s.Vendor : std::string(", maker not in the list"));
}

// What to do first: the server's reach, its place, inbound UDP.
std::vector<std::string> LeadingAdvice(const TRunSummary& s) {
  std::vector<std::string> out;
  const std::string& why = s.NotReachedReason;
  if (why == "the connection was refused")
    out.push_back("Check the server's name and that its echo server runs and takes TCP port 80; the package "
                  "sip-alg-echo-server runs one (see its manual page, sip-alg-echo-server(8)).");
  else if (why == "the connection timed out" || why == "there is no route to it")
    out.push_back("Check the server's name, this computer's network connection, and that no firewall on the way "
                  "blocks TCP port 80.");
  else if (why == "the host name is unknown")
    out.push_back("Check the server's name for typing errors.");
  else if (why == "the host name lookup got no answer")
    out.push_back("Check this computer's network connection and its DNS servers, or give the server's address "
                  "instead of its name.");
  if (s.OwnAddress)
    out.push_back("Run the test against an echo server on the internet, outside this network: the package "
                  "sip-alg-echo-server runs one on a machine there.");
  if (s.End == TRunEnd::NoNatReport)
    out.push_back("Inbound UDP does not come back through the router: look at its firewall or \"UDP flood\" "
                  "protection, or forward the ports (UDP 5060 and 5058) to this computer.");
  return out;
}

}  // namespace

bool TRunSummary::AnyAlg() const {
  const auto active = [](const TAlgFinding& f) { return f.Verdict == TAlgFinding::TVerdict::Active; };
  return std::any_of(Alg.begin(), Alg.end(), active) || std::any_of(AlgTcp.begin(), AlgTcp.end(), active);
}

const TAlgFinding* TRunSummary::AlgOn(int port) const {
  for (const TAlgFinding& f : Alg)
    if (f.Port == port) return &f;
  return nullptr;
}

std::optional<bool> SipPortLonger(const std::vector<TNatBracket>& ports, const std::optional<TNatTimeoutResult>& t,
                                  const TNatBracket** which) {
  *which = nullptr;
  if (!t || t->Busy.Unsteady || !t->Busy.GoneBySecs) return std::nullopt;
  std::optional<bool> longer;
  for (const TNatBracket& b : ports) {
    if (b.State != TNatBracket::TState::Measured) continue;
    if (b.HeldSecs > *t->Busy.GoneBySecs) {
      *which = &b;
      return true;
    }
    longer = false;
  }
  return longer;
}

TNextReport NextReportFate(int nextSecs, int heldSecs, int64_t sinceLastMs) {
  if (sinceLastMs < int64_t{nextSecs} * 1000 + kReportSlackMs) return TNextReport::NotDue;
  return nextSecs > heldSecs ? TNextReport::GoneBy : TNextReport::Missed;
}

bool IsShortNatTimeout(int goneBySecs) { return goneBySecs <= kShortNatTimeoutSecs; }

std::optional<int> KeepAliveExampleSecs(int secs) {
  if (secs < 10) return std::nullopt;
  return std::max(5, secs * 3 / 4 / 5 * 5);
}

std::string MacWithColons(const std::string& macText) {
  if (macText.size() != 12) return macText;
  std::string out;
  for (size_t i = 0; i < 12; i += 2) out += (i ? ":" : "") + macText.substr(i, 2);
  return out;
}

TRunSummary SummariseRun(const TRunResult& result, const TSummaryContext& context) {
  using O = TSequenceReport::TOutcome;
  const TSequenceReport& q = result.Sequence;
  TRunSummary s;
  switch (q.Outcome) {
    case O::NotRun:
      s.Server = result.End == TRunEnd::ServerNotReached ? TServerReach::Unreachable : TServerReach::NotTried;
      break;
    case O::NoGreeting: s.Server = TServerReach::NoTcp; break;
    case O::NoEcho: s.Server = TServerReach::NoUdp; break;
    case O::ServerBusy: s.Server = TServerReach::Busy; break;
    case O::Completed: s.Server = TServerReach::Reached; break;
    case O::TimeUp:
      // The time ran out in the sequence: UDP got through if any probe was judged.
      s.Server = q.Register5060.Done ? TServerReach::Reached : TServerReach::NotTried;
      break;
  }
  s.Alg = {Finding(5060, q.Register5060, q.Invite5060), Finding(5058, q.Register5058, q.Invite5058)};
  if (q.TcpRegister5060.Done) {  // the first check over TCP: the checks over TCP ran
    s.AlgTcp = {Finding(5060, q.TcpRegister5060, q.TcpInvite5060, true),
                Finding(5058, q.TcpRegister5058, q.TcpInvite5058, true)};
  }
  s.Large = q.Large;
  if (q.Outcome == O::Completed) {
    const int64_t endMs = result.EndedAtMs != 0 ? result.EndedAtMs : context.NowMs;
    auto reports = [&](int socketPort) {
      const auto it = result.Nat.find(socketPort);
      return it == result.Nat.end() ? nullptr : &it->second;
    };
    s.Nat = {Bracket(5060, q.Nat5060, s.Alg[0].Verdict == TAlgFinding::TVerdict::Active, reports(5060), endMs,
                     result.NatTimeout, q.NatSentAtMs5060),
             Bracket(5058, q.Nat5058, s.Alg[1].Verdict == TAlgFinding::TVerdict::Active, reports(5058), endMs,
                     result.NatTimeout, q.NatSentAtMs5058)};
  }
  s.SipPortLonger = SipPortLonger(s.Nat, result.NatTimeout, &s.SipPortLongerOn);
  s.Behaviour = q.Behaviour;
  s.Layers = q.Layers;
  s.RtpTested = q.NatTestStarted();
  s.RtpPort = context.RtpPort;
  s.RtpPackets = result.RtpPackets;
  s.Call = result.Call;
  s.NatTimeout = result.NatTimeout;
  s.RouterIP = result.RouterIP;
  s.RouterMac = result.RouterMac;
  s.Vendor = result.Vendor;
  s.End = result.End;
  s.NotReachedReason = result.NotReachedReason;
  const auto own = [&](const std::optional<TPublicMapping>& m) {
    return m && !context.LocalIp.empty() && m->Address == context.LocalIp;
  };
  s.OwnAddress = own(q.Public5060) || own(q.Public5058) || (q.Behaviour && q.Behaviour->Answered && q.Behaviour->NoNat);
  return s;
}

std::vector<std::string> SummaryLines(const TRunSummary& s) {
  std::vector<std::string> out = {ServerLine(s.Server)};
  if (s.OwnAddress)
    out.push_back("The echo server saw this computer's own address: nothing translated the traffic, so these checks "
                  "say nothing about a router.");
  for (const TAlgFinding& f : s.Alg) out.push_back(AlgLine(f));
  for (const TAlgFinding& f : s.AlgTcp) {
    out.push_back(AlgLine(f, "TCP "));
    if (f.NotReachable)
      out.push_back("SIP over TCP to port " + std::to_string(f.Port) + ": not reachable (" + *f.NotReachable +
                    "): a phone set to SIP over TCP cannot use this server port");
  }
  for (const std::string& line : LargeSipSummaryLines(s.Large)) out.push_back(line);
  for (const TNatBracket& b : s.Nat) out.push_back(NatLine(b));
  if (s.NatTimeout)
    for (const std::string& line : NatTimeoutLines(*s.NatTimeout)) out.push_back(line);
  if (s.SipPortLonger == true)
    out.push_back("On port " + std::to_string(s.SipPortLongerOn->Port) +
                  " the router keeps mappings open longer (held at least " +
                  std::to_string(s.SipPortLongerOn->HeldSecs) +
                  " s): its SIP ALG refreshes them; with the ALG off a phone meets the figures above");
  if (const std::string line = BehaviourLine(s.Behaviour); !line.empty()) out.push_back(line);
  if (s.Layers)
    for (const std::string& line : NatLayersSummaryLines(*s.Layers)) out.push_back(line);
  out.push_back(RtpLine(s));
  if (s.Call)
    for (const std::string& line : CallLines(*s.Call)) out.push_back(line);
  out.push_back(RouterLine(s));
  return out;
}

namespace {

// A keep-alive interval comfortably below `secs`: three quarters of it, in steps of 5 s.
std::string KeepAliveExample(int secs) {
  const std::optional<int> example = KeepAliveExampleSecs(secs);
  return example ? ", for example " + std::to_string(*example) + " s" : "";
}

const TNatBracket* ShortestPortTimeout(const TRunSummary& s) {
  const TNatBracket* shortest = nullptr;
  for (const TNatBracket& b : s.Nat)
    if (b.GoneBySecs && IsShortNatTimeout(*b.GoneBySecs) && (!shortest || b.HeldSecs < shortest->HeldSecs))
      shortest = &b;
  return shortest;
}

std::vector<std::string> NatTimeoutAdvice(const TRunSummary& s) {
  std::vector<std::string> out;
  if (!s.NatTimeout) return out;
  const TTimeoutBracket& n = s.NatTimeout->New;
  if (n.GoneBySecs && IsShortNatTimeout(*n.GoneBySecs)) {
    const std::string gone = std::to_string(*n.GoneBySecs);
    if (n.HeldSecs) {
      const std::string held = std::to_string(*n.HeldSecs);
      out.push_back("The NAT forgets a new UDP mapping after " + held + " to " + gone +
                    " s idle: set the keep-alive (or re-registration) interval of the phone or softphone below " +
                    held + " s" + KeepAliveExample(*n.HeldSecs) +
                    "; a phone's mapping is new after every registration, so a longer interval loses it and "
                    "incoming calls may not reach the phone.");
    } else {
      out.push_back("The NAT forgets a new UDP mapping within " + gone +
                    " s idle: set the keep-alive interval of the phone or softphone well below " + gone +
                    " s, or incoming calls may not reach it.");
    }
  }
  if (n.Unsteady && n.GoneBySecs && n.UnsteadyHeldSecs)
    out.push_back("The NAT's time-out is unsteady: it lost a new mapping after " + std::to_string(*n.GoneBySecs) +
                  " s idle, yet kept one for " + std::to_string(*n.UnsteadyHeldSecs) +
                  " s; the keep-alive above follows the shorter figure.");
  if (s.NatTimeout->InboundRefresh == false)
    out.push_back("Only what this computer sends keeps a mapping open: keep-alive requests that the provider sends "
                  "from its side will not keep it open, so the phone must send its own.");
  return out;
}

}  // namespace

std::vector<std::string> AdviceLines(const TRunSummary& s) {
  using V = TAlgFinding::TVerdict;
  std::vector<std::string> out = LeadingAdvice(s);
  if (s.AnyAlg()) {
    if (Found(s.RouterIP))
      out.push_back("Switch the router's SIP ALG off: open the router's page, http://" + s.RouterIP +
                    "/, in a browser and sign in as its administrator.");
    else
      out.push_back("Switch the router's SIP ALG off in the router's settings page.");
    out.push_back("The setting is usually called \"SIP ALG\"; it may also be called \"SIP helper\", "
                  "\"SIP passthrough\" or \"SIP fixup\".");
    const TAlgFinding* clean = nullptr;
    const TAlgFinding* active = nullptr;
    for (const TAlgFinding& f : s.Alg) {
      if (f.Verdict == V::None && !clean) clean = &f;
      if (f.Verdict == V::Active && !active) active = &f;
    }
    if (clean && active) {
      const std::string cp = std::to_string(clean->Port);
      out.push_back("Port " + cp + " passed untouched: the ALG handles port " + std::to_string(active->Port) +
                    " only, so a provider's other SIP port (such as " + cp +
                    "), or SIP over TLS, avoids it where the ALG cannot be switched off.");
    } else {
      out.push_back("Where the ALG cannot be switched off, SIP over TLS avoids it: the router cannot read "
                    "encrypted messages.");
    }
    // Which way round SIP over TCP went.
    const auto any = [](const std::vector<TAlgFinding>& v, V verdict) {
      return std::any_of(v.begin(), v.end(), [&](const TAlgFinding& f) { return f.Verdict == verdict; });
    };
    if (any(s.AlgTcp, V::Active) && !any(s.Alg, V::Active) && any(s.Alg, V::None))
      out.push_back("The ALG rewrites SIP over TCP only: SIP over UDP passed untouched.");
    else if (any(s.Alg, V::Active) && !any(s.AlgTcp, V::Active) && any(s.AlgTcp, V::None))
      out.push_back("SIP over TCP passed untouched: a phone set to SIP over TCP avoids the ALG where it cannot be "
                    "switched off.");
    // A message swallowed over TCP had reached whatever acknowledged it: an ALG, or a filter.
    for (const TAlgFinding& f : s.AlgTcp)
      if (f.Swallowed) {
        out.push_back("Over TCP to port " + std::to_string(f.Port) +
                      " a message was swallowed after the far end had acknowledged it: an ALG does so, or a "
                      "firewall that filters SIP on that port (\"SIP inspection\", \"VoIP protection\", an intrusion "
                      "filter); where switching the ALG off does not help, look for such a filter in the router's "
                      "firewall settings or in this computer's security software.");
        break;
      }
    out.push_back("Run the test again after the change; some routers apply it only after a restart.");
  }
  // The keep-alive: below the new mapping's time-out, since a phone's mapping is new after every
  // registration: the one figure of the headline. From the per-port reports only where the
  // time-out test did not run.
  const TNatBracket* shortest = ShortestPortTimeout(s);
  if (s.NatTimeout && s.NatTimeout->New.Measured) {
    const auto keepAlive = NatTimeoutAdvice(s);
    out.insert(out.end(), keepAlive.begin(), keepAlive.end());
  } else if (shortest) {
    const int held = shortest->HeldSecs;
    out.push_back("The NAT forgets an idle UDP mapping after " + std::to_string(held) + " to " +
                  std::to_string(*shortest->GoneBySecs) + " s (port " + std::to_string(shortest->Port) +
                  "): set the keep-alive (or re-registration) interval of the phone or softphone below " +
                  std::to_string(held) + " s" + KeepAliveExample(held) + ", or incoming calls may not reach it.");
  }
  if (s.Behaviour && s.Behaviour->Mapping == TNatKind::AddressAndPortDependent)
    out.push_back("The NAT gives each destination a new public port (address and port dependent mapping): audio "
                  "sent straight between two phones will not get through, so calls need a media relay (TURN, or "
                  "the provider's media proxy); check that the phone or provider uses one.");
  if (s.Layers)
    for (const std::string& line : NatLayersAdvice(*s.Layers)) out.push_back(line);
  // A TCP port that no connection reached because something on the way dropped the attempts (a
  // refusal is the far host's answer).
  for (const TAlgFinding& f : s.AlgTcp) {
    if (!f.NotReachable || *f.NotReachable != "the connection timed out") continue;
    const std::string p = std::to_string(f.Port);
    std::string other;
    for (const TAlgFinding& g : s.AlgTcp)
      if (g.Port != f.Port && !g.NotReachable && !g.Swallowed && g.Verdict != V::NotChecked)
        other = " (TCP port " + std::to_string(g.Port) + " got through in this run)";
    out.push_back("SIP over TCP to port " + p + " did not get through: check the router's firewall and this "
                  "computer's firewall (or security software) for outgoing TCP to port " + p +
                  "; where it stays blocked, a provider's other SIP ports" + other +
                  ", or SIP over UDP, reach the provider.");
  }
  for (const std::string& line : LargeSipAdvice(s.Large)) out.push_back(line);
  if (s.Call)
    for (const std::string& line : CallAdvice(*s.Call)) out.push_back(line);
  return out;
}
