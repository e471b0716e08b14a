#include "net/IdThread.h"

#include <typeinfo>
#if defined(__GNUG__)
#include <cxxabi.h>
#include <cstdlib>
#endif

#include "net/UiThread.h"

namespace {

// The process-wide count of live threads, under its own lock.
std::mutex g_countLock;
std::condition_variable g_countChanged;
int g_liveThreads = 0;

// Readable class name of an exception.
std::string ClassName(const std::type_info& type) {
#if defined(__GNUG__)
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  if (status == 0 && name) {
    std::string out(name);
    std::free(name);
    return out;
  }
  std::free(name);
#endif
  return type.name();
}

}  // namespace

TIdThread::TIdThread() {
  {
    std::lock_guard<std::mutex> lock(g_countLock);
    ++g_liveThreads;
  }
  try {
    thread_ = std::thread([this] { Execute(); });
  } catch (...) {
    // No thread: it must not be counted, or the program's end would wait for it for ever.
    std::lock_guard<std::mutex> lock(g_countLock);
    --g_liveThreads;
    g_countChanged.notify_all();
    throw;
  }
  id_ = thread_.get_id();
}

TIdThread::~TIdThread() {
  TerminateAndWaitFor();
  std::lock_guard<std::mutex> lock(g_countLock);
  --g_liveThreads;
  g_countChanged.notify_all();
}

void TIdThread::Start() {
  std::lock_guard<std::mutex> lock(lock_);
  StoppedFlag_ = terminated_.load();
  started_ = true;
  wake_.notify_all();
}

void TIdThread::Stop() {
  std::lock_guard<std::mutex> lock(lock_);
  if (StoppedFlag_ || terminated_.load() || !started_) return;
  if (StopMode == TIdThreadStopMode::smTerminate) terminated_ = true;
  StoppedFlag_ = true;
}

bool TIdThread::Stopped() {
  std::lock_guard<std::mutex> lock(lock_);
  return StoppedFlag_ || terminated_.load() || !started_;
}

void TIdThread::Terminate() {
  std::lock_guard<std::mutex> lock(lock_);
  terminated_ = true;
  wake_.notify_all();
}

void TIdThread::WaitFor() {
  std::lock_guard<std::mutex> lock(joinLock_);
  if (!thread_.joinable()) return;
  if (IsCurrentThread()) {
    thread_.detach();  // a thread cannot wait for itself; it ends on its own
    return;
  }
  thread_.join();
}

void TIdThread::TerminateAndWaitFor() {
  Terminate();
  WaitFor();
}

void TIdThread::Execute() {
  while (!terminated_.load()) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      if (StoppedFlag_ || !started_) {
        // Stopped: wait here until started again, or leave when terminated.
        started_ = false;
        wake_.wait(lock, [this] { return started_ || terminated_.load(); });
        continue;
      }
    }
    try {
      BeforeRun();
      while (!Stopped()) Run();
      AfterRun();
    } catch (const std::exception& e) {
      TerminatingExceptionClass = ClassName(typeid(e));
      TerminatingException = e.what();
      Terminate();
    } catch (...) {
      TerminatingExceptionClass = "unknown exception";
      Terminate();
    }
    try {
      Cleanup();
    } catch (...) {
      Terminate();
    }
  }
  finished_ = true;
  // A user-interface thread waiting for this thread to end re-tests at once.
  if (TUiThread* ui = TUiThread::Current()) ui->Notify();
}

int TIdThread::LiveThreadCount() {
  std::lock_guard<std::mutex> lock(g_countLock);
  return g_liveThreads;
}

void TIdThread::WaitForAllThreads(std::chrono::milliseconds checkEvery) {
  std::unique_lock<std::mutex> lock(g_countLock);
  while (g_liveThreads > 0) g_countChanged.wait_for(lock, checkEvery);
}
