#pragma once
// Shared by the window tests: an application object on Qt's offscreen platform, a front that
// records boxes instead of showing them, and a bounded wait that keeps the event loop running.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

#include "app/Windowing.h"
#include "tests/support/Loopback.h"

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

  // Exactly one box came, an error box or a message, with the window's title and this text.
  testing::AssertionResult OneBox(bool error, const std::string& text) const {
    if (boxes.size() != 1) return testing::AssertionFailure() << boxes.size() << " boxes";
    const Box& b = boxes[0];
    if (b.error != error || b.caption != "NAT - SIP ALG client tester" || b.text != text)
      return testing::AssertionFailure() << (b.error ? "error" : "message") << " box \"" << b.caption << "\": " << b.text;
    return testing::AssertionSuccess();
  }

  std::vector<Box> boxes;
  std::string argument;
  std::function<void()> onBox;  // runs while the "box" is open
};

// Runs the event loop until done() holds or the deadline passes; returns done(). `after` runs
// after each turn of the loop.
inline bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = support::kDeadline,
                      const std::function<void()>& after = nullptr) {
  // Wakes the wait below at least every few milliseconds, so the loop waits for events instead
  // of polling.
  QTimer wake;
  wake.start(5);
  return support::WaitUntil(done, deadline, [&] {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (after) after();
  });
}
