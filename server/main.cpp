// sip-alg-echo-server: the remote end of the NAT - SIP ALG tester.
#include <cstdio>
#include <exception>
#include <string>

#include "server/EchoServer.h"
#include "server/ServerPlatform.h"

int main(int argc, char** argv) {
  TEchoServerConfig config;
  std::string message;
  switch (ParseServerOptions(argc, argv, config, message)) {
    case TOptionsOutcome::Help:
      std::fputs(message.c_str(), stdout);
      return 0;
    case TOptionsOutcome::Version:
      std::printf("sip-alg-echo-server %s\n", NAT_VERSION);
      return 0;
    case TOptionsOutcome::Error:
      std::fprintf(stderr, "sip-alg-echo-server: %s\n%s", message.c_str(), ServerUsage().c_str());
      return 2;
    case TOptionsOutcome::Run:
      break;
  }
  const unsigned long files = RaiseOpenFileLimit();
  if (files != 0 && files < config.MaxConnections + 64)
    TEchoServer::StderrLog("open file limit " + std::to_string(files) +
                           " is below what --max-connections may need");
  try {
    TEchoServer server(config);
    server.HandleSignals();
    server.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sip-alg-echo-server: %s\n", e.what());
    return 1;
  }
  TEchoServer::StderrLog("stopped");
  return 0;
}
