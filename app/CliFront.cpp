#include "app/CliFront.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <chrono>
#include <optional>
#include <stdexcept>

#include "app/CliConsole.h"
#include "app/FormControls.h"
#include "app/Unit_1_client.h"
#include "net/IdConvert.h"

const char kCliUsage[] =
    "usage: nat-sip-alg-tester-cli [--local-ip ADDR] [--max-seconds N] [--json] [host[:port]]\n"
    "  --local-ip ADDR   local IPv4 address to test from (default: the first of this host's)\n"
    "  --max-seconds N   stop the run after N seconds (default 420)\n"
    "  --json            print one JSON object at the end instead of the lines\n"
    "  --help            print this text and end\n"
    "  --version         print the version and end\n"
    "  host[:port]       the echo server (default: the built-in one)\n"
    "exit status:\n"
    "  0  the run completed and no check saw an ALG\n"
    "  1  a check saw an ALG (a changed or a dropped probe), whatever happened after it\n"
    "  2  the server was not reached (the connection failed, or no TCP or no UDP packet got\n"
    "     through), or it is busy\n"
    "  3  anything else: an error, the bind limit, --max-seconds reached\n"
    "  4  the NAT session test started but no NAT session report came back within 60 s:\n"
    "     UDP from the server does not come back through the router\n"
    "  5  a probe was lost on the way, and so was the one sent to check the link (over TCP:\n"
    "     every resend of a message): the link loses packets, and that check has no verdict\n"
    "     (no other check saw an ALG)\n"
    "SIGINT and SIGTERM end the run as \"Stop test\" would; the summary follows.\n";

TCliOptions ParseCliOptions(const std::vector<std::string>& args) {
  TCliOptions o;
  bool endpointSeen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(std::string(name) + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      o.Help = true;
    } else if (a == "--version") {
      o.Version = true;
    } else if (a == "--json") {
      o.Json = true;
    } else if (a == "--local-ip") {
      o.LocalIp = value("--local-ip");
      if (o.LocalIp.empty()) throw std::invalid_argument("--local-ip needs an address");
    } else if (a == "--max-seconds") {
      const std::string& v = value("--max-seconds");
      const int n = StrToIntDef(v, -1);
      if (n <= 0) throw std::invalid_argument("--max-seconds needs a whole number above 0, not '" + v + "'");
      o.MaxSeconds = n;
    } else if (a.rfind("--", 0) == 0) {
      throw std::invalid_argument("unknown option " + a);
    } else if (endpointSeen) {
      throw std::invalid_argument("only one endpoint may be given (" + o.Endpoint + ", " + a + ")");
    } else {
      o.Endpoint = a;
      endpointSeen = true;
    }
  }
  return o;
}

std::string CliOutput(const TCliLine& line) {
  std::string out;
  const std::string& t = line.Text;
  size_t from = 0;
  while (true) {
    const size_t brk = t.find_first_of("\r\n", from);
    out += "[" + line.Tag + "] " + t.substr(from, brk == std::string::npos ? std::string::npos : brk - from) + "\n";
    if (brk == std::string::npos) break;
    from = brk + (t.compare(brk, 2, "\r\n") == 0 ? 2 : 1);
    if (from >= t.size()) break;
  }
  return out;
}

void TCliWindowing::ShowMessage(const std::string&, const std::string& text) { onError_(text); }
void TCliWindowing::ShowError(const std::string&, const std::string& text) { onError_(text); }

TCliDriver::TCliDriver(TForm1& form, const TCliOptions& options, std::function<void(const TCliLine&)> echo)
    : form_(form), options_(options), echo_(std::move(echo)) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    EndRun(TRunEnd::TimeLimit);
    Finish();  // whether or not the window got to end the run
  });
  natReports_.setSingleShot(true);
  connect(&natReports_, &QTimer::timeout, this, [this] { NoNatReportCheck(); });
  // Queued: the handler that ended the run finishes first (an error it raises is shown and
  // noted before the front winds up).
  connect(&form_, &TForm1::RunEnded, this, [this] { Finish(); }, Qt::QueuedConnection);
  connect(&form_, &TForm1::NatInvitesSent, this, [this] { natReports_.start(kNoNatReportSeconds * 1000); });
}

void TCliDriver::Add(const std::string& tag, const std::string& text) {
  record_.Lines.push_back({tag, text});
  if (echo_) echo_(record_.Lines.back());
}

void TCliDriver::AddError(const std::string& text) {
  record_.ErrorShown = true;
  // The control connection failed: one line that names the server, instead of the socket error.
  const TRunResult& r = form_.Result;
  if (r.End == TRunEnd::ServerNotReached && !r.NotReachedReason.empty() && !notReachedSaid_) {
    notReachedSaid_ = true;
    Add("ERROR", ServerNotReachedLine(form_.ServerHost, r.NotReachedReason));
    return;
  }
  Add("ERROR", text);
}

void TCliDriver::Start() {
  form_.AdviceInLog = false;  // the front gives its own advice after the summary
  const std::pair<TMemo*, const char*> panes[] = {
      {form_.MemoSIP, "SIP"}, {form_.MemoNat, "NAT"}, {form_.MemoRTP, "RTP"}, {form_.Memo2, "LOG"}};
  for (const auto& [memo, tag] : panes) {
    for (const std::string& line : memo->Lines()) Add(tag, line);
    const std::string t = tag;
    connect(memo, &TMemo::LineAdded, this, [this, t](const QString& line) { Add(t, FromDisplay(line)); });
  }
  connect(form_.StatusBar1, &TStatusBar::PanelTextChanged, this, [this](int index, const QString& text) {
    if (index == 0) Add("STATUS", FromDisplay(text));
  });
  if (form_.Closed()) {
    QTimer::singleShot(0, this, [this] { Finish(); });
    return;
  }
  if (!options_.LocalIp.empty()) form_.ComboBox1->setEditText(ToDisplay(options_.LocalIp));
  deadline_.start(options_.MaxSeconds * 1000);
  // The start and the test sequence block the event loop: they keep to the limit themselves.
  form_.RunDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.MaxSeconds);
  QTimer::singleShot(0, this, [this] {
    form_.BtnTest->click();  // runs the start inside the window's guard
  });
}

void TCliDriver::EndRun(TRunEnd why) {
  if (finished_) return;
  form_.MarkRunEnd(why);
  RunGuarded([this] { form_.StopBtnClick(form_.StopBtn); });
}

void TCliDriver::Interrupt() {
  EndRun(TRunEnd::Stopped);
  Finish();  // whether or not a run had begun
}

void TCliDriver::NoNatReportCheck() {
  if (finished_ || !form_.Result.Nat.empty()) return;
  // Printed, not kept: it is no pane's line.
  if (echo_)
    echo_({"NAT", "No NAT session report within " + std::to_string(kNoNatReportSeconds) +
                      " s after the NAT session test INVITEs: UDP from the server does not come back through "
                      "the router"});
  EndRun(TRunEnd::NoNatReport);
}

void TCliDriver::Finish() {
  if (finished_) return;
  finished_ = true;
  record_.WindowClosed = form_.Closed();
  deadline_.stop();
  natReports_.stop();
  emit Finished();
}

// ---- Summary -----------------------------------------------------------------------------------

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

// A text, or null when it is empty or holds only `unknown` characters (an address or MAC the
// router discovery could not find reads as zeros).
QJsonValue Known(const std::string& text, const char* unknown) {
  if (text.find_first_not_of(unknown) == std::string::npos) return QJsonValue::Null;
  return Text(text);
}

}  // namespace

int CliExitStatus(const TForm1& form, const TCliRecord& record) {
  const TRunResult& r = form.Result;
  if (r.Sequence.AnyAlg()) return kExitAlg;
  if (r.End == TRunEnd::ServerNotReached || r.End == TRunEnd::ServerBusy) return kExitUnreachable;
  if (r.Sequence.AnyLost()) return kExitLost;
  if (r.End == TRunEnd::NoNatReport) return kExitNoNatReport;
  if (record.ErrorShown || record.WindowClosed || r.End == TRunEnd::TimeLimit) return kExitFailure;
  if (r.Sequence.Outcome == TSequenceReport::TOutcome::Completed) return kExitClean;
  return kExitFailure;
}

std::string CliJson(const TForm1& form, const TCliRecord& record, int exitStatus) {
  const TRunResult& r = form.Result;
  const TSequenceReport& seq = r.Sequence;
  QJsonObject root{
      {"schema_version", kJsonSchemaVersion},
      {"exit_status", exitStatus},
      {"end", r.End == TRunEnd::Open ? QJsonValue(QJsonValue::Null) : QJsonValue(RunEndName(r.End))},
      {"not_reached", r.NotReachedReason.empty() ? QJsonValue(QJsonValue::Null) : Text(r.NotReachedReason)},
      {"server", Text(form.ServerHost)},
      {"server_address", form.ServerAddress.empty() ? QJsonValue(QJsonValue::Null) : Text(form.ServerAddress)},
      {"server_sip_port", form.ServerPort},
      {"alg", QJsonObject{{"5060", QJsonObject{{"register", Check(seq.Register5060)}, {"invite", Check(seq.Invite5060)}}},
                          {"5058", QJsonObject{{"register", Check(seq.Register5058)}, {"invite", Check(seq.Invite5058)}}}}},
      {"alg_tcp",
       QJsonObject{{"5060", QJsonObject{{"register", TcpCheck(seq.TcpRegister5060)}, {"invite", TcpCheck(seq.TcpInvite5060)}}},
                   {"5058", QJsonObject{{"register", TcpCheck(seq.TcpRegister5058)}, {"invite", TcpCheck(seq.TcpInvite5058)}}}}},
      {"public", QJsonObject{{"5060", Public(seq.Public5060)}, {"5058", Public(seq.Public5058)}}},
      {"nat", QJsonObject{{"5060", Nat(r, 5060, seq.Nat5060)}, {"5058", Nat(r, 5058, seq.Nat5058)}}},
      {"rtp", QJsonObject{{"port", form.RtpPort}, {"packets", r.RtpPackets}}},
      {"nat_behaviour", Behaviour(seq.Behaviour)},
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
  CliAddSummaryJson(root, form, exitStatus);
  return QJsonDocument(root).toJson(QJsonDocument::Compact).toStdString();
}
