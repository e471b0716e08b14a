// The window's side of the test call: when it starts, the server's report on the control
// connection, and the call's lines and chart once it is over or the run ends.
#include <algorithm>

#include "app/CallChart.h"
#include "app/Unit_1_client.h"
#include "proto/XorUnit.h"

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

void TForm1::ArmCall() {
  const int seconds = CallSeconds(CallSecondsAsked, call_wire::PlanFromToken(Result.Sequence.Token));
  if (seconds > 0 && !Call->Started()) callDueUs_ = SteadyUs() + kCallDelayUs;
}

bool TForm1::CallPending() const { return callDueUs_.has_value() && !callWritten_; }

int TForm1::CallSecondsLeft() const {
  if (!CallPending()) return 0;
  const int seconds = CallSeconds(CallSecondsAsked, call_wire::PlanFromToken(Result.Sequence.Token));
  const int64_t endsBy = Call->SendingDone() ? Call->SendingEndedUs() + kReportWaitUs
                         : Call->Started()  ? SteadyUs() + (seconds * 1'000'000LL) + kReportWaitUs  // at most
                                            : *callDueUs_ + seconds * 1'000'000LL + kReportWaitUs;
  return static_cast<int>(std::max<int64_t>(0, (endsBy - SteadyUs() + 999'999) / 1'000'000));
}

void TForm1::CallStep() {
  if (!CallPending() || Stopped) return;
  const int64_t now = SteadyUs();
  if (!Call->Started()) {
    if (now < *callDueUs_ || (RtpCount > 0 && now < *callDueUs_ + kBurstWaitUs)) return;
    const auto plan = call_wire::PlanFromToken(Result.Sequence.Token);
    const TIdStackSocketHandle fd = IdRTP5004->Bindings()[0].Handle();
    const std::string host = ServerAddress.empty() ? ServerHost : ServerAddress;
    const int port = plan->RtpPort;
    callBurstCame_ = Result.RtpPackets > 0;
    Call->Start([fd, host, port](const std::string& bytes) {
                  // A send that fails is a packet lost on this computer's side.
                  SocketStack->SockSendTo(fd, bytes.data(), static_cast<int>(bytes.size()), 0, host, port);
                },
                host, Result.Sequence.Token, CallSeconds(CallSecondsAsked, plan));
    Line(TPane::Rtp, "Test call: " + std::to_string(Call->Seconds()) + " s of audio from port " +
                         std::to_string(RtpPort) + " to the server and back...");
    return;
  }
  if (!Call->SendingDone()) return;
  // The report follows the echoes of the NAT session test that may still be on their way.
  try {
    for (int i = 0; i < kFramesPerStep && !callReport_ && !callReportUnreadable_; ++i) {
      const std::string frame = Scramble(IdTCPClient1->ReadLine(EchoTerminator(), 1, -1));
      if (frame.empty()) break;
      callReport_ = call_wire::ParseReport(frame);
      callReportUnreadable_ = !callReport_ && call_wire::IsReportText(frame);
    }
  } catch (...) {
    // The connection is gone: no report will come.
    FinishCall();
    return;
  }
  if (callReport_ || callReportUnreadable_ || now >= Call->SendingEndedUs() + kReportWaitUs) FinishCall();
}

void TForm1::FinishCall() {
  if (callWritten_) return;
  const bool stopped = Result.End == TRunEnd::Stopped;
  if (!Call->Started()) {
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
  Call->Stop();
  callWritten_ = true;
  // Without the report, "nothing reached the server" holds only after a whole call and the wait.
  const bool whole = Call->Sent() >= Call->Seconds() * call_wire::kPacketsPerSecond &&
                     SteadyUs() >= Call->SendingEndedUs() + kReportWaitUs;
  Result.Call = Call->Result({callReport_, callReportUnreadable_, stopped, whole, RtpPort, callBurstCame_});
  for (const std::string& line : CallLines(*Result.Call)) Line(TPane::Rtp, line);
  ShowCallChart(*this, *Result.Call);
}
