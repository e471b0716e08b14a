// The window's own parts around the run: the echo server field (from the command line, kept
// in the user's settings, asked for when empty), the error box that says what kept the server
// from being reached, the result card filled as the answers come, the last run's lines set
// apart at a new start, and where the call's chart opens.
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/CallChart.h"
#include "app/ServerChoice.h"
#include "app/WindowReport.h"
#include "run/RunAnswers.h"
#include "tests/app/RunSupport.h"

using namespace runs;
using TTopic = TRunAnswer::TTopic;

namespace {

// Settings in a file of the test's own.
struct TestSettings {
  QTemporaryDir dir;
  std::function<std::unique_ptr<QSettings>()> Source() const {
    const QString file = dir.filePath(QStringLiteral("tester.conf"));
    return [file] { return std::make_unique<QSettings>(file, QSettings::IniFormat); };
  }
};

// A window made as the program makes it, with `argument` on the command line.
std::unique_ptr<TForm1> MakeWindow(const TestSettings& settings, const std::string& argument,
                                   TRecordingWindowing& front) {
  front.argument = argument;
  auto form = std::make_unique<TForm1>();
  form->LocalAddressSource = [] { return std::vector<std::string>{support::TestAddress(0)}; };
  form->SettingsSource = settings.Source();
  form->FormCreate(form.get());
  return form;
}

std::string FieldOf(const TForm1& f) { return f.EchoServerEdit->text().toStdString(); }

TEST(ServerField, from_the_command_line_else_the_last_used_else_empty) {
  TestSettings settings;
  TRecordingWindowing front;
  EXPECT_EQ(FieldOf(*MakeWindow(settings, "", front)), "") << "nothing used yet";
  EXPECT_FALSE(MakeWindow(settings, "", front)->EchoServerEdit->placeholderText().isEmpty());
  {
    auto f = MakeWindow(settings, "192.0.2.7:5070", front);
    EXPECT_EQ(FieldOf(*f), "192.0.2.7:5070");
    RememberEchoServer(*settings.Source()(), "echo.example.org");
  }
  EXPECT_EQ(FieldOf(*MakeWindow(settings, "", front)), "echo.example.org");
  EXPECT_EQ(FieldOf(*MakeWindow(settings, "192.0.2.7", front)), "192.0.2.7") << "the command line comes first";
}

TEST(ServerField, cleaned_before_a_start) {
  const std::pair<std::string, std::string> rows[] = {
      {"  echo.example.org  ", "echo.example.org"}, {"http://echo.example.org/", "echo.example.org"},
      {"echo.example.org:5070", "echo.example.org:5070"}, {"\t ", ""}, {"192.0.2.1/x", "192.0.2.1"}};
  for (const auto& [typed, used] : rows) EXPECT_EQ(CleanEchoServer(typed), used) << typed;
}

class WindowCard : public RunTest {
 protected:
  // The window of the fixture, with settings of the test's own.
  Rig& Made(const std::string& argument = "") {
    Rig& rig = Window(argument);
    rig.form->SettingsSource = settings.Source();
    return rig;
  }
  TestSettings settings;
};

TEST_F(WindowCard, empty_field_asks_for_a_server_and_starts_nothing) {
  Rig& rig = Made();
  TForm1& f = *rig.form;
  f.EchoServerEdit->setText(QStringLiteral("   "));
  const std::vector<std::string> sip = f.MemoSIP->Lines();
  rig.ClickStart();
  EXPECT_TRUE(rig.front.OneBox(false, kEchoServerAsk));
  EXPECT_EQ(f.MemoSIP->Lines(), sip) << "no run began";
  EXPECT_TRUE(f.BtnTest->isEnabled());
  EXPECT_EQ(f.ServerHost, "");
}

TEST_F(WindowCard, a_started_server_is_remembered) {
  Serve(ShortConfig(at));
  Rig& rig = Made();
  rig.form->EchoServerEdit->setText(QString::fromStdString(" " + at + " "));
  rig.ClickStart();
  EXPECT_EQ(rig.form->ServerHost, at);
  EXPECT_EQ(InitialEchoServer("", *settings.Source()()), at);
  rig.ClickStop();
}

// The box keeps the error's own text, then says what happened and what to try.
TEST_F(WindowCard, error_box_says_why_the_server_was_not_reached) {
  struct Row {
    std::string server, error, sentence, advice;
  };
  const Row rows[] = {
      {"", "Socket Error # 10061\r\nConnection refused.", "the connection was refused",
       "Check the server's name and that its echo server runs"},
      {"no-such-host.invalid", "Socket Error # 11001\r\nHost not found.", "the host name is unknown",
       "Check the server's name for typing errors."},
  };
  for (const Row& row : rows) {
    NextRow();
    const std::string server = row.server.empty() ? at : row.server;  // nothing listens on `at`
    SCOPED_TRACE(server);
    Rig& rig = Made(server);
    rig.ClickStart();
    ASSERT_EQ(rig.front.boxes.size(), 1u);
    const std::string& box = rig.front.boxes[0].text;
    EXPECT_TRUE(rig.front.boxes[0].error);
    const std::string head = row.error + "\n\nThe server " + server + " was not reached on TCP port 80: " +
                             row.sentence + ".\n" + row.advice;
    EXPECT_EQ(box.substr(0, head.size()), head) << box;
  }
}

// The card's rows come as the run learns its answers, and read as the run's answers at the end.
TEST_F(WindowCard, rows_fill_as_the_answers_come) {
  standin::ScriptedServer& p = StandIn();
  Rig& rig = Made();
  TForm1& f = *rig.form;
  f.Run->NoNatReportSecs = 1;
  for (size_t k = 0; k < 4; ++k) EXPECT_FALSE(f.ResultCard->RowTone(static_cast<TTopic>(k))) << "before any run";
  rig.ClickStart();
  // The checks are done when the NAT session test begins: the ALG's answer is there, the
  // others are not yet.
  ASSERT_TRUE(rig.Spin([&] {
    for (const auto& d : p.Datagrams())
      if (d.NatTest()) return true;
    return false;
  }, 30s));
  ASSERT_TRUE(rig.Spin([&] { return f.ResultCard->RowTone(TTopic::Alg).has_value(); }, 5s));
  EXPECT_FALSE(f.ResultCard->RowTone(TTopic::WhatToDo));
  ASSERT_TRUE(rig.Spin([&] { return f.BtnCopyReport->isEnabled(); }, 30s));

  const std::vector<TRunAnswer> answers = RunAnswers(f.Run->Report().Summary);
  for (const TRunAnswer& a : answers) {
    EXPECT_EQ(f.ResultCard->RowText(a.Topic), a.Text);
    EXPECT_EQ(f.ResultCard->RowTone(a.Topic), a.Tone);
  }
  // On loopback the server sees this computer's own address: no router was tested.
  EXPECT_EQ(f.ResultCard->RowText(TTopic::Alg),
            "SIP ALG: no router tested (the server saw this computer's own address)");
  EXPECT_EQ(f.ResultCard->RowText(TTopic::NatKeepAlive),
            "NAT keep-alive: not measured, UDP from the server does not come back through the router");
  EXPECT_EQ(f.ResultCard->RowTone(TTopic::NatKeepAlive), TRunAnswer::TTone::Problem);
  EXPECT_EQ(f.ResultCard->RowText(TTopic::WhatToDo).rfind("What to do: Run the test against an echo server", 0), 0u);
  EXPECT_NE(f.ResultCard->Row(TTopic::WhatToDo)->toolTip().toStdString().find("Inbound UDP does not come back"),
            std::string::npos)
      << "the whole advice in the tool tip";
  // No router in the test's network: nothing to open.
  EXPECT_EQ(f.BtnRouter->isEnabled(), RouterFound(f.RouterIP));
  // The result line of the status bar stays.
  EXPECT_EQ(f.StatusBar1->PanelText(1).rfind("Result: ", 0), 0u);
}

// A new start sets the last run apart: its lines stay, dimmed; the card waits for new answers.
TEST_F(WindowCard, start_sets_the_last_run_apart) {
  Rig& rig = Made();  // nothing listens: each run ends in its start
  TForm1& f = *rig.form;
  rig.ClickStart();
  ASSERT_TRUE(rig.Spin([&] { return f.ResultCard->RowTone(TTopic::WhatToDo).has_value(); }, 10s));
  const size_t sip = f.MemoSIP->Lines().size(), rtp = f.MemoRTP->Lines().size(), log = f.Memo2->Lines().size();
  ASSERT_GT(sip, 2u);
  ASSERT_GT(log, 1u);
  rig.ClickStart();
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(f.ResultCard->RowTone(static_cast<TTopic>(k))) << "card cleared";
  ASSERT_TRUE(rig.Spin([&] { return f.Memo2->Lines().size() > log; }, 10s));
  // Nothing removed: the second run follows the first.
  EXPECT_EQ(f.MemoSIP->Lines().size(), 2 * sip - 1);
  EXPECT_EQ(f.MemoSIP->Lines()[sip], f.MemoSIP->Lines()[1]);
  EXPECT_FALSE(f.MemoSIP->LineDimmed(0)) << "the heading";
  for (int i = 1; i < static_cast<int>(sip); ++i) EXPECT_TRUE(f.MemoSIP->LineDimmed(i)) << i;
  for (size_t i = sip; i < f.MemoSIP->Lines().size(); ++i) EXPECT_FALSE(f.MemoSIP->LineDimmed(static_cast<int>(i))) << i;
  EXPECT_TRUE(f.MemoRTP->LineDimmed(static_cast<int>(rtp) - 1));
  EXPECT_FALSE(f.MemoRTP->LineDimmed(static_cast<int>(f.MemoRTP->Lines().size()) - 1));
  EXPECT_TRUE(f.Memo2->LineDimmed(0));
  EXPECT_FALSE(f.Memo2->LineDimmed(static_cast<int>(f.Memo2->Lines().size()) - 1));
}

// The chart beside the window where the screen has room, always on the screen.
TEST(CallChartPlace, beside_the_window_and_on_the_screen) {
  struct Row {
    const char* name;
    QRect main, screen;
    QPoint at;
  };
  const QSize chart(620, 340);
  const Row rows[] = {
      {"room on the right", {100, 50, 796, 688}, {0, 0, 1920, 1080}, {904, 50}},
      {"room on the left only", {1000, 50, 796, 688}, {0, 0, 1920, 1080}, {372, 50}},
      {"no room: over the right side, level with the bottom", {402, 100, 796, 688}, {0, 0, 1600, 900}, {980, 448}},
      {"no room, more on the left", {500, 0, 796, 688}, {0, 0, 1350, 768}, {0, 348}},
      {"a second screen to the right", {1700, 30, 796, 688}, {1600, 0, 1920, 1080}, {2504, 30}},
      {"low on the screen: moved up", {100, 700, 796, 688}, {0, 0, 1920, 900}, {904, 560}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const QPoint at = ChartPlace(row.main, chart, row.screen);
    EXPECT_EQ(at, row.at);
    EXPECT_TRUE(row.screen.contains(QRect(at, chart))) << at.x() << "," << at.y();
  }
}

}  // namespace
