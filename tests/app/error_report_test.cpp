// The default error report and the guard that every click, tick and creation handler runs in.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/Unit_1_client.h"
#include "net/IdException.h"
#include "tests/app/TestSupport.h"

namespace {

TEST(ErrorReport, full_stop_rule) {
  struct Row { std::string message, shown; };
  const Row rows[] = {
      {"Not Connected", "Not Connected."},
      {"Read Timeout", "Read Timeout."},
      {"Socket Error # 10061\r\nConnection refused.", "Socket Error # 10061\r\nConnection refused."},
      {"Connect timed out.", "Connect timed out."},
      {"Cannot bind!", "Cannot bind!"},
      {"(port 5060)", "(port 5060)"},
      {"Code 10048", "Code 10048."},
      {"ends with a blank ", "ends with a blank "},
      {"ends with a comma,", "ends with a comma,"},
      {"a hyphen-", "a hyphen-"},
      {"a slash/", "a slash/."},     // '/' is the code right above '.'
      {"a colon:", "a colon:."},
      {"bytes \xE9", "bytes \xE9."},  // an 8-bit letter counts as above '.'
      {"line\r\n", "line\r\n"},
      {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(ErrorReportText(row.message), row.shown) << row.message;
}

TEST(ErrorReport, guard_reports_any_exception_once_with_the_application_title) {
  struct Row {
    std::function<void()> handler;
    std::string shown;
  };
  const Row rows[] = {
      {[] { throw EIdConnectTimeout(); }, "Connect timed out."},
      {[] { throw EIdNotConnected(); }, "Not Connected."},
      {[] { throw EIdSocketError(10061, "Socket Error # 10061\r\nConnection refused."); },
       "Socket Error # 10061\r\nConnection refused."},
      {[] { throw std::runtime_error("plain failure"); }, "plain failure."},
      {[] { throw 42; }, "Unknown exception."},
  };
  for (const Row& row : rows) {
    TRecordingWindowing front;
    EXPECT_NO_THROW(RunGuarded(row.handler));
    EXPECT_TRUE(front.OneBox(true, row.shown));
  }
}

TEST(ErrorReport, guard_is_silent_when_nothing_is_thrown) {
  TRecordingWindowing front;
  bool ran = false;
  RunGuarded([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(front.boxes.empty());
}

TEST(ErrorReport, a_failing_front_does_not_escape_the_guard) {
  struct Throwing : TRecordingWindowing {
    void ShowError(const std::string&, const std::string&) override { throw std::bad_alloc(); }
  } front;
  EXPECT_NO_THROW(RunGuarded([] { throw std::runtime_error("x"); }));
}

TEST(ErrorReport, message_box_is_captioned_with_the_title) {
  TRecordingWindowing front;
  ShowMessage("Cannot bind a socket after 100 attempts. Exiting...");
  EXPECT_TRUE(front.OneBox(false, "Cannot bind a socket after 100 attempts. Exiting..."));
  front.argument = "192.0.2.1:5070";
  EXPECT_EQ(FirstArgument(), "192.0.2.1:5070");
}

// A window whose handlers fail, to see that the controls reach them through the guard.
class FailingForm : public TForm1 {
 public:
  int calls = 0;
  void BtnTestClick(QObject* sender) override { Fail(sender, "Connect timed out."); }
  void StopBtnClick(QObject* sender) override { Fail(sender, "Not Connected"); }
  void BtnRouterClick(QObject* sender) override { Fail(sender, "router"); }
  void Timer1Timer(QObject* sender) override { Fail(sender, "Read Timeout"); }
  void TimerTCPTimer(QObject* sender) override { Fail(sender, "Disconnected."); }
  QObject* lastSender = nullptr;

 private:
  void Fail(QObject* sender, const char* text) {
    ++calls;
    lastSender = sender;
    throw EIdException(text);
  }
};

TEST(ErrorReport, clicks_and_ticks_report_their_exception_and_the_window_goes_on) {
  TRecordingWindowing front;
  FailingForm form;
  form.StopBtn->setEnabled(true);
  form.BtnRouter->setEnabled(true);
  struct Row {
    std::function<void()> trigger;
    QObject* sender;
    const char* shown;
  };
  const Row rows[] = {
      {[&] { form.BtnTest->click(); }, form.BtnTest, "Connect timed out."},
      {[&] { form.StopBtn->click(); }, form.StopBtn, "Not Connected."},
      {[&] { form.BtnRouter->click(); }, form.BtnRouter, "router."},
  };
  for (const Row& row : rows) {
    front.boxes.clear();
    row.trigger();
    EXPECT_TRUE(front.OneBox(true, row.shown));
    EXPECT_EQ(form.lastSender, row.sender);
  }
  // Timers: a failing tick is reported and the timer keeps ticking.
  for (TTimer* timer : {form.Timer1, form.TimerTCP}) {
    front.boxes.clear();
    timer->setInterval(10);
    timer->SetEnabled(true);
    ASSERT_TRUE(SpinUntil([&] { return front.boxes.size() >= 2; }));
    timer->SetEnabled(false);
    EXPECT_EQ(form.lastSender, timer);
    EXPECT_EQ(front.boxes[0].text, timer == form.Timer1 ? "Read Timeout." : "Disconnected.");
  }
}

TEST(ErrorReport, ticks_do_not_nest_while_the_error_box_is_open) {
  TRecordingWindowing front;
  FailingForm form;
  int depth = 0, deepest = 0;
  // While the "box" is open its own loop runs, as a modal box's would, for several periods.
  front.onBox = [&] {
    ++depth;
    deepest = std::max(deepest, depth);
    SpinUntil([] { return false; }, std::chrono::milliseconds(100));
    --depth;
  };
  form.Timer1->setInterval(10);
  form.Timer1->SetEnabled(true);
  ASSERT_TRUE(SpinUntil([&] { return front.boxes.size() >= 3; }));
  form.Timer1->SetEnabled(false);
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(form.calls, static_cast<int>(front.boxes.size()));
}

}  // namespace
