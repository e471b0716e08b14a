#include "app/Windowing.h"

#include <cstdio>

#include "net/IdException.h"

namespace {

// Used while no front is installed (tests, programs without a window): writes the box's text
// to the standard error stream instead of waiting for a person.
class TStreamWindowing : public TWindowing {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "[%s] error: %s\n", caption.c_str(), text.c_str());
  }
  std::string FirstArgument() override { return std::string(); }
};

TStreamWindowing g_fallback;
TWindowing* g_front = nullptr;
std::string g_title = kApplicationTitle;

}  // namespace

void InstallWindowing(TWindowing* front) { g_front = front; }
TWindowing& CurrentWindowing() { return g_front ? *g_front : g_fallback; }

void SetApplicationTitle(const std::string& title) { g_title = title; }
std::string ApplicationTitle() { return g_title; }

void ShowMessage(const std::string& text) { CurrentWindowing().ShowMessage(g_title, text); }
std::string FirstArgument() { return CurrentWindowing().FirstArgument(); }

void ReportException(const std::exception_ptr& error) {
  try {
    CurrentWindowing().ShowError(g_title, ErrorReportText(ExceptionMessage(error)));
  } catch (...) {
    // The report itself failed (out of memory, a front that throws): nothing more can be shown.
  }
}

void RunGuarded(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const EIdStopRequested&) {
    // The user asked for the stop: nothing went wrong.
  } catch (...) {
    ReportException(std::current_exception());
  }
}

void OpenUrl(const std::string& url) { CurrentWindowing().OpenUrl(url); }
