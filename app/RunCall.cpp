// The window's side of the test call: when it starts, the server's report on the control
// connection, and the call's lines and chart once it is over or the run ends.
#include <algorithm>

#include "app/CallChart.h"
#include "app/Unit_1_client.h"
#include "app/XorUnit.h"

namespace {

// After the checks: the server's unprompted audio (a second or so) is over by then, so the call's
// own packets, which open the router for what comes back, do not let the rest of it in.
constexpr int64_t kCallDelayUs = 2'000'000;
// After the last packet: the server reports 1 s after the stream stopped.
constexpr int64_t kReportWaitUs = 4'000'000;
constexpr int kFramesPerStep = 64;

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
    if (now < *callDueUs_) return;
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
    for (int i = 0; i < kFramesPerStep && !callReport_; ++i) {
      const std::string frame = Scramble(IdTCPClient1->ReadLine(EchoTerminator(), 1, -1));
      if (frame.empty()) break;
      callReport_ = call_wire::ParseReport(frame);
    }
  } catch (...) {
    // The connection is gone: no report will come.
    FinishCall();
    return;
  }
  if (callReport_ || now >= Call->SendingEndedUs() + kReportWaitUs) FinishCall();
}

void TForm1::FinishCall() {
  if (!Call->Started() || callWritten_) {
    callDueUs_.reset();  // a call not begun by the end of the run is not one
    return;
  }
  Call->Stop();
  callWritten_ = true;
  Result.Call = Call->Result(callReport_, RtpPort, callBurstCame_);
  // Without the report, "nothing reached the server" holds only after a whole call and the wait.
  const bool whole = Call->Sent() >= Call->Seconds() * call_wire::kPacketsPerSecond &&
                     SteadyUs() >= Call->SendingEndedUs() + kReportWaitUs;
  if (!callReport_ && !whole) Result.Call->Cut = true;
  for (const std::string& line : CallLines(*Result.Call)) Line(TPane::Rtp, line);
  ShowCallChart(*this, *Result.Call);
}
