// The window while a long step waits (the start, the test sequence): it paints each line and
// what it waits for as it goes, "Start test" looks disabled, and nothing of the program runs
// in the middle of the step: datagrams and timer ticks wait until it is over, and so does a
// close.
#include <gtest/gtest.h>

#include <QEvent>

#include "tests/app/RunSupport.h"

using namespace runs;
using standin::Echo;
using standin::ScriptedServer;

namespace {

// The one wait of the sequence that lasts its full 2 s, with the stand-in below.
const std::string kLongWait = "Waiting for the echo of the REGISTER to port 5060 (send 1 of 3)";

class WindowAlive : public RunTest {
 protected:
  // The stand-in drops the first send of the first REGISTER and echoes the rest at once: the
  // sequence waits its full 2 s once.
  Rig& SlowOnce() {
    ScriptedServer& s = StandIn();
    s.script = [](const standin::Datagram& d, size_t index) {
      Echo e;
      e.text = d.text;
      e.send = index != 0;
      return e;
    };
    Rig& rig = Window();
    rig.form->show();
    QObject::connect(rig.form.get(), &TForm1::WaitChanged, [this](const QString& w) {
      waits.push_back(w.toStdString());
      startEnabled.push_back(window->form->BtnTest->isEnabled());
      if (w.toStdString() == kLongWait && midStep) midStep();
    });
    return rig;
  }

  std::vector<std::string> waits;  // every wait shown, in order
  std::vector<bool> startEnabled;  // "Start test" enabled when each was shown
  std::function<void()> midStep;   // runs as the 2 s wait begins, inside the step
};

// Notes what a widget showed each time it was painted while a step of the window ran.
class PaintLog : public QObject {
 public:
  PaintLog(QWidget* widget, const TForm1& form, std::function<std::string()> shows)
      : form_(form), shows_(std::move(shows)) {
    widget->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && form_.InStep()) painted.push_back(shows_());
    return false;
  }
  std::vector<std::string> painted;

 private:
  const TForm1& form_;
  std::function<std::string()> shows_;
};

TEST_F(WindowAlive, a_waiting_step_paints_its_lines_and_its_wait) {
  Rig& rig = SlowOnce();
  TForm1& f = *rig.form;
  PaintLog waitPanel(f.StatusBar1->Panel(1), f, [&f] { return f.StatusBar1->PanelText(1); });
  PaintLog logPane(f.Memo2->viewport(), f, [&f] { return std::to_string(f.Memo2->Lines().size()); });
  size_t logLines = 0;  // in the log pane when the wait began
  midStep = [&] { logLines = f.Memo2->Lines().size(); };
  rig.ClickStart();
  ASSERT_TRUE(rig.WaitSequence());
  ASSERT_TRUE(rig.Spin([&] { return f.StatusBar1->PanelText(1).empty(); }, 5s));
  ASSERT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);

  // The start's waits, then the sequence's, each shown as it began.
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits.front(), "Looking up the router");
  const auto greeting = std::find(waits.begin(), waits.end(), "Waiting for the echo server's answer to the greeting");
  ASSERT_NE(greeting, waits.end());
  EXPECT_NE(std::find(waits.begin(), greeting, "Waiting for " + at + " to accept the control connection"), greeting);
  std::vector<std::string> sequence = {*greeting, kLongWait,
                                       "Waiting for the echo of the REGISTER to port 5060 (send 2 of 3)",
                                       "Waiting for the echo of the REGISTER to port 5058 (send 1 of 3)",
                                       "Waiting for the echo of the INVITE to port 5060 (send 1 of 3)",
                                       "Waiting for the echo of the INVITE to port 5058 (send 1 of 3)"};
  // Over TCP: the stand-in listens on no TCP SIP port, each connection is refused at once.
  for (int k = 0; k < 2; ++k)
    for (int port : {5060, 5058}) sequence.push_back("Waiting for the TCP connection to port " + std::to_string(port));
  sequence.push_back("Waiting for the STUN answers about the NAT's behaviour");
  sequence.push_back("Waiting for the router's and the path's answers about the NAT layers");
  for (int port : {5060, 5058})
    for (int k = 1; k <= 6; ++k)
      sequence.push_back("Sending the NAT session test INVITEs to port " + std::to_string(port) + " (" +
                         std::to_string(k) + " of 6)");
  sequence.push_back("");  // the step is over
  EXPECT_EQ(std::vector<std::string>(greeting, waits.end()), sequence);
  for (size_t i = 0; i < waits.size(); ++i)
    EXPECT_TRUE(waits[i].empty() || !startEnabled[i]) << "\"Start test\" enabled while: " << waits[i];

  // Painted during the step: the wait, and the log pane with the lines written before it.
  EXPECT_NE(std::find(waitPanel.painted.begin(), waitPanel.painted.end(), kLongWait), waitPanel.painted.end());
  ASSERT_GT(logLines, 0u);
  EXPECT_TRUE(std::any_of(logPane.painted.begin(), logPane.painted.end(),
                          [&](const std::string& n) { return std::stoul(n) >= logLines; }));
}

// Datagrams, ticks and a close that come in the middle of a step wait until it is over.
TEST_F(WindowAlive, nothing_breaks_into_a_step) {
  Rig& rig = SlowOnce();
  NotingForm& f = *rig.form;
  // A timer of the window's kind, due many times over during the 2 s wait.
  constexpr int kTickMs = 20;
  TTimer timer(f.Panel1, kTickMs);
  std::vector<std::pair<bool, support::Clock::time_point>> ticks;  // in a step?, when
  QObject::connect(&timer, &TTimer::Tick, [&] { ticks.emplace_back(f.InStep(), support::Clock::now()); });
  timer.SetEnabled(true);
  const std::vector<std::string> sent = {"first", "second", "third"};
  bool visibleAfterClose = false;
  midStep = [&] {
    for (const std::string& text : sent)
      EXPECT_TRUE(standIn->SendFrom(5060, me, Rig::PortOf(*f.IdUDP_client_5060), text));
    f.close();
    visibleAfterClose = f.isVisible();
  };
  support::Clock::time_point stepEnd{};
  QObject::connect(&f, &TForm1::WaitChanged, [&](const QString& w) {
    if (w.isEmpty()) stepEnd = support::Clock::now();
  });
  rig.ClickStart();
  ASSERT_TRUE(rig.WaitSequence());
  auto afterStep = [&] {
    return std::find_if(ticks.begin(), ticks.end(), [&](const auto& t) { return t.second > stepEnd; });
  };
  constexpr auto kSpan = std::chrono::milliseconds(100);
  auto spanOver = [&] { return afterStep() != ticks.end() && ticks.back().second >= afterStep()->second + kSpan; };
  ASSERT_TRUE(rig.Spin([&] { return f.sip.size() >= sent.size() && spanOver() && !f.isVisible(); }, 5s));
  // The step ran to its end, and the window closed only then.
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_EQ(Verdicts(f.MemoSIP).size(), 4u);

  std::vector<std::string> handled;
  for (const Handled& h : f.sip) {
    handled.push_back(h.data);
    EXPECT_FALSE(h.inStep) << h.data << " was handled in the middle of a step";
  }
  EXPECT_EQ(handled, sent);  // all of them, in the order they came
  for (size_t i = 0; i < ticks.size(); ++i) EXPECT_FALSE(ticks[i].first) << "tick " << i << " ran in a step";
  // The ticks missed during the step (a hundred) do not come all at once after it.
  const auto first = afterStep();
  const auto inSpan = std::count_if(first, ticks.end(), [&](const auto& t) { return t.second < first->second + kSpan; });
  EXPECT_LE(inSpan, kSpan / std::chrono::milliseconds(kTickMs) + 2);
}

}  // namespace
