#include "app/CliFront.h"

#include <QComboBox>
#include <QPushButton>
#include <chrono>
#include <optional>
#include <stdexcept>

#include "app/CliConsole.h"
#include "app/FormControls.h"
#include "app/Unit_1_client.h"

void TCliWindowing::ShowMessage(const std::string&, const std::string& text) { onError_(text); }
void TCliWindowing::ShowError(const std::string&, const std::string& text) { onError_(text); }

TCliDriver::TCliDriver(TForm1& form, const TCliOptions& options, std::function<void(const TCliLine&)> echo)
    : form_(form), options_(options), echo_(std::move(echo)) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    EndRun(TRunEnd::TimeLimit);
    Finish();  // whether or not the window got to end the run
  });
  // Queued: the handler that ended the run finishes first (an error it raises is shown and
  // noted before the front winds up).
  connect(&form_, &TForm1::RunEnded, this, [this] { Finish(); }, Qt::QueuedConnection);
}

void TCliDriver::Add(const std::string& tag, const std::string& text) {
  record_.Lines.push_back({tag, text});
  if (echo_) echo_(record_.Lines.back());
}

void TCliDriver::AddError(const std::string& text) {
  record_.ErrorShown = true;
  // The control connection failed: one line that names the server, instead of the socket error.
  const TRunResult& r = form_.Result;
  if (r.End == TRunEnd::ServerNotReached && !r.NotReachedReason.empty() && !notReachedSaid_) {
    notReachedSaid_ = true;
    Add("ERROR", ServerNotReachedLine(form_.ServerHost, r.NotReachedReason));
    return;
  }
  Add("ERROR", text);
}

void TCliDriver::Start() {
  form_.AdviceInLog = false;  // the front gives its own advice after the summary
  const std::pair<TMemo*, const char*> panes[] = {
      {form_.MemoSIP, "SIP"}, {form_.MemoNat, "NAT"}, {form_.MemoRTP, "RTP"}, {form_.Memo2, "LOG"}};
  for (const auto& [memo, tag] : panes) {
    for (const std::string& line : memo->Lines()) Add(tag, line);
    const std::string t = tag;
    connect(memo, &TMemo::LineAdded, this, [this, t](const QString& line) { Add(t, FromDisplay(line)); });
  }
  connect(form_.StatusBar1, &TStatusBar::PanelTextChanged, this, [this](int index, const QString& text) {
    if (index == 0) Add("STATUS", FromDisplay(text));
  });
  if (form_.Closed()) {
    QTimer::singleShot(0, this, [this] { Finish(); });
    return;
  }
  if (!options_.LocalIp.empty()) form_.ComboBox1->setEditText(ToDisplay(options_.LocalIp));
  deadline_.start(options_.MaxSeconds * 1000);
  form_.CallSecondsAsked = options_.CallSeconds;
  // The start and the test sequence block the event loop: they keep to the limit themselves.
  form_.RunDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.MaxSeconds);
  QTimer::singleShot(0, this, [this] {
    form_.BtnTest->click();  // runs the start inside the window's guard
  });
}

void TCliDriver::EndRun(TRunEnd why) {
  if (finished_) return;
  form_.MarkRunEnd(why);
  RunGuarded([this] { form_.StopBtnClick(form_.StopBtn); });
}

void TCliDriver::Interrupt() {
  EndRun(TRunEnd::Stopped);
  Finish();  // whether or not a run had begun
}

void TCliDriver::Finish() {
  if (finished_) return;
  finished_ = true;
  record_.WindowClosed = form_.Closed();
  deadline_.stop();
  emit Finished();
}
