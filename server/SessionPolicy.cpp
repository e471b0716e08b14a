#include "server/SessionPolicy.h"

#include <algorithm>

// ---- Budgets -----------------------------------------------------------------------------------

bool TTokenBucket::Take(double rate, double burst, TServerTime now) {
  const double elapsed = std::chrono::duration<double>(now - Last).count();
  Tokens = std::min(burst, Tokens + elapsed * rate);
  Last = now;
  if (Tokens < 1) return false;
  Tokens -= 1;
  return true;
}

bool TTokenBucket::Full(double rate, double burst, TServerTime now) const {
  const double elapsed = std::chrono::duration<double>(now - Last).count();
  return Tokens + elapsed * rate >= burst;
}

bool TDatagramLimiter::Allow(uint32_t address, TServerTime now) {
  auto it = index_.find(address);
  if (it != index_.end()) {
    byUse_.splice(byUse_.begin(), byUse_, it->second);
  } else {
    if (index_.size() >= capacity_ && !byUse_.empty()) {
      index_.erase(byUse_.back().Address);
      byUse_.pop_back();
    }
    byUse_.push_front({address, {burst_, now}});
    it = index_.emplace(address, byUse_.begin()).first;
  }
  return it->second->Bucket.Take(rate_, burst_, now);
}

void TDatagramLimiter::ForgetFull(TServerTime now) {
  for (auto it = byUse_.begin(); it != byUse_.end();) {
    if (it->Bucket.Full(rate_, burst_, now)) {
      index_.erase(it->Address);
      it = byUse_.erase(it);
    } else {
      ++it;
    }
  }
}

bool TSessionBudget::Take(bool natInvite, uint16_t port, TServerTime now) {
  if (natInvite) {
    const int n = ++natInvites_[port];
    if (n > 1 && n <= kNatInvitesAsOne) return true;  // the first one paid for the port's six
  }
  return bucket_.Take(rate_, burst_, now);
}

// ---- The test call ----------------------------------------------------------------------------

TCallStep CallStep(int received, int sent, TServerTime now, TServerTime first, TServerTime latest,
                   int maxSeconds) {
  if (now >= latest + std::chrono::milliseconds(kCallSilenceMs) ||
      now >= first + std::chrono::seconds(maxSeconds) + std::chrono::milliseconds(kCallGraceMs))
    return TCallStep::End;
  return sent < received ? TCallStep::Send : TCallStep::Skip;
}

namespace {

size_t CountOf(const std::unordered_map<uint32_t, size_t>& counts, uint32_t key) {
  auto it = counts.find(key);
  return it == counts.end() ? 0 : it->second;
}

void Lower(std::unordered_map<uint32_t, size_t>& counts, uint32_t key) {
  if (auto it = counts.find(key); it != counts.end() && --it->second == 0) counts.erase(it);
}

}  // namespace

bool TCallShare::Take(uint32_t address) {
  if (size_ >= total_ || FromNetwork(address) >= perNetwork_ || FromAddress(address) >= perAddress_) return false;
  ++size_;
  ++byNetwork_[address & mask_];
  ++byAddress_[address];
  return true;
}

void TCallShare::Give(uint32_t address) {
  if (FromAddress(address) == 0) return;
  --size_;
  Lower(byNetwork_, address & mask_);
  Lower(byAddress_, address);
}

size_t TCallShare::FromNetwork(uint32_t address) const { return CountOf(byNetwork_, address & mask_); }
size_t TCallShare::FromAddress(uint32_t address) const { return CountOf(byAddress_, address); }

// ---- Admission ---------------------------------------------------------------------------------

TAdmission::TVerdict TAdmission::Decide(uint32_t address) const {
  if (perAddress_ > 0 && FromAddress(address) >= perAddress_) return {};
  if (members_.size() < capacity_) return {true, std::nullopt};
  if (order_.empty()) return {};
  const TNetKey& fullest = *order_.begin();
  if (fullest.Count <= FromNetwork(address)) return {};
  return {true, fullest.Oldest.second};
}

void TAdmission::Unlist(uint32_t net) {
  auto it = nets_.find(net);
  if (it != nets_.end() && !it->second.Takeable.empty())
    order_.erase({it->second.Count, *it->second.Takeable.begin(), net});
}

void TAdmission::List(uint32_t net) {
  auto it = nets_.find(net);
  if (it == nets_.end()) return;
  if (it->second.Count == 0)
    nets_.erase(it);
  else if (!it->second.Takeable.empty())
    order_.insert({it->second.Count, *it->second.Takeable.begin(), net});
}

void TAdmission::Add(TId id, uint32_t address, TServerTime now) {
  if (members_.count(id)) return;
  const uint32_t net = Network(address);
  Unlist(net);
  TNet& n = nets_[net];
  ++n.Count;
  n.Takeable.insert({now, id});
  List(net);
  members_.emplace(id, TMember{address, now});
  ++perAddressCount_[address];
}

bool TAdmission::Protect(TId id, bool want) {
  auto it = members_.find(id);
  if (it == members_.end()) return false;
  TMember& m = it->second;
  if (m.Protected == want) return want;
  const uint32_t net = Network(m.Address);
  TNet& n = nets_[net];
  if (want && n.Protected >= protectedPerNet_) return false;
  Unlist(net);
  if (want) {
    n.Takeable.erase({m.Since, id});
    ++n.Protected;
  } else {
    n.Takeable.insert({m.Since, id});
    --n.Protected;
  }
  m.Protected = want;
  List(net);
  return want;
}

void TAdmission::Remove(TId id) {
  auto it = members_.find(id);
  if (it == members_.end()) return;
  const TMember m = it->second;
  const uint32_t net = Network(m.Address);
  Unlist(net);
  TNet& n = nets_[net];
  --n.Count;
  if (m.Protected)
    --n.Protected;
  else
    n.Takeable.erase({m.Since, id});
  List(net);
  members_.erase(it);
  if (auto a = perAddressCount_.find(m.Address); a != perAddressCount_.end() && --a->second == 0)
    perAddressCount_.erase(a);
}

bool TAdmission::AddSipTcp(uint32_t address) {
  size_t& open = sipTcp_[address];
  if (open >= kSipTcpPerPlace * FromAddress(address)) {
    if (open == 0) sipTcp_.erase(address);
    return false;
  }
  ++open;
  return true;
}

void TAdmission::RemoveSipTcp(uint32_t address) {
  if (auto it = sipTcp_.find(address); it != sipTcp_.end() && --it->second == 0) sipTcp_.erase(it);
}

size_t TAdmission::FromAddress(uint32_t address) const {
  auto it = perAddressCount_.find(address);
  return it == perAddressCount_.end() ? 0 : it->second;
}

size_t TAdmission::FromNetwork(uint32_t address) const {
  auto it = nets_.find(Network(address));
  return it == nets_.end() ? 0 : it->second.Count;
}

// ---- Life of a control session ------------------------------------------------------------------

void TSessionLife::OnDatagram(std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now) {
  OnCheck(false, inviteAndPort, now);
}

void TSessionLife::OnTcpMessage(std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now) {
  OnCheck(true, inviteAndPort, now);
}

void TSessionLife::OnCheck(bool tcp, std::optional<std::pair<bool, uint16_t>> inviteAndPort, TServerTime now) {
  probed_ = true;
  if (!inviteAndPort || checksOver_) return;
  (tcp ? tcpChecks_ : checks_).insert(*inviteAndPort);
  if (checks_.size() >= s_.CheckKinds) checksThrough_ = true;
  if (checks_.size() >= s_.CheckKinds && tcpChecks_.size() >= s_.TcpCheckKinds) {
    checksOver_ = true;
    checksEnd_ = std::min(checksEnd_, now + Ms(s_.AfterChecksMs + s_.LargeSipMs));
  }
}

void TSessionLife::OnNatRunStarted(uint16_t port, int firstGapMs, TServerTime now) {
  probed_ = true;
  nat_[port] = {now + Ms(firstGapMs) + Ms(s_.CountdownMs), false};
}

void TSessionLife::OnReport(uint16_t port, std::optional<int> nextMs, TServerTime now) {
  auto it = nat_.find(port);
  if (it == nat_.end()) return;
  TPort& p = it->second;
  if (nextMs) {
    p.CountdownEnd = now + Ms(*nextMs) + Ms(s_.CountdownMs);
  } else {
    // The port's last: the countdown the one before it set still runs.
    p.Done = true;
    p.CountdownEnd = std::max(p.CountdownEnd, now);
  }
}

void TSessionLife::OnTimeoutDue(TServerTime due) {
  timeoutEnd_ = std::max(timeoutEnd_.value_or(due), due + Ms(s_.CountdownMs));
  timeoutOpen_ = true;
}

void TSessionLife::OnTimeoutDone(TServerTime now) {
  if (timeoutEnd_) timeoutEnd_ = std::min(*timeoutEnd_, now + Ms(s_.CountdownMs));
  timeoutOpen_ = false;
}

TServerTime TSessionLife::Deadline() const {
  TServerTime end = greeted_;
  if (!nat_.empty()) {
    end = nat_.begin()->second.CountdownEnd;
    for (const auto& [port, p] : nat_) end = std::max(end, p.CountdownEnd);
    end += Ms(s_.MarginMs);
  } else if (!probed_) {
    end = std::min(checksEnd_, greeted_ + Ms(s_.FirstProbeMs));
  } else {
    end = checksEnd_;
  }
  if (timeoutEnd_) end = std::max(end, *timeoutEnd_ + Ms(s_.MarginMs));
  if (callEnd_) end = std::max(end, *callEnd_ + Ms(s_.MarginMs));
  return end;
}

bool TSessionLife::Finished() const {
  if (timeoutOpen_) return false;
  if (!nat_.empty())
    return std::all_of(nat_.begin(), nat_.end(), [](const auto& p) { return p.second.Done; });
  return checksOver_;
}

TServerTime TSessionLife::ProtectedUntil() const {
  if (checksThrough_ && (!nat_.empty() || timeoutEnd_ || callEnd_)) return std::max(checksEnd_, Deadline());
  // The time of the large SIP checks lengthens a session's life, not its protection.
  return std::min(checksEnd_ - Ms(s_.LargeSipMs), Deadline());
}

const char* TSessionLife::Why() const {
  if (timeoutEnd_ && nat_.empty()) return timeoutOpen_ ? "NAT time-out test overdue" : "NAT time-out test over";
  if (!nat_.empty())
    return Finished() ? "NAT test and the tester's countdown over"
                                       : "NAT report overdue, the tester's countdown over";
  if (!probed_) return "no probe after the token";
  return checksOver_ ? "no NAT test after the checks" : "checks not done in time";
}

// ---- Rationed logs -----------------------------------------------------------------------------

void TLogTally::Count(TTallied kind, uint32_t address) {
  TKind& k = kinds_[static_cast<int>(kind)];
  ++k.Count;
  if (k.Networks.size() < max_) k.Networks.insert(address & mask_);
}

std::vector<std::string> TLogTally::Flush(const std::string& period) {
  static const char* const what[][3] = {{"session", "sessions", " ended without a probe"},
                                        {"HTTP connection", "HTTP connections", " ended without a good answer"},
                                        {"connection", "connections", " closed to make room"},
                                        {"tester's line", "testers' lines", " not logged one by one"}};
  std::vector<std::string> lines;
  for (int i = 0; i < 4; ++i) {
    TKind& k = kinds_[i];
    if (k.Count == 0) continue;
    const size_t n = k.Networks.size();
    lines.push_back(Thousands(k.Count) + " " + what[i][k.Count == 1 ? 0 : 1] + " from " + Thousands(n) +
                    (n >= max_ ? "+" : "") + (n == 1 ? " network" : " networks") + what[i][2] + " in the last " +
                    period);
    k = TKind{};
  }
  return lines;
}

std::string Thousands(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}
