// The run's side of the test call: when it starts, the server's report on the control
// connection, and the call's lines once it is over or the run ends.
#include <algorithm>

#include "proto/XorUnit.h"
#include "run/TestRun.h"

namespace {

// After the checks: the server's unprompted audio (a second or so) is over by then, so the call's
// own packets, which open the router for what comes back, do not let the rest of it in.
constexpr int64_t kCallDelayUs = 2'000'000;
// After the last packet: the server reports 1 s after the stream stopped.
constexpr int64_t kReportWaitUs = 4'000'000;
constexpr int kFramesPerStep = 64;
// The burst's own lines come first: while its packets are still being counted (a burst the
// server had to stretch), the call waits, this long at most.
constexpr int64_t kBurstWaitUs = 5'000'000;

}  // namespace

void TTestRun::ArmCall() {
  const int seconds = CallSeconds(CallSecondsAsked, call_wire::PlanFromToken(Result.Sequence.Token));
  if (seconds > 0 && !io_->Call().Started()) callDueUs_ = SteadyUs() + kCallDelayUs;
}

bool TTestRun::CallPending() const { return callDueUs_.has_value() && !callWritten_; }

int TTestRun::CallSecondsLeft() {
  if (!CallPending()) return 0;
  const TBackgroundCall& call = io_->Call();
  const int seconds = CallSeconds(CallSecondsAsked, call_wire::PlanFromToken(Result.Sequence.Token));
  const int64_t endsBy = call.SendingDone() ? call.SendingEndedUs() + kReportWaitUs
                         : call.Started()   ? SteadyUs() + (seconds * 1'000'000LL) + kReportWaitUs  // at most
                                            : *callDueUs_ + seconds * 1'000'000LL + kReportWaitUs;
  return static_cast<int>(std::max<int64_t>(0, (endsBy - SteadyUs() + 999'999) / 1'000'000));
}

void TTestRun::CallStep() {
  if (!CallPending() || Stopped) return;
  TBackgroundCall& call = io_->Call();
  const int64_t now = SteadyUs();
  if (!call.Started()) {
    if (now < *callDueUs_ || (RtpCount > 0 && now < *callDueUs_ + kBurstWaitUs)) return;
    const auto plan = call_wire::PlanFromToken(Result.Sequence.Token);
    const std::string host = ServerAddress.empty() ? ServerHost : ServerAddress;
    callBurstCame_ = Result.RtpPackets > 0;
    call.Start(io_->RtpSender(host, plan->RtpPort), host, Result.Sequence.Token, CallSeconds(CallSecondsAsked, plan));
    Line(TPane::Rtp, "Test call: " + std::to_string(call.Seconds()) + " s of audio from port " +
                         std::to_string(RtpPort) + " to the server and back...");
    return;
  }
  if (!call.SendingDone()) return;
  // The report follows the echoes of the NAT session test that may still be on their way.
  try {
    for (int i = 0; i < kFramesPerStep && !callReport_ && !callReportUnreadable_; ++i) {
      const std::string frame = Scramble(io_->ControlReadLine(EchoTerminator(), 1));
      if (frame.empty()) break;
      callReport_ = call_wire::ParseReport(frame);
      callReportUnreadable_ = !callReport_ && call_wire::IsReportText(frame);
    }
  } catch (...) {
    // The connection is gone: no report will come.
    FinishCall();
    return;
  }
  if (callReport_ || callReportUnreadable_ || now >= call.SendingEndedUs() + kReportWaitUs) FinishCall();
}

void TTestRun::FinishCall() {
  if (callWritten_) return;
  TBackgroundCall& call = io_->Call();
  const bool stopped = Result.End == TRunEnd::Stopped;
  if (!call.Started()) {
    // A call due that never began; one the server does not offer goes to the summary alone.
    const bool checked = Result.Sequence.Outcome == TSequenceReport::TOutcome::Completed;
    if (checked && CallSecondsAsked > 0 && !call_wire::PlanFromToken(Result.Sequence.Token))
      Result.Call = CallNotBegun(TCallNotTested::NoCallOffered, 0, RtpPort);
    if (callDueUs_) {
      Result.Call = CallNotBegun(stopped ? TCallNotTested::Stopped : TCallNotTested::CutShort, 0, RtpPort);
      for (const std::string& line : CallLines(*Result.Call)) Line(TPane::Rtp, line);
      callWritten_ = true;
    }
    callDueUs_.reset();
    return;
  }
  call.Stop();
  callWritten_ = true;
  // Without the report, "nothing reached the server" holds only after a whole call and the wait.
  const bool whole = call.Sent() >= call.Seconds() * call_wire::kPacketsPerSecond &&
                     SteadyUs() >= call.SendingEndedUs() + kReportWaitUs;
  Result.Call = call.Result({callReport_, callReportUnreadable_, stopped, whole, RtpPort, callBurstCame_});
  for (const std::string& line : CallLines(*Result.Call)) Line(TPane::Rtp, line);
  Tell([this](TRunObserver& o) { o.CallFinished(*Result.Call); });
  TellAnswer(TRunAnswer::TTopic::CallQuality);
}
