#include "app/CliWaits.h"

#include <cstdio>

namespace {

// Whole seconds from a to b, rounded up; never below 0.
int64_t SecsUntil(int64_t aMs, int64_t bMs) { return bMs <= aMs ? 0 : (bMs - aMs + 999) / 1000; }

std::string NextReportText(int port, int64_t secs) {
  return "next NAT report on port " + std::to_string(port) + " expected in " + std::to_string(secs) + " s";
}

}  // namespace

void TCliWaits::NatInvitesSent(int giveUpSecs, int64_t nowMs) {
  if (wait_ == TWait::Over) return;
  wait_ = TWait::FirstReport;
  sinceMs_ = nowMs;
  dueMs_ = nowMs + int64_t{giveUpSecs} * 1000;
}

void TCliWaits::NatReportCame(int64_t /*nowMs*/) {
  reportCame_ = true;
  if (wait_ == TWait::FirstReport) wait_ = TWait::None;
}

std::optional<std::string> TCliWaits::NextReportAnnounced(int port, int secs, int64_t nowMs) {
  if (wait_ == TWait::Over) return std::nullopt;
  wait_ = TWait::NextReport;
  port_ = port;
  dueMs_ = nowMs + int64_t{secs} * 1000;
  if (secs <= kAnnounceSecs) return std::nullopt;
  lastPrintedMs_ = nowMs;
  return NextReportText(port, secs);
}

std::string TCliWaits::Text(int64_t nowMs) const {
  if (!step_.empty()) return "still waiting: " + step_;
  const bool reportDue = wait_ == TWait::NextReport && nowMs < dueMs_;
  if (timeoutEndsMs_ && *timeoutEndsMs_ > nowMs && wait_ != TWait::FirstReport &&
      (!reportDue || *timeoutEndsMs_ > dueMs_))
    return "NAT time-out test: its answer within " + std::to_string(SecsUntil(nowMs, *timeoutEndsMs_)) + " s";
  switch (wait_) {
    case TWait::NextReport: {
      const int64_t left = SecsUntil(nowMs, dueMs_);
      if (left > 0) return NextReportText(port_, left);
      return "next NAT report on port " + std::to_string(port_) + " due now";
    }
    case TWait::FirstReport:
      return "no NAT report yet, " + std::to_string((nowMs - sinceMs_) / 1000) +
             " s after the NAT session test INVITEs; giving up in " + std::to_string(SecsUntil(nowMs, dueMs_)) + " s";
    case TWait::None:
      // The reports came, and none announced another: nothing ends the run but the user.
      if (reportCame_) return "no further NAT report announced; Ctrl+C ends the run";
      break;
    case TWait::Over: break;
  }
  return "still waiting: " + std::to_string((nowMs - lastPrintedMs_) / 1000) + " s without news";
}

TCliWaits::TTick TCliWaits::Tick(int64_t nowMs) {
  TTick out;
  if (wait_ == TWait::Over) return out;
  // A countdown in place says enough on a terminal: it changes every second.
  if (terminal_ && (wait_ != TWait::None || !step_.empty() || timeoutEndsMs_)) {
    out.InPlace = Text(nowMs);
    return out;
  }
  if (nowMs - lastPrintedMs_ >= int64_t{kQuietSecs} * 1000) {
    out.Line = Text(nowMs);
    lastPrintedMs_ = nowMs;
  }
  return out;
}

bool TCliWaits::ParseAnnouncement(const std::string& line, int& port, int& secs) {
  int p = 0, s = 0, used = 0;
  if (std::sscanf(line.c_str(), "Checking port %d after %ds ...%n", &p, &s, &used) != 2) return false;
  if (used != static_cast<int>(line.size())) return false;
  port = p;
  secs = s;
  return true;
}
