// The worker thread frame: created stopped, started, stopped, terminated, counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "net/IdThread.h"
#include "tests/support/Loopback.h"

namespace {

using support::WaitUntil;

// Counts its passes; can be told to raise from one.
class CountingThread : public TIdThread {
 public:
  ~CountingThread() override {
    TerminateAndWaitFor();
    ++destroyed;
  }
  static inline std::atomic<int> destroyed{0};
  std::atomic<int> passes{0};
  std::atomic<int> cleanups{0};
  std::atomic<bool> raise{false};

 protected:
  void Run() override {
    ++passes;
    if (raise.load()) throw EIdStackSetSizeExceeded();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Cleanup() override { ++cleanups; }
};

TEST(IdThread, id_thread_stop_modes) {
  for (auto mode : {TIdThread::TIdThreadStopMode::smTerminate, TIdThread::TIdThreadStopMode::smSuspend}) {
    const bool terminates = mode == TIdThread::TIdThreadStopMode::smTerminate;
    SCOPED_TRACE(terminates ? "terminate" : "suspend");
    CountingThread t;
    t.StopMode = mode;
    EXPECT_TRUE(t.Stopped());  // created stopped
    EXPECT_EQ(t.passes.load(), 0);
    t.Start();
    EXPECT_FALSE(t.Stopped());
    ASSERT_TRUE(WaitUntil([&] { return t.passes.load() > 0; }));
    t.Stop();
    EXPECT_TRUE(t.Stopped());
    EXPECT_EQ(t.Terminated(), terminates);
    ASSERT_TRUE(WaitUntil([&] { return t.cleanups.load() == 1; }));  // the run's data freed
    if (terminates) {
      EXPECT_TRUE(WaitUntil([&] { return t.Finished(); }));
      t.Start();  // a terminated thread stays stopped
      EXPECT_TRUE(t.Stopped());
    } else {
      const int before = t.passes.load();
      t.Start();  // a suspended one runs again
      EXPECT_TRUE(WaitUntil([&] { return t.passes.load() > before; }));
      EXPECT_FALSE(t.Finished());
    }
    t.TerminateAndWaitFor();
    EXPECT_TRUE(t.Finished());
  }
}

// Created stopped and never started: it runs nothing, and freeing it ends its thread.
TEST(IdThread, id_thread_never_started_ends_when_freed) {
  const int live = TIdThread::LiveThreadCount(), destroyed = CountingThread::destroyed.load();
  auto t = std::make_unique<CountingThread>();
  EXPECT_EQ(TIdThread::LiveThreadCount(), live + 1);
  EXPECT_TRUE(t->Stopped());
  EXPECT_FALSE(t->Finished());
  EXPECT_EQ(t->passes.load(), 0);
  t.reset();  // ends the waiting thread and joins it
  EXPECT_EQ(CountingThread::destroyed.load(), destroyed + 1);
  EXPECT_EQ(TIdThread::LiveThreadCount(), live);
}

TEST(IdThread, id_thread_exception_ends_it_and_is_recorded) {
  CountingThread t;
  t.raise = true;
  t.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.Finished(); }));
  EXPECT_EQ(t.passes.load(), 1);
  EXPECT_TRUE(t.Terminated());
  EXPECT_EQ(t.TerminatingExceptionClass, "EIdStackSetSizeExceeded");
  EXPECT_EQ(t.TerminatingException, "Set Size Exceeded.");
}

TEST(IdThread, id_thread_live_count_and_waiting_for_all) {
  ASSERT_EQ(TIdThread::LiveThreadCount(), 0);
  auto threads = std::make_shared<std::vector<std::unique_ptr<CountingThread>>>();
  for (int i = 0; i < 3; ++i) {
    threads->push_back(std::make_unique<CountingThread>());
    threads->back()->Start();
  }
  EXPECT_EQ(TIdThread::LiveThreadCount(), 3);
  const int destroyedBefore = CountingThread::destroyed.load();
  std::thread owner([threads] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    threads->clear();
  });
  TIdThread::WaitForAllThreads(std::chrono::milliseconds(5000));
  EXPECT_EQ(CountingThread::destroyed.load(), destroyedBefore + 3);  // returned once all were gone
  EXPECT_EQ(TIdThread::LiveThreadCount(), 0);
  owner.join();
}

}  // namespace
