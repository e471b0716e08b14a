#include "app/CliJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <optional>

#include "proto/CallWire.h"

namespace {

// Bytes of the system's 8-bit code page as JSON text (each byte the character of the same code).
QJsonValue Text(const std::string& bytes) { return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())); }

QJsonArray LinesOf(const TCliRecord& record, const char* tag) {
  QJsonArray out;
  for (const auto& l : record.Lines)
    if (l.Tag == tag) out.append(Text(l.Text));
  return out;
}

QJsonValue Check(const TSequenceReport::TCheck& c) {
  if (!c.Done) return QJsonValue::Null;
  const char* verdict = c.Dropped ? "dropped" : c.Lost ? "lost" : c.Result < 0 ? "alg" : "no_alg";
  return QJsonObject{{"verdict", verdict}, {"changed", -c.Result}};
}

// A check over TCP: a connection that could not be made is no verdict; a message never echoed
// although the far end acknowledged it was swallowed; one never acknowledged was lost.
QJsonValue TcpCheck(const TSequenceReport::TCheck& c) {
  if (!c.Done) return QJsonValue::Null;
  const char* verdict = c.Unreachable ? "not_reachable"
                        : c.Dropped   ? "swallowed"
                        : c.Lost      ? "lost"
                        : c.Result < 0 ? "alg"
                                       : "no_alg";
  return QJsonObject{{"verdict", verdict}, {"changed", -c.Result}};
}

QJsonValue Number(const std::optional<int>& v) { return v ? QJsonValue(*v) : QJsonValue::Null; }

QJsonValue Flag(const std::optional<bool>& v) { return v ? QJsonValue(*v) : QJsonValue(); }

// {"new": {...}, "busy": {...}, "inbound_refresh": ..., "idle_seconds_tested": [...], "port": N,
// "sip_port_longer": ...}; null when the time-out test did not run.
QJsonValue NatTimeoutJson(const TRunSummary& s) {
  const std::optional<TNatTimeoutResult>& r = s.NatTimeout;
  if (!r) return QJsonValue(QJsonValue::Null);
  const auto bracket = [](const TTimeoutBracket& b) {
    return QJsonObject{
        {"held_seconds", Number(b.HeldSecs)}, {"gone_by_seconds", Number(b.GoneBySecs)}, {"unsteady", b.Unsteady}};
  };
  QJsonArray tested;
  for (int secs : r->IdleSecsTested) tested.append(secs);
  return QJsonObject{{"new", bracket(r->New)},
                     {"busy", bracket(r->Busy)},
                     {"inbound_refresh", Flag(r->InboundRefresh)},
                     {"idle_seconds_tested", tested},
                     {"port", r->Port},
                     {"sip_port_longer", Flag(s.SipPortLonger)}};
}

QJsonValue Public(const std::optional<TPublicMapping>& m) {
  if (!m) return QJsonValue::Null;
  return QJsonObject{{"address", Text(m->Address)}, {"port", m->Port}, {"port_kept", m->PortKept}};
}

QJsonValue Nat(const TRunResult& r, int port, bool started) {
  const auto it = r.Nat.find(port);
  std::optional<int> last, next;
  if (it != r.Nat.end()) {
    if (!it->second.HeldSecs.empty()) last = it->second.HeldSecs.back();
    next = it->second.NextSecs;
  }
  return QJsonObject{{"started", started}, {"last_ok_seconds", Number(last)}, {"next_seconds", Number(next)}};
}

// The NAT's class; every member null when it was not found. A server with one address cannot
// tell endpoint-independent from address-dependent, and says so.
QJsonValue Behaviour(const std::optional<TNatBehaviour>& b) {
  auto kind = [](const std::optional<TNatKind>& k, bool notPortDependent) {
    if (k) return QJsonValue(NatKindName(*k));
    return notPortDependent ? QJsonValue("endpoint_independent_or_address_dependent") : QJsonValue(QJsonValue::Null);
  };
  auto flag = [](const std::optional<bool>& f) { return f ? QJsonValue(*f) : QJsonValue::Null; };
  const bool found = b && b->Answered;
  return QJsonObject{
      {"mapping", found ? kind(b->Mapping, b->MappingNotPortDependent) : QJsonValue::Null},
      {"filtering", found ? kind(b->Filtering, b->FilteringNotPortDependent) : QJsonValue::Null},
      {"port_preserved", found ? flag(b->PortPreserved) : QJsonValue::Null},
      {"hairpin", found ? flag(b->Hairpin) : QJsonValue::Null},
      {"public", QJsonObject{{"address", found ? Text(stun::AddressText(b->Public->Address))
                                               : QJsonValue::Null},
                             {"port", found ? QJsonValue(b->Public->Port) : QJsonValue::Null}}},
  };
}

// How many NATs; null when that was not looked for.
QJsonValue LayersJson(const std::optional<TNatLayers>& l) {
  if (!l) return QJsonValue();
  QJsonArray hops;
  for (const TPathHop& h : l->Seen.Path.Hops) {
    const auto kind = AddressKindOf(h.Address);
    hops.append(QJsonObject{{"ttl", h.Ttl},
                            {"address", Text(h.Address)},
                            {"kind", kind ? QJsonValue(AddressKindName(*kind)) : QJsonValue()}});
  }
  const auto& r = l->Router;
  return QJsonObject{
      {"count", l->Count ? QJsonValue(*l->Count) : QJsonValue()},
      {"carrier_grade", l->CarrierGrade ? QJsonValue(*l->CarrierGrade) : QJsonValue()},
      {"likely", l->Likely},
      {"gateway", QJsonObject{{"protocol", r ? QJsonValue(GatewayProtocolName(r->Protocol)) : QJsonValue()},
                              {"external_address", r && r->ExternalAddress ? Text(*r->ExternalAddress) : QJsonValue()}}},
      {"hops", hops},
      {"server_ttl", l->Seen.Path.DestinationTtl ? QJsonValue(*l->Seen.Path.DestinationTtl) : QJsonValue()},
  };
}

// A text, or null when it is empty or holds only `unknown` characters (an address or MAC the
// router discovery could not find reads as zeros).
QJsonValue Known(const std::string& text, const char* unknown) {
  if (text.find_first_not_of(unknown) == std::string::npos) return QJsonValue::Null;
  return Text(text);
}


QJsonArray Strings(const std::vector<std::string>& lines) {
  QJsonArray out;
  for (const std::string& l : lines) out.append(QString::fromLatin1(l.data(), static_cast<qsizetype>(l.size())));
  return out;
}

const char* ServerName(TServerReach r) {
  switch (r) {
    case TServerReach::Reached: return "reached";
    case TServerReach::NoUdp: return "no_udp";
    case TServerReach::NoTcp: return "no_tcp";
    case TServerReach::Unreachable: return "not_reached";
    case TServerReach::Busy: return "busy";
    case TServerReach::NotTried: break;
  }
  return "not_tested";
}

const char* AlgName(TAlgFinding::TVerdict v) {
  using V = TAlgFinding::TVerdict;
  switch (v) {
    case V::Active: return "active";
    case V::None: return "none";
    case V::NoneSoFar: return "none_so_far";
    case V::NotChecked: break;
  }
  return "not_checked";
}

const char* NatStateName(TNatBracket::TState s) {
  using S = TNatBracket::TState;
  switch (s) {
    case S::Measured: return "measured";
    case S::NoReport: return "no_report";
    case S::NotRunAlg: return "not_run_alg";
    case S::NotRun: break;
  }
  return "not_run";
}

QJsonObject CallDirectionJson(const TCallDirection& d) {
  return QJsonObject{{"sent", d.Sent},
                     {"received", d.Received},
                     {"loss_percent", d.LossPercent},
                     {"jitter_ms", d.JitterMs},
                     {"longest_loss_run", d.LongestLossRun},
                     {"r_factor", d.R ? QJsonValue(*d.R) : QJsonValue()},
                     {"mos", d.Mos ? QJsonValue(*d.Mos) : QJsonValue()}};
}

// The test call; null where it did not run.
QJsonValue CallJson(const std::optional<TCallResult>& c) {
  if (!c) return QJsonValue();
  auto direction = [](const std::optional<TCallDirection>& d) { return d ? QJsonValue(CallDirectionJson(*d)) : QJsonValue(); };
  const bool known = c->NotTested == TCallNotTested::None;
  const char* notTested = CallNotTestedName(c->NotTested);
  return QJsonObject{
      {"not_tested", notTested ? QJsonValue(notTested) : QJsonValue()},
      {"seconds", c->Seconds},
      {"packets_per_second", call_wire::kPacketsPerSecond},
      {"audio", known ? QJsonValue(CallAudioName(c->Audio)) : QJsonValue()},
      {"up", direction(c->Up)},
      {"down", direction(c->Down)},
      {"rtt_ms", c->RttMedianMs ? QJsonValue(QJsonObject{{"median", *c->RttMedianMs}, {"p95", *c->RttP95Ms}}) : QJsonValue()},
  };
}

// Large SIP messages: per transport, port and way, the largest size's verdict and every size's.
QJsonValue LargeSipJson(const TLargeSipReport& r) {
  if (!r.Ran) return QJsonValue();
  auto size = [](const TLargeSize& z, bool udp) {
    const bool tested = z.Result != TLargeResult::NotTested;
    return QJsonObject{{"bytes", z.Bytes},
                       {"fragments", udp ? QJsonValue(large_sip::Fragments(z.Bytes)) : QJsonValue()},
                       {"result", tested ? QJsonValue(LargeResultName(z.Result)) : QJsonValue()},
                       {"changed_lines", z.ChangedLines},
                       {"received_bytes", tested && z.Result != TLargeResult::Lost ? QJsonValue(z.ReceivedBytes) : QJsonValue()},
                       {"not_tested", tested ? QJsonValue() : QJsonValue(Text(z.Why))}};
  };
  auto way = [&](const TLargeWay& w, bool udp) -> QJsonValue {
    const TLargeSize* d = w.Deciding();
    if (!d) return QJsonValue();
    QJsonObject o = size(*d, udp);
    QJsonArray sizes;
    for (const TLargeSize& z : w.Sizes) sizes.append(size(z, udp));
    o.insert("sizes", sizes);
    return o;
  };
  QJsonObject udp, tcp;
  for (const TLargePort& p : r.Udp)
    udp[QString::number(p.Port)] = QJsonObject{{"up", way(p.Up, true)}, {"down", way(p.Down, true)}};
  for (const TLargePort& p : r.Tcp) tcp[QString::number(p.Port)] = QJsonObject{{"up", way(p.Up, false)}};
  return QJsonObject{{"udp", udp}, {"tcp", tcp}};
}

// Adds the summary ("summary": the lines and their facts by port) and the advice ("advice").
void AddSummary(QJsonObject& root, const TRunReport& report, int exitStatus) {
  const TRunSummary& s = report.Summary;
  QJsonObject alg, algTcp, nat;
  for (const TAlgFinding& f : s.Alg) alg[QString::number(f.Port)] = AlgName(f.Verdict);
  for (const TAlgFinding& f : s.AlgTcp) algTcp[QString::number(f.Port)] = AlgName(f.Verdict);
  for (const TNatBracket& b : s.Nat) {
    const bool measured = b.State == TNatBracket::TState::Measured;
    nat[QString::number(b.Port)] = QJsonObject{{"state", NatStateName(b.State)},
                                               {"held_seconds", measured ? QJsonValue(b.HeldSecs) : QJsonValue()},
                                               {"gone_by_seconds", Number(b.GoneBySecs)}};
  }
  root.insert("summary", QJsonObject{{"lines", Strings(CliResultTexts(report, exitStatus))},
                                     {"server", ServerName(s.Server)},
                                     {"alg", alg},
                                     {"alg_tcp", s.AlgTcp.empty() ? QJsonValue() : QJsonValue(algTcp)},
                                     {"nat_timeout", NatTimeoutJson(s)},
                                     {"nat_timeout_by_port", nat},
                                     {"rtp_tested", s.RtpTested},
                                     {"exit_meaning", QString::fromStdString(CliExitMeaning(exitStatus, s.End))}});
  root.insert("advice", Strings(AdviceLines(s)));
}

}  // namespace

std::string CliJson(const TRunReport& report, const TCliRecord& record, int exitStatus) {
  const TRunResult& r = report.Result;
  const TSequenceReport& seq = r.Sequence;
  QJsonObject root{
      {"schema_version", kJsonSchemaVersion},
      {"exit_status", exitStatus},
      {"end", r.End == TRunEnd::Open ? QJsonValue(QJsonValue::Null) : QJsonValue(RunEndName(r.End))},
      {"not_reached", r.NotReachedReason.empty() ? QJsonValue(QJsonValue::Null) : Text(r.NotReachedReason)},
      {"server", Text(report.ServerHost)},
      {"server_address", report.ServerAddress.empty() ? QJsonValue(QJsonValue::Null) : Text(report.ServerAddress)},
      {"server_sip_port", report.ServerPort},
      {"alg", QJsonObject{{"5060", QJsonObject{{"register", Check(seq.Register5060)}, {"invite", Check(seq.Invite5060)}}},
                          {"5058", QJsonObject{{"register", Check(seq.Register5058)}, {"invite", Check(seq.Invite5058)}}}}},
      {"alg_tcp",
       QJsonObject{{"5060", QJsonObject{{"register", TcpCheck(seq.TcpRegister5060)}, {"invite", TcpCheck(seq.TcpInvite5060)}}},
                   {"5058", QJsonObject{{"register", TcpCheck(seq.TcpRegister5058)}, {"invite", TcpCheck(seq.TcpInvite5058)}}}}},
      {"public", QJsonObject{{"5060", Public(seq.Public5060)}, {"5058", Public(seq.Public5058)}}},
      {"nat", QJsonObject{{"5060", Nat(r, 5060, seq.Nat5060)}, {"5058", Nat(r, 5058, seq.Nat5058)}}},
      {"rtp", QJsonObject{{"port", report.RtpPort}, {"packets", r.RtpPackets}}},
      {"call", CallJson(r.Call)},
      {"large_sip", LargeSipJson(seq.Large)},
      {"nat_behaviour", Behaviour(seq.Behaviour)},
      {"nat_layers", LayersJson(seq.Layers)},
      {"router", QJsonObject{{"ip", Known(r.RouterIP, "0.")},
                             {"mac", Known(r.RouterMac, "0")},
                             {"vendor", r.Vendor ? Text(*r.Vendor) : QJsonValue(QJsonValue::Null)}}},
      {"panes", QJsonObject{{"sip", LinesOf(record, "SIP")},
                            {"nat", LinesOf(record, "NAT")},
                            {"rtp", LinesOf(record, "RTP")},
                            {"log", LinesOf(record, "LOG")}}},
      {"status", LinesOf(record, "STATUS")},
      {"errors", LinesOf(record, "ERROR")},
  };
  AddSummary(root, report, exitStatus);
  return QJsonDocument(root).toJson(QJsonDocument::Compact).toStdString();
}
