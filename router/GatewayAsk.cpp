#include "router/GatewayAsk.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "net/IdStack.h"
#include "net/StunSockets.h"

namespace {

constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;
// Of the budget, the share the search may take; the rest is the description and the question.
constexpr int kSearchSharePercent = 60;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

}  // namespace

const char* GatewayProtocolName(TGatewayProtocol p) { return p == TGatewayProtocol::Upnp ? "upnp" : "nat-pmp"; }
const char* GatewayProtocolText(TGatewayProtocol p) { return p == TGatewayProtocol::Upnp ? "UPnP" : "NAT-PMP"; }

std::optional<std::string> ExternalAddressOf(const std::string& text) {
  if (text.size() > 15 || !TIdStack::IsAddressText(text)) return std::nullopt;
  // Only the four-part form, as written: "10.1" would read as an address too.
  if (TIdStack::AddressToText(TIdStack::TextToAddress(text)) != text || text == "0.0.0.0") return std::nullopt;
  return text;
}

std::string SsdpSearch() {
  return "M-SEARCH * HTTP/1.1\r\n"
         "HOST: 239.255.255.250:1900\r\n"
         "MAN: \"ssdp:discover\"\r\n"
         "MX: 1\r\n"
         "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
         "\r\n";
}

std::optional<std::string> SsdpLocation(const std::string& reply, const std::string& from, const std::string& gateway) {
  if (from != gateway || reply.size() > 4096) return std::nullopt;
  size_t at = reply.find('\n');
  const std::string status = Lower(reply.substr(0, at));
  if (status.rfind("http/1.", 0) != 0 || status.find(" 200") == std::string::npos) return std::nullopt;
  while (at != std::string::npos) {
    const size_t next = reply.find('\n', at + 1);
    const std::string line = reply.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || Lower(Trim(line.substr(0, colon))) != "location") continue;
    const std::string url = Trim(line.substr(colon + 1));
    const std::string scheme = "http://";
    if (Lower(url.substr(0, scheme.size())) != scheme || url.size() > 512) return std::nullopt;
    const size_t hostEnd = url.find_first_of(":/", scheme.size());
    if (url.substr(scheme.size(), hostEnd == std::string::npos ? std::string::npos : hostEnd - scheme.size()) != gateway)
      return std::nullopt;
    return url;
  }
  return std::nullopt;
}

std::optional<TGatewayAnswer> AskUpnp(const std::string& localIp, const std::string& gateway, int budgetMs) {
  using Clock = std::chrono::steady_clock;
  const auto searchEnd = Clock::now() + std::chrono::milliseconds(budgetMs * kSearchSharePercent / 100);
  std::optional<std::string> location;
  try {
    // The library's own search waits at least a second: this one ends at the router's answer.
    // To the group and to the router itself, which answers a search sent to it alone at once.
    TStunSockets socket(localIp, 1);
    const std::string search = SsdpSearch();
    socket.Send(0, {StunAddressOf(kSsdpGroup), kSsdpPort}, search);
    socket.Send(0, {StunAddressOf(gateway), kSsdpPort}, search);
    for (int wakes = 0; wakes < 100 && !location; ++wakes) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(searchEnd - Clock::now()).count();
      if (left <= 0) break;
      if (const auto d = socket.Receive(static_cast<int>(std::min<int64_t>(left, 100))))
        location = SsdpLocation(d->Bytes, stun::AddressText(d->From.Address), gateway);
    }
  } catch (const std::exception&) {
    return std::nullopt;  // no socket on that address, or no address text
  }
  if (!location) return std::nullopt;
  UPNPUrls urls{};
  IGDdatas data{};
  char lan[64] = "";
  if (UPNP_GetIGDFromUrl(location->c_str(), &urls, &data, lan, sizeof lan) != 1) return std::nullopt;
  std::optional<TGatewayAnswer> answer;
  if (data.first.servicetype[0] != '\0' && urls.controlURL) {
    char external[40] = "";
    const int rc = UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external);
    // A UPnP error code is an answer too: it has no address to give.
    if (rc == UPNPCOMMAND_SUCCESS || rc > 0)
      answer = TGatewayAnswer{TGatewayProtocol::Upnp, rc == UPNPCOMMAND_SUCCESS ? ExternalAddressOf(external) : std::nullopt};
  }
  FreeUPNPUrls(&urls);
  return answer;
}
