#include "server/TimeoutMappings.h"

#include <algorithm>

namespace {

using nat_timeout::TKind;

std::chrono::milliseconds Ms(long long ms) { return std::chrono::milliseconds(ms); }

}  // namespace

int TTimeoutMappings::RefreshDatagrams() const {
  // The server's own plan: its port is not needed here, only that it has one.
  return nat_timeout::RefreshDatagrams({*idle_, refreshSecs_, 1});
}

std::optional<TTimeoutSend> TTimeoutMappings::Take(const nat_timeout::TRequest& r, size_t size, const TUdpPeer& from,
                                                   uint32_t local, uint16_t serverPort, bool mayOpen,
                                                   TServerTime now) {
  const int kind = static_cast<int>(r.Kind);
  auto it = std::find_if(maps_.begin(), maps_.end(), [&](const TMapping& m) { return m.Number == r.Mapping; });
  if (it == maps_.end()) {
    const bool refresh = r.Kind == TKind::Refresh;
    if (!mayOpen || idle_->empty() || r.Mapping > INT16_MAX) return std::nullopt;
    if (!refresh && std::find(idle_->begin(), idle_->end(), r.IdleSecs) == idle_->end()) return std::nullopt;
    if (maps_.size() >= 2 * idle_->size() + 1) return std::nullopt;
    for (const TMapping& m : maps_)
      if (m.Kind == kind && m.IdleSecs == r.IdleSecs) return std::nullopt;  // claimed by another mapping
    TMapping m{};
    m.First = m.LastIn = now;
    m.Address = from.Address;
    m.Port = from.Port;
    m.Local = local;
    m.ServerPort = serverPort;
    m.Smallest = static_cast<uint16_t>(std::min(size, nat_timeout::kMaxRequestBytes));
    m.IdleSecs = static_cast<uint16_t>(r.IdleSecs);
    m.Number = static_cast<int16_t>(r.Mapping);
    m.Kind = static_cast<uint8_t>(kind);
    maps_.push_back(m);
    it = maps_.end() - 1;
  }
  TMapping& m = *it;
  // Only from where its first request came, to where it went; its kind and idle time as first
  // claimed; a refresh mapping only with requests that can pay for its datagrams.
  if (m.Address != from.Address || m.Port != from.Port || m.ServerPort != serverPort || m.Kind != kind ||
      m.IdleSecs != r.IdleSecs || m.Finished || m.Sent > 0 || m.Requests >= kTimeoutRequestsPerMapping ||
      now > m.First + Ms(kTimeoutWarmUpMs) || size > nat_timeout::kMaxRequestBytes ||
      (r.Kind == TKind::Refresh && size < nat_timeout::kMinRefreshRequestBytes)) {
    if (m.Requests == 0) maps_.erase(it);  // a mapping opened by a request it did not take
    return std::nullopt;
  }
  ++m.Requests;
  m.Credit += static_cast<uint32_t>(nat_timeout::kPayFactor * size);
  m.Smallest = std::min<uint16_t>(m.Smallest, static_cast<uint16_t>(size));
  m.LastIn = now;
  m.NextDue = now + std::chrono::seconds(r.Kind == TKind::Refresh ? refreshSecs_ : r.IdleSecs);
  return Spend(m, {r.Token, r.Mapping, true, r.Seq, 0});
}

std::optional<TTimeoutSend> TTimeoutMappings::Spend(TMapping& m, const nat_timeout::TReply& reply) {
  TTimeoutSend s{nat_timeout::ReplyText(reply), {m.Address, m.Port}, m.Local, m.ServerPort};
  if (s.Text.size() > m.Smallest || s.Text.size() > m.Credit) return std::nullopt;
  m.Credit -= static_cast<uint32_t>(s.Text.size());
  return s;
}

std::optional<TServerTime> TTimeoutMappings::NextDue() const {
  std::optional<TServerTime> next;
  for (const TMapping& m : maps_)
    if (!m.Finished && m.Requests > 0 && (!next || m.NextDue < *next)) next = m.NextDue;
  return next;
}

std::vector<TTimeoutSend> TTimeoutMappings::TakeDue(const std::string& token, TServerTime now) {
  std::vector<TTimeoutSend> out;
  const int refreshes = RefreshDatagrams();
  for (TMapping& m : maps_) {
    while (!m.Finished && m.Requests > 0 && m.NextDue <= now) {
      const long long silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - m.LastIn).count();
      if (auto s = Spend(m, {token, m.Number, false, 0, silent})) out.push_back(std::move(*s));
      ++m.Sent;
      if (m.Kind == static_cast<uint8_t>(TKind::Refresh)) {
        // One every gap from the last request, each on its own beat.
        m.NextDue = m.LastIn + std::chrono::seconds(int64_t{refreshSecs_} * (m.Sent + 1));
        m.Finished = m.Sent >= refreshes;
      } else {
        m.NextDue = m.NextDue + Ms(nat_timeout::kCopyGapMs);
        m.Finished = m.Sent >= nat_timeout::kIdleCopies;
      }
    }
  }
  return out;
}

TServerTime TTimeoutMappings::LastDueOf(const TMapping& m) const {
  if (m.Kind == static_cast<uint8_t>(TKind::Refresh))
    return m.LastIn + std::chrono::seconds(int64_t{refreshSecs_} * RefreshDatagrams());
  return m.LastIn + std::chrono::seconds(m.IdleSecs) + Ms(int64_t{nat_timeout::kCopyGapMs} * (nat_timeout::kIdleCopies - 1));
}

std::optional<TServerTime> TTimeoutMappings::LastDue() const {
  std::optional<TServerTime> last;
  for (const TMapping& m : maps_)
    if (m.Requests > 0 && (!last || LastDueOf(m) > *last)) last = LastDueOf(m);
  return last;
}

bool TTimeoutMappings::AllFinished() const {
  return std::all_of(maps_.begin(), maps_.end(), [](const TMapping& m) { return m.Finished; });
}
