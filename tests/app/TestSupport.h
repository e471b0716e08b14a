#pragma once
// Shared by the window tests: an application object on Qt's offscreen platform, a front that
// records boxes instead of showing them, and a bounded wait that keeps the event loop running.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/Windowing.h"

// Records every box; never blocks. Installed for the lifetime of the object.
class TRecordingWindowing : public TWindowing {
 public:
  struct Box {
    bool error;
    std::string caption;
    std::string text;
  };
  TRecordingWindowing() { InstallWindowing(this); }
  ~TRecordingWindowing() override { InstallWindowing(nullptr); }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    boxes.push_back({false, caption, text});
    if (onBox) onBox();
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    boxes.push_back({true, caption, text});
    if (onBox) onBox();
  }
  std::string FirstArgument() override { return argument; }

  std::vector<Box> boxes;
  std::string argument;
  std::function<void()> onBox;  // runs while the "box" is open
};

// Runs the event loop until done() holds or timeoutMs passes; returns done().
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}
