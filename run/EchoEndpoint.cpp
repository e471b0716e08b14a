#include "run/EchoEndpoint.h"

#include "net/IdConvert.h"

#ifndef NAT_TESTER_ECHO_SERVER
#define NAT_TESTER_ECHO_SERVER "localhost:5060"
#endif

#ifndef NAT_TESTER_MAC_LIST_URL
#define NAT_TESTER_MAC_LIST_URL "http://localhost/download/MAC.CSV"
#endif

std::string MacListUrlFor(const std::string& argument, const std::string& builtInUrl) {
  if (argument.empty() || builtInUrl != kDefaultMacListUrl) return builtInUrl;
  const std::string host = ParseEchoEndpoint(argument, "").Host;
  // Only a name or an address makes a URL: anything else would put its bytes into the request.
  if (host.empty() || host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
                          std::string::npos)
    return builtInUrl;
  return "http://" + host + "/download/MAC.CSV";
}

const char* MacListUrl() { return NAT_TESTER_MAC_LIST_URL; }

const char* BuiltinEchoServer() { return NAT_TESTER_ECHO_SERVER; }

TEchoEndpoint ParseEchoEndpoint(const std::string& argument, const std::string& builtinDefault) {
  std::string host = argument.empty() ? builtinDefault : argument;
  if (host.find(':') == std::string::npos) host += ":5060";
  const size_t colon = host.find(':');
  const std::string portText = host.substr(colon + 1, 50);
  TEchoEndpoint e;
  e.Host = host.substr(0, colon);
  e.Port = StrToIntDef(portText, 5060);
  return e;
}
