// Calls from network threads run on the user-interface thread through the event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "app/QtFront.h"
#include "tests/app/TestSupport.h"

namespace {

TEST(UiThreadHandover, call_from_a_worker_runs_on_the_ui_thread_and_waits) {
  TQtUiThread ui;
  const auto uiId = std::this_thread::get_id();
  std::atomic<bool> ranOnUi{false}, returned{false};
  std::thread worker([&] {
    ui.RunOnUiThread([&] { ranOnUi = std::this_thread::get_id() == uiId; });
    returned = true;
  });
  ASSERT_TRUE(SpinUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(ranOnUi);
}

TEST(UiThreadHandover, exception_of_the_call_is_raised_again_in_the_worker) {
  TQtUiThread ui;
  std::atomic<bool> done{false};
  std::string caught;
  std::thread worker([&] {
    try {
      ui.RunOnUiThread([] { throw std::runtime_error("handler failed"); });
    } catch (const std::exception& e) {
      caught = e.what();
    }
    done = true;
  });
  ASSERT_TRUE(SpinUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(caught, "handler failed");
}

TEST(UiThreadHandover, many_workers_are_served_one_call_at_a_time) {
  TQtUiThread ui;
  constexpr int kWorkers = 4, kCalls = 50;
  int inside = 0, most = 0, total = 0;  // touched on the UI thread only
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i)
        ui.RunOnUiThread([&] {
          most = std::max(most, ++inside);
          ++total;
          --inside;
        });
      ++finished;
    });
  ASSERT_TRUE(SpinUntil([&] { return finished.load() == kWorkers; }, std::chrono::seconds(20)));
  for (auto& t : workers) t.join();
  EXPECT_EQ(total, kWorkers * kCalls);
  EXPECT_EQ(most, 1);
}

TEST(UiThreadHandover, direct_call_on_the_ui_thread_and_installation) {
  TQtUiThread ui;
  bool ran = false;
  ui.RunOnUiThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  TUiThread::Install(&ui);
  EXPECT_EQ(TUiThread::Current(), &ui);
  TUiThread::Install(nullptr);
}

}  // namespace
