#include "probes/CallTest.h"

#include <algorithm>
#include <chrono>
#include <random>

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int CallSeconds(int asked, const std::optional<call_wire::TPlan>& plan) {
  if (!plan || asked <= 0) return 0;
  return std::min(asked, plan->MaxSeconds);
}

TBackgroundCall::~TBackgroundCall() { Stop(); }

void TBackgroundCall::Stop() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
  if (started_ && !sendingDone_) {
    sendingEndedUs_ = SteadyUs();
    sendingDone_ = true;
  }
}

void TBackgroundCall::Reset() {
  Stop();
  std::lock_guard<std::mutex> g(lock_);
  taking_ = false;
  started_ = false;
  sendingDone_ = false;
}

void TBackgroundCall::Start(TSend send, const std::string& serverAddress, const std::string& token, int seconds) {
  Stop();
  {
    std::lock_guard<std::mutex> g(lock_);
    server_ = serverAddress;
    token_ = token;
    taking_ = true;
    down_ = call_wire::TStreamReceiver();
    rttMs_.clear();
  }
  cancel_ = false;
  sendingDone_ = false;
  sent_ = 0;
  seconds_ = seconds;
  started_ = true;
  thread_ = std::thread([this, send = std::move(send), seconds] { Send(send, seconds); });
}

void TBackgroundCall::Send(TSend send, int seconds) {
  const uint32_t random = static_cast<uint32_t>(std::random_device{}());
  call_wire::TPacket p;
  p.Ssrc = static_cast<uint32_t>(std::random_device{}());
  p.Seq = static_cast<uint16_t>(random);
  p.Timestamp = random * 7919u;
  p.Marker = true;
  p.Token = token_;  // set before the thread began
  const int packets = seconds * call_wire::kPacketsPerSecond;
  const auto start = std::chrono::steady_clock::now();
  try {
    for (int i = 0; i < packets && !cancel_; ++i) {
      // On a fixed schedule: a late packet does not push the later ones back.
      std::this_thread::sleep_until(start + std::chrono::milliseconds(i * call_wire::kPacketMs));
      if (cancel_) break;
      p.Index = static_cast<uint32_t>(i);
      p.TimeUs = static_cast<uint64_t>(SteadyUs());
      send(call_wire::PacketBytes(p));
      ++sent_;
      p.Marker = false;
      ++p.Seq;
      p.Timestamp += call_wire::kTimestampStep;
    }
  } catch (...) {
    // A send that fails (the socket closed, no route): the call ends with what went out.
  }
  sendingEndedUs_ = SteadyUs();
  sendingDone_ = true;
}

bool TBackgroundCall::Take(std::string_view datagram, const std::string& fromIp, int64_t arrivalUs) {
  std::lock_guard<std::mutex> g(lock_);
  if (!taking_ || fromIp != server_) return false;
  const auto p = call_wire::ParsePacket(datagram);
  if (!p || p->Token != token_) return false;
  down_.Take(p->Index, p->Timestamp, arrivalUs);
  // The server echoes the send time of our latest packet and how long it held it.
  if (p->TimeUs > 0) {
    const int64_t rttUs = arrivalUs - static_cast<int64_t>(p->TimeUs) - static_cast<int64_t>(p->HoldUs);
    if (rttUs >= 0 && rttUs < 60'000'000) rttMs_.push_back(rttUs / 1000.0);
  }
  return true;
}

int TBackgroundCall::ReceivedSoFar() const {
  std::lock_guard<std::mutex> g(lock_);
  return down_.Received();
}

TCallResult TBackgroundCall::Result(const TEnd& e) const {
  std::lock_guard<std::mutex> g(lock_);
  TCallResult c;
  c.Seconds = seconds_;
  c.Port = e.Port;
  c.BurstCame = e.BurstCame;
  c.Started = true;
  const bool busy = e.Report && e.Report->Busy;
  std::optional<std::string> fault;
  if (e.Unreadable)
    fault = "it does not read";
  else if (e.Report && !busy)
    fault = CallReportFault(*e.Report, sent_, down_.Received(), seconds_);
  const bool usable = e.Report && !busy && !fault;
  c.ReportFault = fault.value_or("");
  c.NoReport = !e.Report && !e.Unreadable;
  c.NotTested = CallNotTestedOf({true, true, e.Stopped, busy, usable, fault.has_value(), e.Whole, down_.Received()});
  if (busy) return c;
  const auto rtt = RttFigures(rttMs_);
  if (rtt) {
    c.RttMedianMs = rtt->first;
    c.RttP95Ms = rtt->second;
  }
  const double rttMs = rtt ? rtt->first : 0;
  // Sending is told from the report with this computer's own count of what it sent.
  if (usable && e.Report->Received > 0)
    c.Up = CallDirection(e.Report->Map, sent_, e.Report->JitterUs, e.Report->JitterBySecondUs, rttMs);
  if (usable && e.Report->Sent > 0)
    c.Down = CallDirection(down_.Map(), e.Report->Sent, down_.JitterUs(), down_.JitterBySecondUs(), rttMs);
  else if (down_.Received() > 0)  // audio came, without a report to say how much left
    c.Down = CallDirection(down_.Map(), static_cast<int>(down_.Map().size()), down_.JitterUs(),
                           down_.JitterBySecondUs(), rttMs);
  if (down_.Received() > 0)
    c.Audio = TCallAudio::BothWays;
  else if (c.Up)
    c.Audio = TCallAudio::OneWayOut;
  else
    c.Audio = TCallAudio::None;
  return c;
}

TCallResult CallNotBegun(TCallNotTested why, int seconds, int port) {
  TCallResult c;
  c.Seconds = seconds;
  c.Port = port;
  c.NotTested = why;
  return c;
}
