// Program entry of the tester window: makes the window and runs the message loop until the
// window closes; the program's lifecycle (TProgram) releases everything after it.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/Program.h"
#include "app/QtFront.h"
#include "app/Unit_1_client.h"

namespace {

const char kUsage[] =
    "usage: nat-sip-alg-tester [host[:port]]\n"
    "  host[:port]  the echo server (default: the built-in one)\n"
    "  --version    print the version and end\n"
    "  --help       print this text and end\n"
    "Without a display, nat-sip-alg-tester-cli runs the same test in a console.\n";

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
  // The window's only options; any other first argument names the echo server.
  if (argc > 1 && std::string_view(argv[1]) == "--version") {
    std::printf("nat-sip-alg-tester %s\n", NAT_VERSION);
    return 0;
  }
  if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
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
