#pragma once
// Runs a cleanup when the scope it guards is left, by return or by exception:
//   TScopeExit closeFile{[&] { std::fclose(f); }};
// An exception from the cleanup goes on to the caller on a normal exit; while another exception
// is already leaving the scope the cleanup's own is dropped, so the first one keeps going.
#include <exception>
#include <utility>

template <class F>
class TScopeExit {
 public:
  explicit TScopeExit(F cleanup) : cleanup_(std::move(cleanup)), unwinding_(std::uncaught_exceptions()) {}
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

  ~TScopeExit() noexcept(false) {
    if (std::uncaught_exceptions() == unwinding_) {
      cleanup_();
      return;
    }
    try {
      cleanup_();
    } catch (...) {
    }
  }

 private:
  F cleanup_;
  int unwinding_;  // exceptions in flight where the guard was made
};
