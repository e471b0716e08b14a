#pragma once
// The desktop side of the windowing layer: message boxes shown to a person, the program's
// arguments and the program's icon. The hand-over of calls to the user-interface thread is the
// run's (QtUiThread.h).
#include <QIcon>
#include <string>

#include "app/Windowing.h"
#include "run/QtUiThread.h"

// Modal boxes on the desktop; the first argument from the application's command line.
class TQtWindowing : public TWindowing {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  std::string FirstArgument() override;
  void OpenUrl(const std::string& url) override;
};

// The program's own 32 x 32 icon, drawn at start.
QIcon MakeApplicationIcon();
