#pragma once
// The command lines of both programs: the console front's options and the window's few, with
// the usage texts. A usage error ends either program with kExitUsage (CliLines.h).
#include <string>
#include <vector>

struct TCliOptions {
  std::string LocalIp;     // address to test from; empty: the first of the list
  int MaxSeconds = 420;    // then the run is stopped and counts as failed
  int CallSeconds = 15;    // the test call's length; 0: none
  bool Json = false;       // one JSON object at the end instead of the lines
  std::string Endpoint;    // host[:port] of the echo server; empty: the built-in one
  bool Help = false;
  bool Version = false;
};

// Parses the arguments after the program name; raises std::invalid_argument with a message
// for the user on bad input.
TCliOptions ParseCliOptions(const std::vector<std::string>& args);
extern const char kCliUsage[];

// The window program's arguments: --help, --version and at most one echo server; anything
// else that begins with "-" is an unknown option (std::invalid_argument). Only Endpoint, Help
// and Version are set.
TCliOptions ParseWindowOptions(const std::vector<std::string>& args);
extern const char kWindowUsage[];

// The line that says a --local-ip is none of this computer's addresses, naming them.
std::string NotALocalAddressLine(const std::string& address, const std::vector<std::string>& localAddresses);
// Whether this computer can send from `address` (a socket bound to it with a port of the
// system's choice); false for text that is no IPv4 address.
bool IsLocalAddress(const std::string& address);
