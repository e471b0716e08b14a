#include "app/SignalBridge.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/UiThread.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
int g_fds[2] = {-1, -1};  // [0] written by the handler, [1] read on the event loop
struct sigaction g_previous[2];
const char* g_note = nullptr;
size_t g_noteLength = 0;

extern "C" void OnEndingSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Async-signal-safe; a full pipe only loses a repeat of a signal already on its way.
  [[maybe_unused]] ssize_t n = ::write(g_fds[0], &byte, 1);
  // A step that holds the user-interface thread gives up at its next wait.
  TUiThread::RequestStop();
  if (g_note) n = ::write(STDERR_FILENO, g_note, g_noteLength);
  errno = saved;
}

}  // namespace

TSignalBridge::TSignalBridge(std::function<void(int)> onSignal, const char* note, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  if (g_fds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_fds) != 0) return;
  g_note = note;
  g_noteLength = note ? std::strlen(note) : 0;
  notifier_ = std::make_unique<QSocketNotifier>(g_fds[1], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Read(); });
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

TSignalBridge::~TSignalBridge() {
  if (!notifier_) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
  notifier_.reset();
  g_note = nullptr;
  ::close(g_fds[0]);
  ::close(g_fds[1]);
  g_fds[0] = g_fds[1] = -1;
}

void TSignalBridge::Read() {
  unsigned char bytes[16];
  ssize_t n;
  while ((n = ::read(g_fds[1], bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i)
      if (onSignal_) onSignal_(bytes[i]);
}
