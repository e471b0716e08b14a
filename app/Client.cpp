// Program entry of the tester window: makes the window and runs the message loop until the
// window closes; the program's lifecycle (TProgram) releases everything after it.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/CliLines.h"
#include "app/CliOptions.h"
#include "app/Program.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"

namespace {

const char kNoDisplay[] =
    "nat-sip-alg-tester: no display to show the window on%s.\n"
    "Without a display, run the test in a console: nat-sip-alg-tester-cli [host[:port]]\n";

QtMessageHandler g_toolkitMessages = nullptr;

// The toolkit ends the program when it finds no display; the user learns what to use instead.
void OnToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg && message.contains(QStringLiteral("platform plugin"))) {
    std::fprintf(stderr, kNoDisplay, "");
    std::_Exit(1);
  }
  if (g_toolkitMessages)
    g_toolkitMessages(type, context, message);
  else
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

bool Set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  try {
    options = ParseWindowOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "nat-sip-alg-tester: %s\n%s", e.what(), kWindowUsage);
    return kExitUsage;
  }
  if (options.Version) {
    std::printf("nat-sip-alg-tester %s\n", NAT_VERSION);
    return 0;
  }
  if (options.Help) {
    std::fputs(kWindowUsage, stdout);
    return 0;
  }
  if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, kNoDisplay, " (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    return 1;
  }
  g_toolkitMessages = qInstallMessageHandler(OnToolkitMessage);
  TQtWindowing windowing;
  TProgram program(argc, argv, windowing);
  // Ties the window to its desktop entry (launcher icon, window grouping).
  QApplication::setDesktopFileName(QStringLiteral("nat-sip-alg-tester"));
  QApplication::setWindowIcon(MakeApplicationIcon());
  TForm1* form = program.MakeWindow();
  if (!form) return 1;
  if (form->Closed()) return 0;  // no local address: the program ends at once, nothing shown
  form->CenterOnScreen();
  form->show();
  return program.App().exec();
}
