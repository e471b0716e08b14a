#include "app/CliOptions.h"

#include <stdexcept>

#include "net/IdComponent.h"
#include "net/IdConvert.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

const char kCliUsage[] =
    "usage: nat-sip-alg-tester-cli [--local-ip ADDR] [--max-seconds N] [--call-seconds N]\n"
    "                              [--json] [host[:port]]\n"
    "  --local-ip ADDR   local IPv4 address to test from (default: the first of this host's)\n"
    "  --max-seconds N   stop the run after N seconds (default 420)\n"
    "  --call-seconds N  length of the test call, 0 for none (default 15; the server may\n"
    "                    take less)\n"
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

namespace {

// The one argument that is no option: the echo server.
void TakeEndpoint(TCliOptions& o, const std::string& a, bool& seen) {
  if (seen) throw std::invalid_argument("only one endpoint may be given (" + o.Endpoint + ", " + a + ")");
  o.Endpoint = a;
  seen = true;
}

}  // namespace

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
    } else if (a == "--call-seconds") {
      const std::string& v = value("--call-seconds");
      const int n = StrToIntDef(v, -1);
      if (n < 0 || n > 3600) throw std::invalid_argument("--call-seconds needs a whole number from 0 to 3600, not '" + v + "'");
      o.CallSeconds = n;
    } else if (a[0] == '-') {
      throw std::invalid_argument("unknown option " + a);
    } else {
      TakeEndpoint(o, a, endpointSeen);
    }
  }
  return o;
}

const char kWindowUsage[] =
    "usage: nat-sip-alg-tester [host[:port]]\n"
    "  host[:port]  the echo server, put in the window's \"Echo server\" field (default: the last one used)\n"
    "  --version    print the version and end\n"
    "  --help       print this text and end\n"
    "Without a display, nat-sip-alg-tester-cli runs the same test in a console.\n";

TCliOptions ParseWindowOptions(const std::vector<std::string>& args) {
  TCliOptions o;
  bool endpointSeen = false;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      o.Help = true;
    } else if (a == "--version") {
      o.Version = true;
    } else if (!a.empty() && a[0] == '-') {
      throw std::invalid_argument("unknown option " + a);
    } else {
      TakeEndpoint(o, a, endpointSeen);
    }
  }
  return o;
}

std::string NotALocalAddressLine(const std::string& address, const std::vector<std::string>& localAddresses) {
  std::string list;
  for (const std::string& a : localAddresses) list += (list.empty() ? "" : ", ") + a;
  return "--local-ip " + address + " is not an address of this computer; its addresses: " +
         (list.empty() ? std::string("none") : list);
}

bool IsLocalAddress(const std::string& address) {
  const TIdComponent keepStackAlive;
  if (!SocketStack || !TIdStack::IsAddressText(address)) return false;
  // Port 0: the system picks a free one, so only an address that is not this computer's fails.
  TIdSocketHandle probe;
  try {
    probe.OpenSocket(Id_SOCK_DGRAM);
    probe.IP = address;
    probe.Port = 0;
    probe.BindLocal();
  } catch (const std::exception&) {
    probe.ShutSocket();
    return false;
  }
  probe.ShutSocket();
  return true;
}
