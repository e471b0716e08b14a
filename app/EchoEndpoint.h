#pragma once
#include <string>

// The echo server endpoint taken from "host[:port]": the host, and the SIP port of the probes
// (5060 when the argument names none or an unusable one). The TCP control channel always
// goes to port 80 of the host.
struct TEchoEndpoint {
  std::string Host;
  int Port = 5060;
};

// argument: the first command-line argument; empty means builtinDefault.
TEchoEndpoint ParseEchoEndpoint(const std::string& argument, const std::string& builtinDefault);

// The endpoint built into the program (configured at build time).
const char* BuiltinEchoServer();

// URL of the MAC vendor list (configured at build time).
const char* MacListUrl();
