#pragma once
// The desktop side of the windowing layer: message boxes shown to a person, the program's
// arguments, the hand-over of calls from network threads to the user-interface thread through
// the toolkit's event loop, and the program's icon.
#include <QIcon>
#include <QObject>
#include <QTimer>
#include <string>

#include "app/Windowing.h"
#include "net/UiThread.h"

// Modal boxes on the desktop; the first argument from the application's command line.
class TQtWindowing : public TWindowing {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  std::string FirstArgument() override;
  void OpenUrl(const std::string& url) override;
};

// Runs calls queued by network threads on the thread that made this object (the
// user-interface thread) from its event loop; nested loops, such as that of a message box,
// run them too. Make it after the application object and before any network component.
//
// While a long handler waits, KeepAlive lets the toolkit paint and answer the window
// manager, with user input, socket notifiers and every timer held back; a hand-over that
// comes meanwhile is put off to a zero-time timer, so it runs once the handler has returned,
// in time order with the ticks that fell due meanwhile (each of which comes once).
class TQtUiThread : public QObject, public TUiThread {
 public:
  TQtUiThread();
  void KeepAlive() override;

 protected:
  void WakeUiLoop() override;

 private:
  bool keepingAlive_ = false;
  QTimer heldWake_;
};

// The program's own 32 x 32 icon, drawn at start.
QIcon MakeApplicationIcon();
