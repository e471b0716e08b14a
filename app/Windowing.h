#pragma once
// What the tester's window needs of the desktop beyond its own controls: the modal boxes,
// the program's first argument, the application title and the report of an exception that
// leaves a handler. The person-facing part goes through an exchangeable front (TWindowing),
// so the window can be driven by tests or by a console front without ever blocking on a box.
//
// The operations, and where each lives:
//  1. start, title, create the window, message loop, end ........ Client.cpp, SetApplicationTitle
//  2. append a line to a pane ..................................... TMemo::Add (FormControls.h)
//  3. address list: read text, fill items, select, enable ......... QComboBox
//  4. enable a button, show a label, read/set a label's text ...... QPushButton, QLabel
//  5. set the text of a status bar panel ......................... TStatusBar::SetPanelText
//  6. enable or disable a timer .................................. TTimer::SetEnabled
//  7. modal message box with OK ................................... ShowMessage
//  8. close the main window, which ends the program .............. TForm1::Close
//  9. the program's first command-line argument .................. FirstArgument
// 10. report an exception that leaves a handler ................... RunGuarded / ReportException
#include <exception>
#include <functional>
#include <string>

#include "run/ErrorText.h"

// The person-facing side of the windowing layer. Every call comes from the user-interface
// thread; ShowMessage and ShowError return once the person (or whatever stands in) is done.
class TWindowing {
 public:
  virtual ~TWindowing() = default;
  // A modal box with one text and an OK button.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // A modal box with the error icon.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  // The first command-line argument of the program, or "" when there is none.
  virtual std::string FirstArgument() = 0;
  // Opens a URL in the user's default browser; failures are dropped. Fronts without a desktop
  // open nothing.
  virtual void OpenUrl(const std::string& url) { (void)url; }
};

// Installs the front used from now on (null: the fallback that writes to the standard error
// stream and never blocks). The caller keeps ownership.
void InstallWindowing(TWindowing* front);
TWindowing& CurrentWindowing();

// Application title: the caption of message boxes and error reports.
void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();
constexpr const char* kApplicationTitle = "NAT - SIP ALG client tester";

// Operation 7: a modal message box, captioned with the application title.
void ShowMessage(const std::string& text);
// Operation 9.
std::string FirstArgument();
// Opens a URL in the default browser through the installed front.
void OpenUrl(const std::string& url);

// Operation 10: shows the exception in an error box captioned with the application title.
// Never throws.
void ReportException(const std::exception_ptr& error);
// The one guard around every click, timer and creation handler: runs the handler and reports
// whatever it throws, so no exception ever reaches the toolkit's event loop.
void RunGuarded(const std::function<void()>& handler) noexcept;
