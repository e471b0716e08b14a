// Program entry of the console front: one run of the tester without a window, its lines written
// to the standard output as the run reports them, its summary (or JSON object) at the end.
// Everything made here is released on every way out, the socket layer last.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/CliConsole.h"
#include "app/CliFront.h"
#include "app/CliJson.h"
#include "app/DataFolder.h"
#include "app/SignalBridge.h"
#include "net/IdStack.h"
#include "net/IdThread.h"
#include "net/ScopeExit.h"
#include "run/ErrorText.h"
#include "run/QtUiThread.h"
#include "run/RunSockets.h"

namespace {

void PrintError(const std::exception_ptr& error) {
  std::cout << CliOutput({"ERROR", ErrorReportText(ExceptionMessage(error))}) << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  try {
    options = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "nat-sip-alg-tester-cli: " << e.what() << "\n" << kCliUsage;
    return kExitUsage;
  }
  if (options.Help) {
    std::cout << kCliUsage;
    return 0;
  }
  if (options.Version) {
    std::cout << "nat-sip-alg-tester-cli " << NAT_VERSION << "\n";
    return 0;
  }
  // The toolkit's own notes would only clutter a script's output; its errors still reach the
  // standard error stream.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << message.toStdString() << std::endl;
  });
  int qtArgc = 1;
  QCoreApplication app(qtArgc, argv);
  EnterDataFolder();
  TQtUiThread uiThread;
  TUiThread::Install(&uiThread);
  const TScopeExit down{[] {
    TIdThread::WaitForAllThreads();
    TUiThread::Install(nullptr);
    IdStackFinalize();
  }};

  std::unique_ptr<TTestRun> run;  // goes before the socket layer
  try {
    run = std::make_unique<TTestRun>(std::make_unique<TRunSockets>());
  } catch (...) {
    PrintError(std::current_exception());
    return kExitFailure;
  }
  std::vector<std::string> mine;
  try {
    mine = SocketLayerLocalAddresses();
    if (mine.empty()) {
      std::cerr << "nat-sip-alg-tester-cli: no IPv4 address on this host\n";
      return kExitFailure;
    }
  } catch (...) {
    PrintError(std::current_exception());  // the run goes on from any address, or the one given
  }
  // An address of another computer would only fail every bind: say so before anything is tried.
  if (!options.LocalIp.empty() && !IsLocalAddress(options.LocalIp)) {
    std::cerr << "nat-sip-alg-tester-cli: " << NotALocalAddressLine(options.LocalIp, mine) << "\n";
    return kExitUsage;
  }
  const std::string localIp = !options.LocalIp.empty() ? options.LocalIp : mine.empty() ? "" : mine.front();

  // With --json the object stands alone on the standard output; a person at a terminal still
  // sees what the run waits for, on the error stream.
  using TShown = TCliConsole::TShown;
  const bool errTerminal = ::isatty(STDERR_FILENO) == 1;
  TCliConsole console(options.Json ? std::cerr : std::cout,
                      options.Json ? errTerminal : ::isatty(STDOUT_FILENO) == 1,
                      !options.Json ? TShown::All : errTerminal ? TShown::WaitsOnly : TShown::Nothing);
  TCliDriver driver(*run, options, [&](const TCliLine& l) { console.Line(l); }, [] { QCoreApplication::exit(0); });
  run->Subscribe(&console);
  run->Subscribe(&driver);
  // SIGINT and SIGTERM end the run as "Stop test" would; what it found is still reported.
  TSignalBridge endingSignals([&](int) { driver.Interrupt(); },
                              "nat-sip-alg-tester-cli: stopping the run; the same signal again ends the program at once\n");
  driver.Start(localIp);
  app.exec();
  run->Unsubscribe(&driver);
  run->Unsubscribe(&console);
  console.Finish();
  const int status = CliExitStatus(run->Result, driver.Record());
  const TRunReport report = run->Report();
  if (options.Json) {
    std::cout << CliJson(report, driver.Record(), status) << std::endl;
  } else {
    for (const TCliLine& l : CliSummaryLines(report, status)) std::cout << CliOutput(l);
    std::cout << std::flush;
  }
  return status;
}
