#include "probes/NatTimeoutTest.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using nat_timeout::TKind;

constexpr int kSlice = 100;           // the longest single wait, so that a cancel is seen soon
constexpr int kNewResendMs = 600;     // a new mapping's request again while unanswered, within 2 s
constexpr int kNewSends = 3;
constexpr int kBusyGapMs = 1500;      // a busy mapping's exchanges, 1.5 s apart,
constexpr int kBusySends = 6;         // at most this many (all within the server's 10 s)
constexpr int kAnswerWaitMs = 1500;   // after the last warm-up request
constexpr int kEarlySlackMs = 300;    // an idle datagram this much sooner than due still counts
constexpr int kMaxWakes = 100000;

struct TMapping {
  int Number = 0;  // on the wire; the socket is Number - 1
  TKind Kind = TKind::New;
  int IdleSecs = 0;
  std::vector<int64_t> SentAt;    // per request, by seq - 1
  std::vector<bool> Answered;     // likewise
  size_t AnsweredBytes = 0;       // of the requests answered
  int64_t NextSendAt = 0;
};

TIdleMapping IdleMapping(int secs, bool busy) {
  TIdleMapping m;
  m.IdleSecs = secs;
  m.Busy = busy;
  return m;
}

bool AnyAnswered(const TMapping& m) { return std::find(m.Answered.begin(), m.Answered.end(), true) != m.Answered.end(); }

bool BusyHeld(const TMapping& m, bool lastAnswered) { return BusyWarmUpHeld(m.SentAt, m.Answered, lastAnswered); }

}  // namespace

bool BusyWarmUpHeld(const std::vector<int64_t>& sentAtMs, const std::vector<bool>& answered, bool lastAnswered) {
  if (answered.empty() || answered.size() != sentAtMs.size() || (lastAnswered && !answered.back())) return false;
  int64_t lastAnsweredAt = 0;
  for (size_t i = 0; i < answered.size(); ++i)
    if (answered[i]) lastAnsweredAt = sentAtMs[i];
  for (size_t i = 0; i < answered.size(); ++i)
    if (answered[i] && lastAnsweredAt - sentAtMs[i] > kBusySpanMs) return true;
  return false;
}

int RefreshPaidFor(const nat_timeout::TPlan& plan, size_t answeredBytes, int requests, size_t replyBytes) {
  const int planned = nat_timeout::RefreshDatagrams(plan);
  if (plan.Port == 0) return planned;  // an older server asks nothing
  const long long credit = static_cast<long long>(nat_timeout::kPayFactor) * static_cast<long long>(answeredBytes) -
                           static_cast<long long>(requests) * static_cast<long long>(replyBytes);
  return static_cast<int>(std::clamp<long long>(credit / static_cast<long long>(replyBytes), 0, planned));
}

TTimeoutRequestSizes TimeoutRequestSizes(const nat_timeout::TPlan& plan, const std::string& token) {
  TTimeoutRequestSizes z;
  z.Reply = nat_timeout::ReplyText({token, 9999, false, 0, 999999999}).size();
  if (plan.Port == 0) return z;  // an older server: no pad, it would not read one
  // A new mapping's one request pays for its answer and the copies; a refresh mapping's two
  // answered ones for every refresh datagram and the answers to all its requests.
  const size_t pay = nat_timeout::kPayFactor;
  z.Idle = ((1 + nat_timeout::kIdleCopies) * z.Reply + pay - 1) / pay;
  z.Refresh = std::max(nat_timeout::kMinRefreshRequestBytes,
                       ((nat_timeout::RefreshDatagrams(plan) + kBusySends) * z.Reply + 2 * pay - 1) / (2 * pay));
  return z;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void RunNatTimeoutTest(TStunSockets& sockets, const stun::TEndpoint& server, const std::string& token,
                       const nat_timeout::TPlan& plan, const std::atomic<bool>* cancel,
                       const std::function<int64_t()>& now, const std::function<void(const TTimeoutState&)>& progress) {
  // The refresh mapping first, then the shortest idle times: their answers come first.
  std::vector<TMapping> maps;
  auto add = [&](TKind kind, int secs) {
    TMapping m;
    m.Number = static_cast<int>(maps.size()) + 1;
    m.Kind = kind;
    m.IdleSecs = secs;
    maps.push_back(m);
  };
  add(TKind::Refresh, 0);
  for (int secs : plan.IdleSecs) add(TKind::New, secs), add(TKind::Busy, secs);
  const int64_t start = now();
  for (size_t i = 0; i < maps.size(); ++i) maps[i].NextSendAt = start + static_cast<int64_t>(i) * kNewMappingGapMs;
  const TTimeoutRequestSizes sizes = TimeoutRequestSizes(plan, token);

  TTimeoutObservations o;
  o.RefreshSecs = plan.RefreshSecs;
  o.RefreshPaid = nat_timeout::RefreshDatagrams(plan);
  for (const TMapping& m : maps)
    if (m.Kind != TKind::Refresh) o.Idle.push_back(IdleMapping(m.IdleSecs, m.Kind == TKind::Busy));
  // The observation of an idle mapping: index in o.Idle (mappings 2.. in order).
  auto idle = [&](const TMapping& m) -> TIdleMapping& { return o.Idle[static_cast<size_t>(m.Number - 2)]; };
  auto warmed = [&](const TMapping& m) -> std::optional<int64_t>& {
    return m.Kind == TKind::Refresh ? o.RefreshWarmedAtMs : idle(m).WarmedAtMs;
  };
  auto failed = [&](const TMapping& m) -> bool& {
    return m.Kind == TKind::Refresh ? o.RefreshWarmFailed : idle(m).WarmFailed;
  };
  auto paid = [&](const TMapping& m) {
    return RefreshPaidFor(plan, m.AnsweredBytes, static_cast<int>(m.SentAt.size()), sizes.Reply);
  };
  // Whether its warm-up holds: new once answered; busy once answered both ways over more than
  // 2 s; the refresh mapping also once the server owes it every refresh datagram.
  auto held = [&](const TMapping& m) {
    if (m.Kind == TKind::New) return AnyAnswered(m);
    return BusyHeld(m, true) && (m.Kind == TKind::Busy || paid(m) >= nat_timeout::RefreshDatagrams(plan));
  };

  for (int wakes = 0; wakes < kMaxWakes; ++wakes) {
    if (cancel && *cancel) return;
    const int64_t t = now();
    int64_t next = t + kSlice;
    for (TMapping& m : maps) {
      if (warmed(m) || failed(m)) continue;
      const int sends = static_cast<int>(m.SentAt.size());
      const int most = m.Kind == TKind::New ? kNewSends : kBusySends;
      if (held(m)) {
        warmed(m) = m.SentAt.back();
        if (m.Kind == TKind::Refresh) o.RefreshPaid = paid(m);
        continue;
      }
      const int64_t lastAt = sends > 0 ? m.SentAt.back() : t;
      if (sends < most && m.NextSendAt <= t) {
        nat_timeout::TRequest r{token, m.Number, m.Kind, m.IdleSecs, sends + 1};
        const std::string text =
            nat_timeout::RequestText(nat_timeout::PaddedTo(r, m.Kind == TKind::Refresh ? sizes.Refresh : sizes.Idle));
        sockets.Send(m.Number - 1, server, text);
        m.SentAt.push_back(t);
        m.Answered.push_back(false);
        m.NextSendAt = t + (m.Kind == TKind::New ? kNewResendMs : kBusyGapMs);
      } else if (sends >= most && t >= lastAt + kAnswerWaitMs) {
        // No requests left: busy on what was answered, else the mapping says nothing.
        if (m.Kind != TKind::New && BusyHeld(m, false)) {
          warmed(m) = m.SentAt.back();
          if (m.Kind == TKind::Refresh) o.RefreshPaid = paid(m);
        } else {
          failed(m) = true;
        }
        continue;
      }
      next = std::min(next, static_cast<int>(m.SentAt.size()) < most ? m.NextSendAt : lastAt + kAnswerWaitMs);
    }
    if (const auto d = sockets.Receive(static_cast<int>(std::clamp<int64_t>(next - t, 1, kSlice)))) {
      const auto reply = nat_timeout::ParseReply(d->Bytes);
      // Only on the socket it belongs to, from the server, with the run's token.
      if (reply && reply->Token == token && reply->Mapping == d->Socket + 1 && d->From == server &&
          static_cast<size_t>(reply->Mapping) <= maps.size()) {
        TMapping& m = maps[static_cast<size_t>(reply->Mapping - 1)];
        const size_t seq = static_cast<size_t>(reply->Seq);
        if (reply->Answer && seq >= 1 && seq <= m.SentAt.size() && !m.Answered[seq - 1]) {
          m.Answered[seq - 1] = true;
          nat_timeout::TRequest r{token, m.Number, m.Kind, m.IdleSecs, reply->Seq};
          m.AnsweredBytes +=
              nat_timeout::RequestText(nat_timeout::PaddedTo(r, m.Kind == TKind::Refresh ? sizes.Refresh : sizes.Idle))
                  .size();
        } else if (!reply->Answer && m.Kind == TKind::Refresh) {
          if (warmed(m)) o.RefreshAgesMs.push_back(reply->AfterMs);
        } else if (!reply->Answer && warmed(m) && !idle(m).Came) {
          // It proves the idle time only when it came that long after this side's last datagram
          // (a request lost on the way would have started the server's silence sooner).
          if (now() - *warmed(m) >= int64_t{m.IdleSecs} * 1000 - kEarlySlackMs) {
            idle(m).Came = true;
            idle(m).Void = false;
          } else {
            idle(m).Void = true;
          }
        }
      }
    }
    // Time alone settles a mapping (its datagram is overdue): decide on every wake.
    TTimeoutState s = DecideNatTimeout(o, now());
    s.Result.Port = server.Port;
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
    none.RefreshPaid = nat_timeout::RefreshDatagrams(*plan);
    for (int s : plan->IdleSecs) none.Idle.push_back(IdleMapping(s, false)), none.Idle.push_back(IdleMapping(s, true));
    const TTimeoutState s = DecideNatTimeout(none, SteadyMs());
    progress_.EndsByMs = s.EndsByMs;
    progress_.Result = s.Result;
    progress_.Result.Port = plan->Port != 0 ? plan->Port : port;
  }
  thread_ = std::thread([this, localIp, serverAddress, port, token, plan = *plan] {
    try {
      TStunSockets sockets(localIp, 1 + 2 * static_cast<int>(plan.IdleSecs.size()));
      // A server with a port of its own for the test names it; an older one takes it on its SIP port.
      const stun::TEndpoint to{StunAddressOf(serverAddress), plan.Port != 0 ? plan.Port : port};
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
