#include "probes/NatDiscovery.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace {

// Resends after these gaps; then the transaction waits for the end of its phase.
constexpr int kResendMs[] = {300, 400};
constexpr int kSlice = 100;  // the longest single wait, so that a cancel is seen soon
constexpr int kMaxWakes = 10000;

struct TTransaction {
  int Socket = 0;
  stun::TEndpoint To;
  std::string Bytes;
  std::array<uint8_t, 16> Id{};
  bool SelfAddressed = false;  // a request to the own public address: it comes back as itself
  int Sends = 0;
  int64_t NextAt = 0;
  bool Done = false;
  std::optional<stun::TMessage> Answer;
};

class TExchanges {
 public:
  TExchanges(TStunSockets& sockets, const std::atomic<bool>* cancel, const std::function<int64_t()>& now)
      : sockets_(sockets), cancel_(cancel), now_(now), random_(std::random_device{}()) {}

  // A Binding request from socket to `to`; its index.
  size_t Add(int socket, const stun::TEndpoint& to, std::optional<uint32_t> change = std::nullopt,
             bool selfAddressed = false) {
    TTransaction t;
    t.Socket = socket;
    t.To = to;
    stun::TMessage m;
    m.Transaction = stun::NewTransaction(random_(), static_cast<uint32_t>(random_()));
    m.ChangeFlags = change;
    m.Fingerprint = true;
    t.Bytes = stun::Encode(m);
    t.Id = m.Transaction;
    t.SelfAddressed = selfAddressed;
    t.NextAt = now_();
    list_.push_back(std::move(t));
    return list_.size() - 1;
  }

  // Sends, resends and reads answers until every transaction is done or `ms` have passed.
  void Run(int ms) {
    const int64_t end = now_() + ms;
    for (int wakes = 0; wakes < kMaxWakes; ++wakes) {
      if (cancel_ && *cancel_) return;
      int64_t now = now_();
      int64_t next = end;
      bool open = false;
      for (TTransaction& t : list_) {
        if (t.Done) continue;
        open = true;
        if (t.NextAt <= now && t.NextAt < end) {
          sockets_.Send(t.Socket, t.To, t.Bytes);
          t.NextAt = t.Sends < static_cast<int>(std::size(kResendMs)) ? now + kResendMs[t.Sends] : end;
          ++t.Sends;
        }
        next = std::min(next, t.NextAt);
      }
      if (!open || now >= end) return;
      const auto d = sockets_.Receive(static_cast<int>(std::clamp<int64_t>(next - now, 1, kSlice)));
      if (d) Take(*d);
    }
  }

  const TTransaction& operator[](size_t i) const { return list_[i]; }
  // The mapped address of a transaction's success answer.
  std::optional<stun::TEndpoint> Mapped(size_t i) const {
    const auto& a = list_[i].Answer;
    if (!a || a->Class != stun::TClass::Success) return std::nullopt;
    return a->XorMapped ? a->XorMapped : a->Mapped;
  }
  // Whether a success answer came: nullopt when the server refused to answer so.
  std::optional<bool> Came(size_t i) const { return FilterAnswerCame(list_[i].Answer); }

 private:
  void Take(const TStunDatagram& d) {
    const auto m = stun::Parse(d.Bytes);
    if (!m) return;
    for (TTransaction& t : list_) {
      if (t.Done || t.Id != m->Transaction || t.Socket != d.Socket) continue;
      if (t.SelfAddressed ? m->Class != stun::TClass::Request : m->Class == stun::TClass::Request) continue;
      t.Done = true;
      t.Answer = *m;
    }
  }

  TStunSockets& sockets_;
  const std::atomic<bool>* cancel_;
  const std::function<int64_t()>& now_;
  std::mt19937_64 random_;
  std::vector<TTransaction> list_;
};

}  // namespace

TStunObservations DiscoverNat(TStunSockets& sockets, const stun::TEndpoint& server, const std::atomic<bool>* cancel,
                              const std::function<int64_t()>& now) {
  constexpr int kMap = 0, kFilter = 1;
  TStunObservations o;
  o.Server = server;
  o.Local = sockets.Local(kMap);
  TExchanges x(sockets, cancel, now);
  const size_t first = x.Add(kMap, server);
  const size_t filterFirst = x.Add(kFilter, server);
  x.Run(kStunFirstMs);
  o.Mapped = x.Mapped(first);
  if (!o.Mapped) return o;
  const auto& answer = *x[first].Answer;
  o.Other = answer.Other ? answer.Other : answer.Changed;
  const bool other = o.Other && o.Other->Port != 0;
  const bool oneAddress = other && o.Other->Address == server.Address;

  std::optional<size_t> toOtherAddress, toOtherBoth, filterBoth, filterPort;
  if (other && !oneAddress) {
    toOtherAddress = x.Add(kMap, {o.Other->Address, server.Port});
    toOtherBoth = x.Add(kMap, *o.Other);
  } else if (other) {
    toOtherAddress = x.Add(kMap, {server.Address, o.Other->Port});
  }
  if (other && x.Mapped(filterFirst)) {
    if (!oneAddress) filterBoth = x.Add(kFilter, server, stun::kChangeIp | stun::kChangePort);
    filterPort = x.Add(kFilter, server, stun::kChangePort);
  }
  const size_t hairpin = x.Add(kMap, *o.Mapped, std::nullopt, true);
  x.Run(kStunRestMs);
  if (cancel && *cancel) return o;
  if (toOtherAddress) o.MappedOtherAddress = x.Mapped(*toOtherAddress);
  if (toOtherBoth) o.MappedOtherBoth = x.Mapped(*toOtherBoth);
  if (filterBoth) o.FilterOtherBoth = x.Came(*filterBoth);
  if (filterPort) o.FilterOtherPort = x.Came(*filterPort);
  o.Hairpin = x[hairpin].Done;
  return o;
}

TBackgroundNatDiscovery::~TBackgroundNatDiscovery() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
}

void TBackgroundNatDiscovery::Start(const std::string& localIp, const std::string& server, uint16_t port) {
  if (thread_.joinable()) return;
  thread_ = std::thread([this, localIp, server, port] {
    try {
      TStunSockets sockets(localIp, 2);
      const stun::TEndpoint to{StunAddressOf(SocketStack->ResolveToAddress(server)), port};
      const std::function<int64_t()> now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      };
      const TStunObservations o = DiscoverNat(sockets, to, &cancel_, now);
      if (!cancel_) result_ = ClassifyNat(o);
    } catch (...) {
      // No socket or no address: the class stays unknown; the run goes on without it.
    }
    done_ = true;
  });
}

std::optional<TNatBehaviour> TBackgroundNatDiscovery::Result(const std::function<void(int)>& wait) {
  if (!thread_.joinable()) return std::nullopt;
  // Bounded: the exchanges end within kNatDiscoveryMs, a name's look-up aside.
  for (int i = 0; i < 400 && !done_; ++i) wait(25);
  if (!done_) return std::nullopt;
  return result_;
}
