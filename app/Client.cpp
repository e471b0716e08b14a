// Program entry of the tester window: makes the window and runs the message loop until the
// window closes; the program's lifecycle (TProgram) releases everything after it.
#include "app/Program.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"

int main(int argc, char** argv) {
  TQtWindowing windowing;
  TProgram program(argc, argv, windowing);
  QApplication::setWindowIcon(MakeApplicationIcon());
  TForm1* form = program.MakeWindow();
  if (!form) return 1;
  if (form->Closed()) return 0;  // no local address: the program ends at once, nothing shown
  form->CenterOnScreen();
  form->show();
  return program.App().exec();
}
