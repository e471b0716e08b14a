// Program entry of the console front: the tester's window under the offscreen platform,
// started once, its pane lines written to the standard output.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/CliFront.h"
#include "app/DataFolder.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"
#include "net/IdStack.h"
#include "net/IdThread.h"

int main(int argc, char** argv) {
  TCliOptions options;
  try {
    options = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "nat-sip-alg-tester-cli: " << e.what() << "\n" << kCliUsage;
    return kExitFailure;
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
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  SetApplicationTitle(kApplicationTitle);
  EnterDataFolder();

  TQtUiThread uiThread;
  TUiThread::Install(&uiThread);
  TCliDriver* driver = nullptr;
  TCliWindowing windowing(options.Endpoint, [&](const std::string& text) {
    if (driver) {
      driver->AddError(text);
    } else {
      std::cout << CliOutput({"ERROR", text}) << std::flush;
    }
  });
  InstallWindowing(&windowing);

  int status = kExitFailure;
  {
    std::unique_ptr<TForm1> form;
    try {
      form = std::make_unique<TForm1>();
    } catch (...) {
      ReportException(std::current_exception());
      return kExitFailure;
    }
    Form1 = form.get();
    form->FormCreate(form.get());
    if (form->Closed()) {
      std::cerr << "nat-sip-alg-tester-cli: no IPv4 address on this host\n";
    } else {
      auto print = [&](const TCliLine& l) {
        if (!options.Json) std::cout << CliOutput(l) << std::flush;
      };
      TCliDriver run(*form, options, print);
      driver = &run;
      QObject::connect(&run, &TCliDriver::Finished, &app, [&] { QApplication::exit(0); });
      run.Start();
      app.exec();
      status = CliExitStatus(*form, run.Record());
      if (options.Json) std::cout << CliJson(*form, run.Record(), status) << std::endl;
      driver = nullptr;
    }
    form.reset();
    Form1 = nullptr;
  }
  TIdThread::WaitForAllThreads();
  InstallWindowing(nullptr);
  TUiThread::Install(nullptr);
  IdStackFinalize();
  return status;
}
