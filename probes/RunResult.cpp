#include "probes/RunResult.h"

#include <chrono>

#include "net/IdConvert.h"
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

std::optional<TPublicMapping> PublicMappingFromServerLine(const std::string& line, int localPort) {
  std::string rest = line;
  int bytes = 0, serverPort = 0;
  if (!Take(rest, "Received ") || !TakeNumber(rest, bytes) || !Take(rest, " bytes on UDP port ") ||
      !TakeNumber(rest, serverPort) || !Take(rest, " from "))
    return std::nullopt;
  const size_t colon = rest.find(':');
  if (colon == std::string::npos) return std::nullopt;
  TPublicMapping m;
  m.Address = rest.substr(0, colon);
  if (m.Address.find_first_not_of("0123456789.") != std::string::npos || !TIdStack::IsAddressText(m.Address))
    return std::nullopt;
  rest.erase(0, colon + 1);
  if (!TakeNumber(rest, m.Port) || m.Port > 65535) return std::nullopt;
  if (!rest.empty() && rest.compare(0, 2, " (") != 0) return std::nullopt;
  m.PortKept = m.Port == localPort;
  return m;
}

bool TSequenceReport::AnyAlg() const {
  for (const TCheck* c : {&Register5060, &Register5058, &Invite5060, &Invite5058})
    if (c->Done && c->Alg()) return true;
  return false;
}
