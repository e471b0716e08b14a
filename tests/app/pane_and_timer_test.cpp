// The panes only grow; the status bar's panels; timers keep their rhythm.
#include <QScrollBar>
#include <QKeyEvent>
#include <QTextBlock>
#include <gtest/gtest.h>

#include "app/FormControls.h"
#include "tests/app/TestSupport.h"

namespace {

TEST(Pane, lines_are_appended_in_order_and_never_removed) {
  QWidget parent;
  TMemo memo(&parent);
  std::vector<QString> signalled;
  QObject::connect(&memo, &TMemo::LineAdded, [&](const QString& l) { signalled.push_back(l); });
  struct Row { std::string added; std::vector<std::string> newLines; };
  const Row rows[] = {
      {"SIP ALG Test:", {"SIP ALG Test:"}},
      {"", {""}},
      {"Connecting to remote server... ", {"Connecting to remote server... "}},
      {"two\r\nlines", {"two", "lines"}},
      {"lf\nand cr\rend", {"lf", "and cr", "end"}},
      {"ends with break\r\n", {"ends with break", ""}},
      {std::string("zero\0byte", 9), {std::string("zero\0byte", 9)}},
      {"8-bit \xE9\xFF", {"8-bit \xE9\xFF"}},
  };
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    memo.Add(row.added);
    expected.insert(expected.end(), row.newLines.begin(), row.newLines.end());
    EXPECT_EQ(memo.Lines(), expected);
    EXPECT_EQ(memo.document()->blockCount(), static_cast<int>(expected.size()));
  }
  ASSERT_EQ(signalled.size(), expected.size());
  EXPECT_EQ(memo.document()->findBlockByNumber(0).text(), QStringLiteral("SIP ALG Test:"));
  // Bytes map to characters one to one; a zero byte shows as a visible mark, not a cut.
  EXPECT_EQ(memo.document()->findBlockByNumber(10).text(), QString("zero") + QChar(0x2400) + "byte");
  EXPECT_EQ(memo.document()->findBlockByNumber(11).text(), QString::fromLatin1("8-bit \xE9\xFF"));
}

TEST(Pane, scrolls_to_the_newest_line) {
  QWidget parent;
  TMemo memo(&parent);
  memo.resize(200, 80);
  parent.show();
  for (int i = 0; i < 200; ++i) memo.Add("line " + std::to_string(i));
  ASSERT_TRUE(SpinUntil([&] { return memo.verticalScrollBar()->maximum() > 0; }));
  memo.Add("last");
  SpinUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(memo.verticalScrollBar()->value(), memo.verticalScrollBar()->maximum());
}

TEST(Pane, user_cannot_edit) {
  QWidget parent;
  TMemo memo(&parent);
  memo.Add("fixed");
  memo.setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  QCoreApplication::sendEvent(&memo, &press);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("fixed"));
}

TEST(StatusBar, panel_text_round_trip_and_signal) {
  QWidget parent;
  TStatusBar bar(&parent, {300, 200});
  std::vector<std::pair<int, QString>> changes;
  QObject::connect(&bar, &TStatusBar::PanelTextChanged,
                   [&](int i, const QString& t) { changes.emplace_back(i, t); });
  bar.SetPanelText(0, "Link status: Connected.");
  bar.SetPanelText(1, "x");
  EXPECT_EQ(bar.PanelText(0), "Link status: Connected.");
  EXPECT_EQ(bar.PanelText(1), "x");
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].first, 0);
}

TEST(Timer, enabling_a_running_timer_keeps_its_rhythm) {
  QObject owner;
  TTimer timer(&owner, 10000);
  timer.SetEnabled(true);
  SpinUntil([] { return false; }, std::chrono::milliseconds(60));
  const int before = timer.remainingTime();
  ASSERT_LT(before, 9960);
  timer.SetEnabled(true);
  EXPECT_LE(timer.remainingTime(), before);
  // From the stopped state a fresh period starts.
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Enabled());
  timer.SetEnabled(true);
  EXPECT_GT(timer.remainingTime(), before);
  EXPECT_EQ(timer.interval(), 10000);
}

TEST(Timer, ticks_run_the_handler_and_stop_when_disabled) {
  QObject owner;
  TTimer timer(&owner, 10);
  int ticks = 0;
  QObject::connect(&timer, &TTimer::Tick, [&] {
    ++ticks;
    EXPECT_TRUE(timer.InTick());
  });
  timer.SetEnabled(true);
  ASSERT_TRUE(SpinUntil([&] { return ticks >= 3; }));
  timer.SetEnabled(false);
  const int seen = ticks;
  SpinUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(ticks, seen);
  EXPECT_FALSE(timer.InTick());
}

}  // namespace
