#include "net/UiThread.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "net/IdException.h"

namespace {
std::atomic<TUiThread*> g_current{nullptr};
}

TUiThread::TUiThread() : uiThreadId_(std::this_thread::get_id()) {}

TUiThread::~TUiThread() {
  TUiThread* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

TUiThread* TUiThread::Current() { return g_current.load(); }
void TUiThread::Install(TUiThread* ui) { g_current.store(ui); }

void TUiThread::RunOnUiThread(const std::function<void()>& call) {
  if (IsUiThread()) {
    call();
    return;
  }
  auto item = std::make_shared<Pending>();
  item->call = call;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(item);
  }
  cv_.notify_all();
  WakeUiLoop();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return item->done; });
    // Taken over: the exception then ends on the thread that raises it again and catches it.
    // (Ending on the user-interface thread was ordered too, by the C++ runtime's reference
    // count, but ThreadSanitizer cannot see that count and reported a race.)
    error = std::move(item->error);
  }
  if (error) std::rethrow_exception(error);
}

void TUiThread::ServicePending() {
  for (;;) {
    std::shared_ptr<Pending> item;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return;
      item = queue_.front();
      queue_.pop_front();
    }
    try {
      item->call();
    } catch (...) {
      item->error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      item->done = true;
    }
    cv_.notify_all();
  }
}

void TUiThread::WaitServicing(const std::function<bool()>& done) {
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = notifications_;
    }
    ServicePending();
    if (done()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(20),
                 [&] { return !queue_.empty() || notifications_ != seen; });
  }
}

TUiThread* TUiThread::WaitingUi() {
  TUiThread* ui = Current();
  return ui && ui->IsUiThread() ? ui : nullptr;
}

void SleepKeepingAlive(int ms) {
  using Clock = std::chrono::steady_clock;
  TUiThread* ui = TUiThread::WaitingUi();
  if (!ui) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(TUiThread::kKeepAliveMs)));
    ui->KeepAlive();
    TUiThread::CheckStop();
  }
}

namespace {
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
}  // namespace

void TUiThread::RequestStop() noexcept { g_stopRequested.store(true); }
bool TUiThread::StopRequested() noexcept { return g_stopRequested.load(); }
void TUiThread::ClearStop() noexcept { g_stopRequested.store(false); }
void TUiThread::CheckStop() {
  if (StopRequested()) throw EIdStopRequested();
}

void TUiThread::Notify() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++notifications_;
  }
  cv_.notify_all();
}
