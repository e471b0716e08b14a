#pragma once
// What the network transport needs of the user-interface thread: running a call there on
// behalf of another thread, and keeping the window alive while that thread itself waits in a
// blocking call. The window's toolkit implements WakeUiLoop and KeepAlive; tests use a plain
// thread. No toolkit header is included here.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TUiThread {
 public:
  TUiThread();  // the constructing thread becomes the user-interface thread
  virtual ~TUiThread();

  // The process's user-interface thread, or null when none is installed.
  static TUiThread* Current();
  static void Install(TUiThread* ui);

  bool IsUiThread() const { return std::this_thread::get_id() == uiThreadId_; }
  void SetUiThread(std::thread::id id) { uiThreadId_ = id; }

  // From the user-interface thread: runs the call at once. From another thread: queues it,
  // wakes the user-interface loop and blocks until the call has run there; an exception the
  // call raised is raised again in the calling thread.
  void RunOnUiThread(const std::function<void()>& call);

  // Runs every queued call. The user-interface loop calls this when woken.
  void ServicePending();

  // On the user-interface thread: waits until done() holds, running queued calls meanwhile,
  // so a thread that waits for its hand-over can still end. done is polled at least every 20 ms.
  void WaitServicing(const std::function<bool()>& done);

  // Pokes waiters so they re-test their condition (a thread has ended, say).
  void Notify();

  // Called on the user-interface thread while it waits inside a long handler (a connect, a
  // read, a pause): repaints the window and answers the desktop's liveness checks, but runs
  // no handler of the program, no hand-over, timer tick or user input; those wait until the
  // handler has returned, in their order. The blocking waits of the transport call it at
  // least every kKeepAliveMs while they run on the user-interface thread.
  virtual void KeepAlive() {}
  static constexpr int kKeepAliveMs = 25;
  // The installed user-interface thread when the caller is that thread, else null: whom a
  // blocking wait has to keep alive.
  static TUiThread* WaitingUi();

  // An ending signal asks the step under way to stop: from then on every blocking wait on the
  // user-interface thread gives up at its next keep-alive by raising EIdStopRequested.
  // RequestStop is async-signal-safe.
  static void RequestStop() noexcept;
  static bool StopRequested() noexcept;
  static void ClearStop() noexcept;
  // Raises EIdStopRequested when a stop was asked for.
  static void CheckStop();

 protected:
  // Makes the user-interface thread call ServicePending() soon.
  virtual void WakeUiLoop() = 0;

 private:
  struct Pending {
    std::function<void()> call;
    std::exception_ptr error;
    bool done = false;
  };
  std::thread::id uiThreadId_;
  std::mutex mutex_;
  std::condition_variable cv_;  // signals new work for the UI side and finished work for callers
  std::deque<std::shared_ptr<Pending>> queue_;
  uint64_t notifications_ = 0;  // counts Notify calls, so a waiter sees one it slept through
};

// Sleeps the calling thread for ms milliseconds; on the user-interface thread in slices, with
// the window kept alive in between, and ended early by a stop (EIdStopRequested).
void SleepKeepingAlive(int ms);

// A user-interface thread without a toolkit: the thread that waits in WaitServicing or calls
// ServicePending runs the queued calls. Used by the tests of the transport and by programs
// without a window.
class TPlainUiThread : public TUiThread {
 protected:
  void WakeUiLoop() override { Notify(); }
};
