#pragma once
// What both programs, the window and the console front, set up around the tester's window and
// release again on every way out, early returns included: the windowing application, the
// folder the tester keeps its files in, the hand-over of calls from network threads to the
// user-interface thread, the person-facing front, the window itself, and at the very end the
// socket layer.
#include <QApplication>
#include <memory>

#include "app/QtFront.h"
#include "app/Windowing.h"

class TForm1;

class TProgram {
 public:
  // `front` stays installed for the program's life; it must outlive this object. `argc` too,
  // as the application keeps a reference to it.
  TProgram(int& argc, char** argv, TWindowing& front);
  // Destroys the window (which stops its receive threads and closes its connection), waits for
  // the network threads to end, uninstalls the front and the hand-over, and ends the socket
  // layer.
  ~TProgram();
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  QApplication& App() { return app_; }
  // Makes the window and fills its address list (FormCreate). Null when it cannot be made,
  // the socket layer failing to start, say; the error is reported then.
  TForm1* MakeWindow();

 private:
  QApplication app_;
  TQtUiThread uiThread_;
  std::unique_ptr<TForm1> form_;
};
