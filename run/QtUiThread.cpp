#include "run/QtUiThread.h"

#include <QCoreApplication>

#include "net/ScopeExit.h"

TQtUiThread::TQtUiThread() {
  heldWake_.setSingleShot(true);
  heldWake_.setInterval(0);
  connect(&heldWake_, &QTimer::timeout, this, [this] { ServicePending(); });
}

void TQtUiThread::WakeUiLoop() {
  // Safe from any thread: the call is posted to this object's thread and runs from its loop.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (keepingAlive_) {
          heldWake_.start();  // timers are held while KeepAlive runs
          return;
        }
        ServicePending();
      },
      Qt::QueuedConnection);
}

void TQtUiThread::KeepAlive() {
  if (keepingAlive_) return;
  keepingAlive_ = true;
  const TScopeExit done{[this] { keepingAlive_ = false; }};
  // Paint requests, exposures and the window manager's messages; a close asked for by the
  // window manager counts as user input and waits too.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers |
                                  QEventLoop::X11ExcludeTimers);
}
