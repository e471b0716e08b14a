#include "app/ServerChoice.h"

#include "app/FormControls.h"

namespace {
constexpr char kEchoServerKey[] = "EchoServer";
}

const char kEchoServerPlaceholder[] = "host[:port], e.g. echo.example.org";
const char kEchoServerTip[] =
    "The echo server to test against: host or host:port.\n"
    "It must run outside your network, on a machine on the internet: install the package "
    "sip-alg-echo-server there,\nor ask whoever gave you this tester for the name of theirs.";
const char kEchoServerAsk[] =
    "Enter the echo server to test against (host or host:port) in the \"Echo server\" field first.\n\n"
    "The echo server has to run outside your network, on a machine on the internet: install the "
    "package sip-alg-echo-server there, or ask whoever gave you this tester for the name of theirs. "
    "A server on this computer or its own network sees the traffic before any router touched it, so "
    "the test would say nothing about the router.";

std::unique_ptr<QSettings> UserSettings() {
  return std::make_unique<QSettings>(QStringLiteral("nat-sip-alg-tester"), QStringLiteral("nat-sip-alg-tester"));
}

std::string InitialEchoServer(const std::string& argument, const QSettings& settings) {
  if (!argument.empty()) return argument;
  return FromDisplay(settings.value(QString::fromLatin1(kEchoServerKey)).toString());
}

void RememberEchoServer(QSettings& settings, const std::string& server) {
  settings.setValue(QString::fromLatin1(kEchoServerKey), ToDisplay(server));
  settings.sync();
}

std::string CleanEchoServer(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  std::string s = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  // "http://host/" or "host/": the host alone.
  if (const size_t scheme = s.find("://"); scheme != std::string::npos) s.erase(0, scheme + 3);
  if (const size_t slash = s.find('/'); slash != std::string::npos) s.erase(slash);
  return s;
}
