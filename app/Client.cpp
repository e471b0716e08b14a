// Program entry of the tester window: makes the window and runs the message loop until the
// window closes; the program's lifecycle (TProgram) releases everything after it.
#include <cstdio>
#include <string_view>

#include "app/Program.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"

int main(int argc, char** argv) {
  // The window's only option; any other first argument names the echo server.
  if (argc > 1 && std::string_view(argv[1]) == "--version") {
    std::printf("nat-sip-alg-tester %s\n", NAT_VERSION);
    return 0;
  }
  TQtWindowing windowing;
  TProgram program(argc, argv, windowing);
  // Ties the window to its desktop entry (launcher icon, window grouping).
  QApplication::setDesktopFileName(QStringLiteral("nat-sip-alg-tester"));
  QApplication::setWindowIcon(MakeApplicationIcon());
  TForm1* form = program.MakeWindow();
  if (!form) return 1;
  if (form->Closed()) return 0;  // no local address: the program ends at once, nothing shown
  form->CenterOnScreen();
  form->show();
  return program.App().exec();
}
