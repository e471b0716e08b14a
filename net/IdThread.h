#pragma once
// A worker thread that is created stopped, started, stopped again and finally terminated, with
// its stopped state under a lock of its own. Every live TIdThread is counted process-wide, so
// the program can wait at its end until all of them are gone.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

class TIdThread {
 public:
  // What Stop does: only pause the passes, or also end the thread.
  enum class TIdThreadStopMode { smTerminate, smSuspend };

  // The system thread exists from here on but runs no pass before Start.
  TIdThread();
  // Terminates the thread and waits for it to end. A derived class whose passes use its own
  // members must call TerminateAndWaitFor in its destructor first.
  virtual ~TIdThread();
  TIdThread(const TIdThread&) = delete;
  TIdThread& operator=(const TIdThread&) = delete;

  // Under the lock: StoppedFlag takes the value of the terminate flag, and the thread resumes.
  void Start();
  // Under the lock, when not stopped already: sets StoppedFlag and, in the terminating stop
  // mode, the terminate flag.
  void Stop();
  // True while StoppedFlag is set, the thread is terminated, or it has not been started.
  bool Stopped();
  // Asks the thread to end after its current pass; wakes it when it waits to be started.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // True once the thread's body has returned (WaitFor will not block).
  bool Finished() const { return finished_.load(); }
  // Waits until the thread has ended. Must not be called from the thread itself.
  void WaitFor();
  void TerminateAndWaitFor();
  // The system thread's id (to tell whether a caller runs on this thread).
  std::thread::id ThreadId() const { return id_; }
  bool IsCurrentThread() const { return std::this_thread::get_id() == ThreadId(); }

  TIdThreadStopMode StopMode = TIdThreadStopMode::smTerminate;

  // Class and message of the exception that ended the thread (empty if none did). Read them
  // only after the thread has finished.
  std::string TerminatingExceptionClass;
  std::string TerminatingException;

  // Number of TIdThread objects alive in the process.
  static int LiveThreadCount();
  // Blocks until no TIdThread is alive, re-testing the count at least every checkEvery. The
  // program calls this at its end, after its windows and components are gone.
  static void WaitForAllThreads(std::chrono::milliseconds checkEvery = std::chrono::milliseconds(5000));

 protected:
  // One pass of work; called repeatedly while the thread is not stopped.
  virtual void Run() = 0;
  // Called before the first pass after each start, and after the last pass before a stop.
  virtual void BeforeRun() {}
  virtual void AfterRun() {}
  // Frees what one run (start to stop) has used.
  virtual void Cleanup() {}

 private:
  void Execute();  // the thread's body

  std::mutex lock_;                 // guards StoppedFlag_ and started_
  std::condition_variable wake_;    // a stopped thread waits here to be started or terminated
  bool StoppedFlag_ = true;
  bool started_ = false;            // false while the thread waits for its (first or next) start
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex joinLock_;             // one joiner at a time
  std::thread thread_;
  std::thread::id id_;              // thread_'s id, kept after it has been joined
};
