#include "app/CliFront.h"

#include <chrono>

namespace {

const char* Tag(TPane pane) {
  switch (pane) {
    case TPane::Sip: return "SIP";
    case TPane::Nat: return "NAT";
    case TPane::Rtp: return "RTP";
    case TPane::Log: break;
  }
  return "LOG";
}

}  // namespace

TCliDriver::TCliDriver(TTestRun& run, const TCliOptions& options, std::function<void(const TCliLine&)> echo,
                       std::function<void()> finished)
    : run_(run), options_(options), echo_(std::move(echo)), finished_(std::move(finished)) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    EndRun(TRunEnd::TimeLimit);
    Finish();  // whether or not the run got to its end
  });
}

void TCliDriver::Add(const std::string& tag, const std::string& text) {
  record_.Lines.push_back({tag, text});
  if (echo_) echo_(record_.Lines.back());
}

void TCliDriver::PaneLine(TPane pane, const std::string& line) { Add(Tag(pane), line); }

void TCliDriver::AddError(const std::string& text) {
  record_.ErrorShown = true;
  // The control connection failed: one line that names the server, instead of the socket error.
  const TRunResult& r = run_.Result;
  if (r.End == TRunEnd::ServerNotReached && !r.NotReachedReason.empty() && !notReachedSaid_) {
    notReachedSaid_ = true;
    Add("ERROR", ServerNotReachedLine(run_.ServerHost, r.NotReachedReason));
    return;
  }
  Add("ERROR", text);
}

void TCliDriver::Start(const std::string& localIp) {
  for (TPane pane : {TPane::Sip, TPane::Nat, TPane::Rtp}) Add(Tag(pane), PaneHeading(pane));
  deadline_.start(options_.MaxSeconds * 1000);
  run_.CallSecondsAsked = options_.CallSeconds;
  // The start and the test sequence block the event loop: they keep to the limit themselves.
  run_.RunDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.MaxSeconds);
  QTimer::singleShot(0, this, [this, localIp] { run_.Step([&] { run_.Start(localIp, options_.Endpoint); }); });
}

void TCliDriver::EndRun(TRunEnd why) {
  if (done_) return;
  run_.MarkRunEnd(why);
  run_.Step([this] { run_.Stop(); });
}

void TCliDriver::Interrupt() {
  EndRun(TRunEnd::Stopped);
  Finish();  // whether or not a run had begun
}

void TCliDriver::Finish() {
  if (done_) return;
  done_ = true;
  deadline_.stop();
  if (finished_) finished_();
}
