#include "probes/RunResult.h"

#include <chrono>

#include "net/IdConvert.h"
#include "net/IdException.h"
#include "net/IdStack.h"

const char* RunEndName(TRunEnd end) {
  switch (end) {
    case TRunEnd::Open: return "";
    case TRunEnd::CountdownRanOut: return "countdown";
    case TRunEnd::Stopped: return "stopped";
    case TRunEnd::ServerNotReached: return "server_not_reached";
    case TRunEnd::NoNatTest: return "no_nat_test";
    case TRunEnd::Error: return "error";
    case TRunEnd::NoNatReport: return "no_nat_report";
    case TRunEnd::TimeLimit: return "time_limit";
    case TRunEnd::ServerBusy: return "server_busy";
  }
  return "";
}

int64_t RunClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// Takes `word` off the front of `rest`; false when `rest` does not begin with it.
bool Take(std::string& rest, const std::string& word) {
  if (rest.compare(0, word.size(), word) != 0) return false;
  rest.erase(0, word.size());
  return true;
}

// Takes a decimal number (digits only) off the front of `rest`.
bool TakeNumber(std::string& rest, int& value) {
  size_t n = 0;
  while (n < rest.size() && n < 9 && rest[n] >= '0' && rest[n] <= '9') ++n;
  if (n == 0) return false;
  value = StrToInt(rest.substr(0, n));
  rest.erase(0, n);
  return true;
}

}  // namespace

std::optional<TServerLine> ParseServerLine(const std::string& line) {
  std::string rest = line;
  TServerLine l;
  if (!Take(rest, "Received ") || !TakeNumber(rest, l.Bytes)) return std::nullopt;
  l.Tcp = Take(rest, " bytes on TCP port ");
  if ((!l.Tcp && !Take(rest, " bytes on UDP port ")) ||
      !TakeNumber(rest, l.ServerPort) || l.ServerPort > 65535 || !Take(rest, " from "))
    return std::nullopt;
  const size_t colon = rest.find(':');
  if (colon == std::string::npos) return std::nullopt;
  l.FromAddress = rest.substr(0, colon);
  if (l.FromAddress.find_first_not_of("0123456789.") != std::string::npos || !TIdStack::IsAddressText(l.FromAddress))
    return std::nullopt;
  rest.erase(0, colon + 1);
  if (!TakeNumber(rest, l.FromPort) || l.FromPort > 65535) return std::nullopt;
  if (!rest.empty() && rest.compare(0, 2, " (") != 0) return std::nullopt;
  return l;
}

std::optional<TPublicMapping> PublicMappingFromServerLine(const std::string& line, int localPort) {
  const std::optional<TServerLine> l = ParseServerLine(line);
  if (!l || l->Tcp) return std::nullopt;
  return TPublicMapping{l->FromAddress, l->FromPort, l->FromPort == localPort};
}

std::optional<std::string> ServerNotReachedReason(const std::exception& error) {
  if (dynamic_cast<const EIdConnectTimeout*>(&error)) return "the connection timed out";
  const auto* socket = dynamic_cast<const EIdSocketError*>(&error);
  if (!socket) return std::nullopt;
  switch (socket->SocketErrorCode) {
    case IdErr::ECONNREFUSED_: return "the connection was refused";
    case IdErr::ETIMEDOUT_: return "the connection timed out";
    case IdErr::HOST_NOT_FOUND_:
    case IdErr::NO_DATA_: return "the host name is unknown";
    case IdErr::TRY_AGAIN_:
    case IdErr::NO_RECOVERY_: return "the host name lookup got no answer";
    case IdErr::ENETUNREACH_:
    case IdErr::EHOSTUNREACH_: return "there is no route to it";
    default: return std::nullopt;
  }
}

std::string ServerNotReachedLine(const std::string& host, const std::string& reason) {
  return "The server " + host + " was not reached on TCP port 80: " + reason + ".";
}

bool TSequenceReport::AnyAlg() const {
  for (const TCheck* c : {&Register5060, &Register5058, &Invite5060, &Invite5058, &TcpRegister5060,
                          &TcpRegister5058, &TcpInvite5060, &TcpInvite5058})
    if (c->Done && c->Alg()) return true;
  return false;
}

bool TSequenceReport::AnyLost() const {
  for (const TCheck* c : {&Register5060, &Register5058, &Invite5060, &Invite5058, &TcpRegister5060, &TcpRegister5058,
                          &TcpInvite5060, &TcpInvite5058})
    if (c->Done && c->Lost) return true;
  return false;
}

std::optional<std::string> TSequenceReport::PublicAddress() const {
  if (Behaviour && Behaviour->Answered) return stun::AddressText(Behaviour->Public->Address);
  for (const auto* m : {&Public5060, &Public5058})
    if (*m) return (*m)->Address;
  return std::nullopt;
}
