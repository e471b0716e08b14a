#pragma once
// Ending signals (SIGINT, SIGTERM) as events of the user-interface thread. The signal handler
// does nothing but write the signal's number into a socket pair and ask a step under way to
// stop (TUiThread::RequestStop); a notifier of the event loop reads the other end and makes the
// call there, so no toolkit code ever runs inside a handler.
// Each handler is one-shot: the same signal a second time ends the program the default way,
// even while the user-interface thread is busy.
#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class TSignalBridge : public QObject {
 public:
  // Installs the handlers; onSignal(signal number) runs on the thread that made the bridge.
  // `note`, when given, goes to the standard error stream at once from the handler itself, so a
  // person learns that the signal came even while that thread is busy; it must outlive the
  // bridge. Only one bridge may exist at a time.
  explicit TSignalBridge(std::function<void(int)> onSignal, const char* note = nullptr, QObject* parent = nullptr);
  // Puts the handlers back as they were.
  ~TSignalBridge() override;
  TSignalBridge(const TSignalBridge&) = delete;
  TSignalBridge& operator=(const TSignalBridge&) = delete;
  bool Ok() const { return notifier_ != nullptr; }

 private:
  void Read();
  std::function<void(int)> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};
