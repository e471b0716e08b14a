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

// The vendor list URL a build has when it sets none of its own.
inline constexpr char kDefaultMacListUrl[] = "http://localhost/download/MAC.CSV";

// Where a start fetches the vendor list from: the echo server named by `argument` (the first
// command-line argument) serves it at /download/MAC.CSV on port 80, and is asked when the build
// set no list URL of its own (builtInUrl is the default one); otherwise builtInUrl.
std::string MacListUrlFor(const std::string& argument, const std::string& builtInUrl = MacListUrl());
