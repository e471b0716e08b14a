#include "app/CliFront.h"

#include <QComboBox>
#include <QPushButton>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>

#include "app/FormControls.h"
#include "app/Unit_1_client.h"
#include "net/IdConvert.h"

const char kCliUsage[] =
    "usage: nat-sip-alg-tester-cli [--local-ip ADDR] [--max-seconds N] [--json] [host[:port]]\n"
    "  --local-ip ADDR   local IPv4 address to test from (default: the first of this host's)\n"
    "  --max-seconds N   stop the run after N seconds (default 420)\n"
    "  --json            print one JSON object at the end instead of the lines\n"
    "  --version         print the version and end\n"
    "  host[:port]       the echo server (default: the built-in one)\n"
    "exit status: 0 no ALG seen, 1 an ALG seen, 2 server not reached, 3 any other failure\n";

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
  poll_.setInterval(100);
  connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] { TimeUp(); });
}

void TCliDriver::Add(const std::string& tag, const std::string& text) {
  record_.Lines.push_back({tag, text});
  if (echo_) echo_(record_.Lines.back());
}

void TCliDriver::AddError(const std::string& text) {
  record_.ErrorShown = true;
  Add("ERROR", text);
}

void TCliDriver::Start() {
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
    record_.WindowClosed = true;
    QTimer::singleShot(0, this, [this] { Finish(); });
    return;
  }
  if (!options_.LocalIp.empty()) form_.ComboBox1->setEditText(ToDisplay(options_.LocalIp));
  deadline_.start(options_.MaxSeconds * 1000);
  poll_.start();
  QTimer::singleShot(0, this, [this] {
    form_.BtnTest->click();  // runs the start inside the window's guard
    pressed_ = true;
    Poll();
  });
}

void TCliDriver::Poll() {
  if (finished_) return;
  if (form_.Closed()) {
    record_.WindowClosed = true;
    Finish();
  } else if (pressed_ && form_.BtnTest->isEnabled()) {
    Finish();  // every way a run ends enables "Start test" again
  }
}

void TCliDriver::TimeUp() {
  if (finished_) return;
  record_.TimedOut = true;
  if (form_.StopBtn->isEnabled()) {
    form_.StopBtn->click();
  } else {
    RunGuarded([this] { form_.IdTCPClient1->Disconnect(); });
  }
  Finish();
}

void TCliDriver::Finish() {
  if (finished_) return;
  finished_ = true;
  poll_.stop();
  deadline_.stop();
  emit Finished();
}

// ---- Summary -----------------------------------------------------------------------------------

namespace {

bool AnyAlg(const TSequenceReport& r) {
  for (const auto* c : {&r.Register5060, &r.Register5058, &r.Invite5060, &r.Invite5058})
    if (c->Done && c->Result < 0) return true;
  return false;
}

std::vector<std::string> LinesOf(const TCliRecord& record, const char* tag) {
  std::vector<std::string> out;
  for (const auto& l : record.Lines)
    if (l.Tag == tag) out.push_back(l.Text);
  return out;
}

// JSON text of 8-bit bytes (each byte is the character of the same code).
std::string JsonString(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c >= 0x80) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + JsonString(items[i]);
  return out + "]";
}

std::string JsonCheck(const TSequenceReport::TCheck& c) {
  if (!c.Done) return "null";
  return std::string("{\"verdict\":") + (c.Result < 0 ? "\"alg\"" : "\"no_alg\"") +
         ",\"changed\":" + std::to_string(-c.Result) + "}";
}

std::string JsonInt(const std::optional<int>& v) { return v ? std::to_string(*v) : "null"; }

}  // namespace

int CliExitStatus(const TForm1& form, const TCliRecord& record) {
  using O = TSequenceReport::TOutcome;
  const TSequenceReport& r = form.LastReport;
  if (r.Outcome == O::NoGreeting || r.Outcome == O::NoEcho) return kExitUnreachable;
  if (record.ErrorShown || record.TimedOut || record.WindowClosed) return kExitFailure;
  if (AnyAlg(r)) return kExitAlg;
  if (r.Outcome == O::Completed) return kExitClean;
  return kExitFailure;
}

std::string CliJson(const TForm1& form, const TCliRecord& record, int exitStatus) {
  const TSequenceReport& r = form.LastReport;
  const std::vector<std::string> sip = LinesOf(record, "SIP"), nat = LinesOf(record, "NAT"),
                                 rtp = LinesOf(record, "RTP"), log = LinesOf(record, "LOG");

  // NAT results per server port: the last age that held, and the next one announced after it.
  struct Nat { std::optional<int> lastOk, next; };
  std::map<int, Nat> natByPort;
  const std::regex okLine(R"(^NAT session on port (\d+) ok after (-?\d+)s$)");
  const std::regex nextLine(R"(^Checking port (\d+) after (-?\d+)s \.\.\.$)");
  for (const std::string& l : nat) {
    std::smatch m;
    if (std::regex_match(l, m, okLine)) {
      Nat& n = natByPort[std::stoi(m[1])];
      n.lastOk = std::stoi(m[2]);
      n.next.reset();
    } else if (std::regex_match(l, m, nextLine)) {
      natByPort[std::stoi(m[1])].next = std::stoi(m[2]);
    }
  }
  int rtpPackets = 0;
  const std::regex pktsLine(R"(^(\d+) pkts received$)");
  for (const std::string& l : rtp) {
    std::smatch m;
    if (std::regex_match(l, m, pktsLine)) rtpPackets += std::stoi(m[1]);
  }
  // The router as the last start reported it; the maker is the line the vendor step adds.
  std::string routerIp, routerMac, vendor;
  for (size_t i = 0; i < sip.size(); ++i) {
    const std::string& l = sip[i];
    if (l.rfind("Router IP: ", 0) == 0) {
      routerIp = l.substr(11);
      routerMac.clear();
      vendor.clear();
    } else if (l.rfind("Router mac address: ", 0) == 0) {
      routerMac = l.substr(20);
    } else if (l == "Downloading MAC list... ") {
      size_t k = i + 1;
      while (k < sip.size() && (sip[k] == "Downloading new mac file list" ||
                                sip[k].rfind("Exception in HTTP connection with ", 0) == 0))
        ++k;
      if (k < sip.size() && sip[k] != "Connecting to remote server... ") vendor = sip[k];
    }
  }

  std::string out = "{";
  out += "\"exit_status\":" + std::to_string(exitStatus);
  out += ",\"server\":" + JsonString(form.ServerHost) + ",\"server_sip_port\":" + std::to_string(form.ServerPort);
  out += ",\"alg\":{\"5060\":{\"register\":" + JsonCheck(r.Register5060) + ",\"invite\":" + JsonCheck(r.Invite5060) +
         "},\"5058\":{\"register\":" + JsonCheck(r.Register5058) + ",\"invite\":" + JsonCheck(r.Invite5058) + "}}";
  out += ",\"nat\":{";
  bool first = true;
  for (const auto& [port, n] : natByPort) {
    out += std::string(first ? "" : ",") + "\"" + std::to_string(port) + "\":{\"last_ok_seconds\":" +
           JsonInt(n.lastOk) + ",\"next_seconds\":" + JsonInt(n.next) + "}";
    first = false;
  }
  out += "},\"rtp\":{\"port\":" + std::to_string(form.RtpPort) + ",\"packets\":" + std::to_string(rtpPackets) + "}";
  out += ",\"router\":{\"ip\":" + JsonString(routerIp) + ",\"mac\":" + JsonString(routerMac) +
         ",\"vendor\":" + (vendor.empty() ? std::string("null") : JsonString(vendor)) + "}";
  out += ",\"panes\":{\"sip\":" + JsonList(sip) + ",\"nat\":" + JsonList(nat) + ",\"rtp\":" + JsonList(rtp) +
         ",\"log\":" + JsonList(log) + "}";
  out += ",\"status\":" + JsonList(LinesOf(record, "STATUS"));
  out += ",\"errors\":" + JsonList(LinesOf(record, "ERROR"));
  out += "}";
  return out;
}
