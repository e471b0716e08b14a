// Program entry of the console front: the tester's window under the offscreen platform,
// started once, its pane lines written to the standard output. The program's lifecycle
// (TProgram) releases everything on every way out.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/CliConsole.h"
#include "app/CliFront.h"
#include "app/CliJson.h"
#include "app/Program.h"
#include "app/RunReport.h"
#include "app/SignalBridge.h"
#include "app/Unit_1_client.h"

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
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The toolkit's own notes (about the desktop session the console does not have) would only
  // clutter a script's output; its errors still reach the standard error stream.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << message.toStdString() << std::endl;
  });

  TCliDriver* driver = nullptr;  // while a run is driven, errors go into its record
  TCliWindowing windowing(options.Endpoint, [&](const std::string& text) {
    if (driver) {
      driver->AddError(text);
    } else {
      std::cout << CliOutput({"ERROR", text}) << std::flush;
    }
  });
  int qtArgc = 1;
  TProgram program(qtArgc, argv, windowing);
  TForm1* form = program.MakeWindow();
  if (!form) return kExitFailure;
  if (form->Closed()) {
    std::cerr << "nat-sip-alg-tester-cli: no IPv4 address on this host\n";
    return kExitFailure;
  }
  // An address of another computer would only fail every bind: say so before anything is tried.
  if (!options.LocalIp.empty() && !IsLocalAddress(options.LocalIp)) {
    std::vector<std::string> mine;
    for (int i = 0; i < form->ComboBox1->count(); ++i) mine.push_back(FromDisplay(form->ComboBox1->itemText(i)));
    std::cerr << "nat-sip-alg-tester-cli: " << NotALocalAddressLine(options.LocalIp, mine) << "\n";
    return kExitUsage;
  }
  // With --json the object stands alone on the standard output; a person at a terminal still
  // sees what the run waits for, on the error stream.
  using TShown = TCliConsole::TShown;
  const bool errTerminal = ::isatty(STDERR_FILENO) == 1;
  TCliConsole console(*form, options.Json ? std::cerr : std::cout,
                      options.Json ? errTerminal : ::isatty(STDOUT_FILENO) == 1,
                      !options.Json ? TShown::All : errTerminal ? TShown::WaitsOnly : TShown::Nothing);
  TCliDriver run(*form, options, [&](const TCliLine& l) { console.Line(l); });
  driver = &run;
  // SIGINT and SIGTERM end the run as "Stop test" would; what it found is still reported.
  TSignalBridge endingSignals([&](int) { run.Interrupt(); },
                              "nat-sip-alg-tester-cli: stopping the run; the same signal again ends the program at once\n");
  QObject::connect(&run, &TCliDriver::Finished, &program.App(), [] { QApplication::exit(0); });
  run.Start();
  program.App().exec();
  console.Finish();
  const int status = CliExitStatus(form->Result, run.Record());
  const TRunReport report = ReportOfLastRun(*form);
  if (options.Json) {
    std::cout << CliJson(report, run.Record(), status) << std::endl;
  } else {
    for (const TCliLine& l : CliSummaryLines(report, status)) std::cout << CliOutput(l);
    std::cout << std::flush;
  }
  driver = nullptr;
  return status;
}
