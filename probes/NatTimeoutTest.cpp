#include "probes/NatTimeoutTest.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using nat_timeout::TKind;

constexpr int kSlice = 100;           // the longest single wait, so that a cancel is seen soon
constexpr int kNewResendMs = 600;     // a new mapping's request again while unanswered, within 2 s
constexpr int kNewSends = 3;
constexpr int kBusyGapMs = 1500;      // a busy mapping's exchanges: three, 1.5 s apart
constexpr int kBusySends = 3;
constexpr int kAnswerWaitMs = 1500;   // after the last warm-up request
constexpr int kMaxWakes = 100000;

struct TMapping {
  int Number = 0;  // on the wire; the socket is Number - 1
  TKind Kind = TKind::New;
  int IdleSecs = 0;
  int Sends = 0;
  int64_t NextSendAt = 0;
  int64_t LastSendAt = 0;
  bool Answered = false;
};

TIdleMapping IdleMapping(int secs, bool busy) {
  TIdleMapping m;
  m.IdleSecs = secs;
  m.Busy = busy;
  return m;
}

int Sends(TKind k) { return k == TKind::New ? kNewSends : kBusySends; }
int Gap(TKind k) { return k == TKind::New ? kNewResendMs : kBusyGapMs; }

}  // namespace

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void RunNatTimeoutTest(TStunSockets& sockets, const stun::TEndpoint& server, const std::string& token,
                       const nat_timeout::TPlan& plan, const std::atomic<bool>* cancel,
                       const std::function<int64_t()>& now, const std::function<void(const TTimeoutState&)>& progress) {
  // The refresh mapping first, then the shortest idle times: their answers come first.
  std::vector<TMapping> maps;
  maps.push_back({1, TKind::Refresh, 0});
  for (int secs : plan.IdleSecs) {
    maps.push_back({static_cast<int>(maps.size()) + 1, TKind::New, secs});
    maps.push_back({static_cast<int>(maps.size()) + 1, TKind::Busy, secs});
  }
  const int64_t start = now();
  for (size_t i = 0; i < maps.size(); ++i) maps[i].NextSendAt = start + static_cast<int64_t>(i) * kNewMappingGapMs;

  TTimeoutObservations o;
  o.RefreshSecs = plan.RefreshSecs;
  for (const TMapping& m : maps)
    if (m.Kind != TKind::Refresh) o.Idle.push_back(IdleMapping(m.IdleSecs, m.Kind == TKind::Busy));
  // The observation of an idle mapping: index in o.Idle (mappings 2.. in order).
  auto idle = [&](const TMapping& m) -> TIdleMapping& { return o.Idle[static_cast<size_t>(m.Number - 2)]; };
  auto warmFailed = [&](TMapping& m) {
    if (m.Kind == TKind::Refresh) o.RefreshWarmFailed = true; else idle(m).WarmFailed = true;
  };
  auto warmed = [&](const TMapping& m) {
    return m.Kind == TKind::Refresh ? o.RefreshWarmedAtMs.has_value() : idle(m).WarmedAtMs.has_value();
  };
  auto setWarmed = [&](const TMapping& m) {
    if (m.Kind == TKind::Refresh) o.RefreshWarmedAtMs = m.LastSendAt; else idle(m).WarmedAtMs = m.LastSendAt;
  };

  for (int wakes = 0; wakes < kMaxWakes; ++wakes) {
    if (cancel && *cancel) return;
    const int64_t t = now();
    int64_t next = t + kSlice;
    for (TMapping& m : maps) {
      const bool failed = m.Kind == TKind::Refresh ? o.RefreshWarmFailed : idle(m).WarmFailed;
      if (warmed(m) || failed) continue;
      const bool more = m.Sends < Sends(m.Kind) && !(m.Kind == TKind::New && m.Answered);
      if (more && m.NextSendAt <= t) {
        nat_timeout::TRequest r{token, m.Number, m.Kind, m.IdleSecs, m.Sends + 1};
        sockets.Send(m.Number - 1, server, nat_timeout::RequestText(r));
        ++m.Sends;
        m.LastSendAt = t;
        m.NextSendAt = t + Gap(m.Kind);
      } else if (!more && m.Answered) {
        setWarmed(m);
      } else if (!more && t >= m.LastSendAt + kAnswerWaitMs) {
        warmFailed(m);
      }
      if (!warmed(m)) next = std::min(next, more ? m.NextSendAt : m.LastSendAt + kAnswerWaitMs);
    }
    if (const auto d = sockets.Receive(static_cast<int>(std::clamp<int64_t>(next - t, 1, kSlice)))) {
      const auto reply = nat_timeout::ParseReply(d->Bytes);
      // Only on the socket it belongs to, from the server, with the run's token.
      if (reply && reply->Token == token && reply->Mapping == d->Socket + 1 && d->From == server &&
          static_cast<size_t>(reply->Mapping) <= maps.size()) {
        TMapping& m = maps[static_cast<size_t>(reply->Mapping - 1)];
        if (reply->Answer) {
          m.Answered = true;
        } else if (m.Kind == TKind::Refresh) {
          o.RefreshAgesMs.push_back(reply->AfterMs);
        } else if (warmed(m)) {
          idle(m).Came = true;
        }
      }
    }
    // Time alone settles a mapping (its datagram is overdue): decide on every wake.
    const TTimeoutState s = DecideNatTimeout(o, now());
    progress(s);
    if (s.Done) return;
  }
}

TBackgroundNatTimeout::~TBackgroundNatTimeout() { Stop(); }

void TBackgroundNatTimeout::Stop() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> g(lock_);
  progress_.Done = true;
}

void TBackgroundNatTimeout::Start(const std::string& localIp, const std::string& serverAddress, uint16_t port,
                                  const std::string& token) {
  const auto plan = nat_timeout::PlanFromToken(token);
  if (thread_.joinable() || !plan) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    progress_ = TNatTimeoutProgress();
    progress_.Started = true;
    TTimeoutObservations none;
    none.RefreshSecs = plan->RefreshSecs;
    for (int s : plan->IdleSecs) none.Idle.push_back(IdleMapping(s, false)), none.Idle.push_back(IdleMapping(s, true));
    const TTimeoutState s = DecideNatTimeout(none, SteadyMs());
    progress_.EndsByMs = s.EndsByMs;
    progress_.Result = s.Result;
  }
  thread_ = std::thread([this, localIp, serverAddress, port, token, plan = *plan] {
    try {
      TStunSockets sockets(localIp, 1 + 2 * static_cast<int>(plan.IdleSecs.size()));
      const stun::TEndpoint to{StunAddressOf(serverAddress), port};
      RunNatTimeoutTest(sockets, to, token, plan, &cancel_, SteadyMs, [this](const TTimeoutState& s) {
        std::lock_guard<std::mutex> g(lock_);
        progress_.Result = s.Result;
        progress_.EndsByMs = s.EndsByMs;
        progress_.Done = s.Done;
      });
    } catch (...) {
      // No socket or no address: the test has no answer; the run goes on without it.
    }
    std::lock_guard<std::mutex> g(lock_);
    progress_.Done = true;
  });
}

TNatTimeoutProgress TBackgroundNatTimeout::Progress() const {
  std::lock_guard<std::mutex> g(lock_);
  return progress_;
}
