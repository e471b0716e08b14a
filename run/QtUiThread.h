#pragma once
// The hand-over of calls from network threads to the run's thread through QtCore's event loop.
#include <QObject>
#include <QTimer>

#include "net/UiThread.h"

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
