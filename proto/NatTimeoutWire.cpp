#include "proto/NatTimeoutWire.h"

#include <algorithm>

#include "proto/WireText.h"

namespace nat_timeout {

namespace {

constexpr std::string_view kMagic = "NAT-TIMEOUT ";

std::optional<long long> Number(std::string_view s, size_t digits = 9) { return wire_text::Number(s, digits); }

// The blank-separated fields of one line ended by CR LF; nullopt without that end.
std::optional<std::vector<std::string_view>> Fields(std::string_view datagram) {
  if (datagram.size() < 2 || datagram.substr(datagram.size() - 2) != "\r\n") return std::nullopt;
  std::string_view line = datagram.substr(0, datagram.size() - 2);
  std::vector<std::string_view> fields;
  while (!line.empty() && fields.size() < 8) {
    const size_t blank = line.find(' ');
    fields.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) return fields;
    line.remove_prefix(blank + 1);
  }
  if (!line.empty()) return std::nullopt;  // too many fields, or a blank at the end
  return fields;
}

bool TokenText(std::string_view t) { return wire_text::TokenText(t); }

}  // namespace

int RefreshDatagrams(const TPlan& plan) {
  if (!ValidPlan(plan)) return 0;
  const int gaps = (plan.IdleSecs.back() + plan.RefreshSecs - 1) / plan.RefreshSecs;
  return gaps + (plan.Port != 0 ? kRefreshTailGaps : 0);
}

bool ValidPlan(const TPlan& plan) {
  if (plan.IdleSecs.empty() || plan.IdleSecs.size() > kMaxIdleTimes) return false;
  if (plan.RefreshSecs < 1 || plan.RefreshSecs > kMaxSecs) return false;
  int last = 0;
  for (int s : plan.IdleSecs) {
    if (s <= last || s < kMinIdleSecs || s > kMaxSecs) return false;
    last = s;
  }
  return true;
}

std::string PlanSuffix(const TPlan& plan) {
  if (!ValidPlan(plan)) return "";
  std::string s = plan.Port != 0 ? ".p" + std::to_string(plan.Port) + ".t" : ".t";
  for (size_t i = 0; i < plan.IdleSecs.size(); ++i) s += (i ? "-" : "") + std::to_string(plan.IdleSecs[i]);
  return s + ".r" + std::to_string(plan.RefreshSecs);
}

std::optional<TPlan> PlanFromToken(std::string_view token) {
  const size_t t = token.rfind(".t");
  if (t == std::string_view::npos) return std::nullopt;
  std::string_view rest = token.substr(t + 2);
  const size_t r = rest.find(".r");
  if (r == std::string_view::npos) return std::nullopt;
  const auto refresh = Number(rest.substr(r + 2), 4);
  if (!refresh) return std::nullopt;
  TPlan plan;
  plan.RefreshSecs = static_cast<int>(*refresh);
  std::string_view list = rest.substr(0, r);
  while (plan.IdleSecs.size() <= kMaxIdleTimes) {
    const size_t dash = list.find('-');
    const auto secs = Number(list.substr(0, dash), 4);
    if (!secs) return std::nullopt;
    plan.IdleSecs.push_back(static_cast<int>(*secs));
    if (dash == std::string_view::npos) break;
    list.remove_prefix(dash + 1);
  }
  // ".p<port>" right before ".t": the test's own port.
  const std::string_view before = token.substr(0, t);
  if (const size_t p = before.rfind(".p"); p != std::string_view::npos) {
    const auto port = Number(before.substr(p + 2), 5);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    plan.Port = static_cast<uint16_t>(*port);
  }
  if (!ValidPlan(plan)) return std::nullopt;
  return plan;
}

const char* KindName(TKind kind) {
  switch (kind) {
    case TKind::New: return "new";
    case TKind::Busy: return "busy";
    case TKind::Refresh: return "refresh";
  }
  return "";
}

std::string RequestText(const TRequest& r) {
  std::string text = std::string(kMagic) + r.Token + " " + std::to_string(r.Mapping) + " " + KindName(r.Kind) + " " +
                     std::to_string(r.IdleSecs) + " " + std::to_string(r.Seq) + " keep-alive";
  if (r.Pad > 0) text += " " + std::string(r.Pad, '.');
  return text + "\r\n";
}

TRequest PaddedTo(TRequest r, size_t bytes) {
  r.Pad = 0;
  const size_t bare = RequestText(r).size(), want = std::min(bytes, kMaxRequestBytes);
  if (want >= bare + 2) r.Pad = want - bare - 1;
  return r;
}

bool IsTimeoutDatagram(std::string_view datagram) { return datagram.substr(0, kMagic.size()) == kMagic; }

std::optional<TRequest> ParseRequest(std::string_view datagram) {
  const auto f = Fields(datagram);
  if (!f || f->size() < 7 || (*f)[0] != "NAT-TIMEOUT" || (*f)[6] != "keep-alive") return std::nullopt;
  TRequest r;
  if (f->size() == 8) {
    const std::string_view pad = (*f)[7];
    if (pad.empty() || pad.find_first_not_of('.') != std::string_view::npos || datagram.size() > kMaxRequestBytes)
      return std::nullopt;
    r.Pad = pad.size();
  }
  if (!TokenText((*f)[1])) return std::nullopt;
  r.Token = std::string((*f)[1]);
  const auto mapping = Number((*f)[2], 4), idle = Number((*f)[4], 4), seq = Number((*f)[5], 4);
  if (!mapping || !idle || !seq || *mapping < 1 || *seq < 1) return std::nullopt;
  const std::string_view kind = (*f)[3];
  if (kind == "new") {
    r.Kind = TKind::New;
  } else if (kind == "busy") {
    r.Kind = TKind::Busy;
  } else if (kind == "refresh") {
    r.Kind = TKind::Refresh;
  } else {
    return std::nullopt;
  }
  if ((r.Kind == TKind::Refresh) != (*idle == 0)) return std::nullopt;
  r.Mapping = static_cast<int>(*mapping);
  r.IdleSecs = static_cast<int>(*idle);
  r.Seq = static_cast<int>(*seq);
  return r;
}

std::string ReplyText(const TReply& r) {
  return std::string(kMagic) + r.Token + " " + std::to_string(r.Mapping) +
         (r.Answer ? " ok " + std::to_string(r.Seq) : " after " + std::to_string(r.AfterMs)) + "\r\n";
}

std::optional<TReply> ParseReply(std::string_view datagram) {
  const auto f = Fields(datagram);
  if (!f || f->size() != 5 || (*f)[0] != "NAT-TIMEOUT" || !TokenText((*f)[1])) return std::nullopt;
  const auto mapping = Number((*f)[2], 4);
  if (!mapping || *mapping < 1) return std::nullopt;
  TReply r;
  r.Token = std::string((*f)[1]);
  r.Mapping = static_cast<int>(*mapping);
  if ((*f)[3] == "ok") {
    const auto seq = Number((*f)[4], 4);
    if (!seq || *seq < 1) return std::nullopt;
    r.Seq = static_cast<int>(*seq);
  } else if ((*f)[3] == "after") {
    const auto ms = Number((*f)[4], 9);
    if (!ms) return std::nullopt;
    r.Answer = false;
    r.AfterMs = *ms;
  } else {
    return std::nullopt;
  }
  return r;
}

}  // namespace nat_timeout
