#include <gtest/gtest.h>

#include "run/EchoEndpoint.h"

TEST(EchoEndpoint, argument_forms_and_fallbacks) {
  struct Row { const char* arg; const char* host; int port; };
  const Row rows[] = {
      {"", "echo.example.test", 5060},  // the built-in default
      {"192.0.2.1", "192.0.2.1", 5060},
      {"192.0.2.1:5070", "192.0.2.1", 5070},
      {"192.0.2.1:x", "192.0.2.1", 5060},
      {"192.0.2.1:", "192.0.2.1", 5060},
      {"host:50:70", "host", 5060},  // a second colon is not a number
      {"host.test:5058", "host.test", 5058},
      {":5070", "", 5070},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.arg);
    const TEchoEndpoint e = ParseEchoEndpoint(r.arg, "echo.example.test:5060");
    EXPECT_EQ(e.Host, r.host);
    EXPECT_EQ(e.Port, r.port);
  }
  // The port text is cut at 50 characters.
  EXPECT_EQ(ParseEchoEndpoint("h:" + std::string(49, '0') + "77", "").Port, 7);
}

// Where the vendor list comes from: the server named on the command line, unless the build set a
// list URL of its own.
TEST(EchoEndpoint, vendor_list_url) {
  const std::string own = "http://lists.example.test/download/MAC.CSV";
  struct Row { const char* arg; std::string builtIn; std::string url; };
  const Row rows[] = {
      {"", kDefaultMacListUrl, kDefaultMacListUrl},
      {"sip-echo.lab", kDefaultMacListUrl, "http://sip-echo.lab/download/MAC.CSV"},
      {"192.0.2.1:5070", kDefaultMacListUrl, "http://192.0.2.1/download/MAC.CSV"},
      {"sip-echo.lab", own, own},
      {":5070", kDefaultMacListUrl, kDefaultMacListUrl},                 // no host
      {"a/b@c:5060", kDefaultMacListUrl, kDefaultMacListUrl},            // no host name either
  };
  for (const Row& r : rows) EXPECT_EQ(MacListUrlFor(r.arg, r.builtIn), r.url) << r.arg << " " << r.builtIn;
}
