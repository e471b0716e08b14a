// Program entry of the tester window: starts the application, makes the window, runs the
// message loop until the window closes, then lets the network layer wind down.
#include <QApplication>
#include <cstdio>
#include <memory>
#include <string_view>

#include "app/DataFolder.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"
#include "app/Windowing.h"
#include "net/IdStack.h"
#include "net/IdThread.h"

namespace {

// Waits until every network thread has ended (the receive threads of the UDP endpoints).
void WaitForNetworkThreads() { TIdThread::WaitForAllThreads(); }

// Makes the window and runs the message loop; returns the loop's exit code.
int RunWindow(QApplication& app) {
  std::unique_ptr<TForm1> form;
  try {
    form = std::make_unique<TForm1>();
  } catch (...) {
    // The window's components could not be made (the socket layer failed to start, say).
    ReportException(std::current_exception());
    return 1;
  }
  Form1 = form.get();
  form->FormCreate(form.get());
  int code = 0;
  if (!form->Closed()) {  // no local address: the program ends at once, nothing shown
    form->CenterOnScreen();
    form->show();
    code = app.exec();
  }
  form.reset();  // stops the receive threads and closes the TCP connection
  Form1 = nullptr;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // The window's only option; any other first argument names the echo server.
  if (argc > 1 && std::string_view(argv[1]) == "--version") {
    std::printf("nat-sip-alg-tester %s\n", NAT_VERSION);
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  // Ties the window to its desktop entry (launcher icon, window grouping).
  QApplication::setDesktopFileName(QStringLiteral("nat-sip-alg-tester"));
  EnterDataFolder();
  SetApplicationTitle(kApplicationTitle);
  QApplication::setWindowIcon(MakeApplicationIcon());

  TQtUiThread uiThread;
  TUiThread::Install(&uiThread);
  TQtWindowing windowing;
  InstallWindowing(&windowing);

  const int code = RunWindow(app);

  WaitForNetworkThreads();
  InstallWindowing(nullptr);
  TUiThread::Install(nullptr);
  IdStackFinalize();
  return code;
}
