#include "probes/CallQuality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "proto/CallWire.h"

namespace {

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Whole(double v) { return std::to_string(static_cast<long long>(std::lround(v))); }

// A round trip: whole milliseconds, tenths below 10 ms (a LAN's are fractions of one).
std::string Ms(double v) { return v < 9.95 ? Fixed(v, 1) : Whole(v); }

std::string QualityLine(const char* way, const TCallDirection& d) {
  return std::string("Call quality ") + way + ": MOS " + Fixed(d.Mos.value_or(1), 1) + " (R " + Whole(d.R.value_or(0)) +
         "), " + Fixed(d.LossPercent, 1) + " % lost, jitter " + Fixed(d.JitterMs, 1) + " ms";
}

void DirectionAdvice(const char* way, const TCallDirection& d, std::vector<std::string>& out) {
  const std::string head = std::string("Audio ") + way + ": ";
  if (d.LossPercent > kLossAdvicePercent)
    out.push_back(head + Fixed(d.LossPercent, 1) + " % of the packets were lost (more than " +
                  Fixed(kLossAdvicePercent, 0) +
                  " %): a wired link rather than Wi-Fi, and voice priority (QoS) in the router, usually help.");
  if (d.JitterMs > kJitterAdviceMs)
    out.push_back(head + "jitter of " + Fixed(d.JitterMs, 1) + " ms (more than " + Whole(kJitterAdviceMs) +
                  " ms): another upload-heavy user on the line, or a router that queues too much, is the usual "
                  "cause; the router's queue management (smart queueing) or voice priority helps.");
  if (d.Mos && *d.Mos < kMosAdvice)
    out.push_back(head + "MOS " + Fixed(*d.Mos, 1) + " (below " + Fixed(kMosAdvice, 1) +
                  "): calls will sound poor this way.");
}

}  // namespace

TLossStats LossOf(const std::vector<bool>& came, int sent) {
  TLossStats s;
  s.Sent = std::max(sent, static_cast<int>(came.size()));
  int afterCame = 0, lossAfterCame = 0, afterLoss = 0, cameAfterLoss = 0, run = 0;
  for (int i = 0; i < s.Sent; ++i) {
    const bool c = i < static_cast<int>(came.size()) && came[static_cast<size_t>(i)];
    if (i > 0) {
      const bool before = (i - 1) < static_cast<int>(came.size()) && came[static_cast<size_t>(i - 1)];
      if (before) {
        ++afterCame;
        lossAfterCame += !c;
      } else {
        ++afterLoss;
        cameAfterLoss += c;
      }
    }
    if (c) {
      ++s.Received;
      run = 0;
    } else {
      s.LongestRun = std::max(s.LongestRun, ++run);
    }
    const size_t second = static_cast<size_t>(i / call_wire::kPacketsPerSecond);
    if (second >= s.LossBySecondPercent.size()) s.LossBySecondPercent.push_back(0);
    if (!c) s.LossBySecondPercent[second] += 1;
  }
  for (size_t k = 0; k < s.LossBySecondPercent.size(); ++k) {
    const int inSecond = std::min(call_wire::kPacketsPerSecond, s.Sent - static_cast<int>(k) * call_wire::kPacketsPerSecond);
    s.LossBySecondPercent[k] = 100.0 * s.LossBySecondPercent[k] / inSecond;
  }
  s.Lost = s.Sent - s.Received;
  s.LossPercent = s.Sent ? 100.0 * s.Lost / s.Sent : 0;
  if (afterCame > 0 && afterLoss > 0) {
    const double p = static_cast<double>(lossAfterCame) / afterCame, q = static_cast<double>(cameAfterLoss) / afterLoss;
    if (p + q > 0) s.BurstR = 1.0 / (p + q);
  }
  return s;
}

double OneWayDelayMs(double rttMs, double jitterMs) { return rttMs / 2 + 2 * jitterMs + call_wire::kPacketMs; }

double RFactor(double d, double lossPercent, double burstR) {
  const double id = 0.024 * d + (d > 177.3 ? 0.11 * (d - 177.3) : 0);
  const double ieEff = 95 * lossPercent / (lossPercent / burstR + 25.1);
  return 93.2 - id - ieEff;
}

double MosOf(double r) {
  if (r < 0) return 1;
  if (r > 100) return 4.5;
  return 1 + 0.035 * r + 7e-6 * r * (r - 60) * (100 - r);
}

TCallDirection CallDirection(const std::vector<bool>& came, int sent, long long jitterUs,
                             const std::vector<long long>& jitterBySecondUs, double rttMs) {
  const TLossStats loss = LossOf(came, sent);
  TCallDirection d;
  d.Sent = loss.Sent;
  d.Received = loss.Received;
  d.LossPercent = loss.LossPercent;
  d.LongestLossRun = loss.LongestRun;
  d.JitterMs = jitterUs / 1000.0;
  if (d.Received > 0) {
    // The E-model's R runs from 0 to 100; past them the formula's figures mean nothing more.
    d.R = std::clamp(RFactor(OneWayDelayMs(rttMs, d.JitterMs), d.LossPercent, loss.BurstR), 0.0, 100.0);
    d.Mos = MosOf(*d.R);
  }
  d.LossBySecondPercent = loss.LossBySecondPercent;
  for (long long j : jitterBySecondUs) d.JitterBySecondMs.push_back(j / 1000.0);
  return d;
}

const char* CallAudioName(TCallAudio audio) {
  switch (audio) {
    case TCallAudio::BothWays: return "both_ways";
    case TCallAudio::OneWayOut: return "one_way_out";
    case TCallAudio::None: return "none";
  }
  return "";
}

const char* CallNotTestedName(TCallNotTested why) {
  switch (why) {
    case TCallNotTested::ServerBusy: return "server_busy";
    case TCallNotTested::NoCallOffered: return "no_call_offered";
    case TCallNotTested::Stopped: return "stopped";
    case TCallNotTested::CutShort: return "cut_short";
    case TCallNotTested::None: break;
  }
  return nullptr;
}

TCallNotTested CallNotTestedOf(const TCallEnd& e) {
  if (!e.Offered) return TCallNotTested::NoCallOffered;
  if (e.Busy) return TCallNotTested::ServerBusy;
  if (e.Report) return TCallNotTested::None;
  if (e.Stopped) return TCallNotTested::Stopped;
  if (!e.Started) return TCallNotTested::CutShort;
  // Audio came back: the server heard the call, only its report is missing.
  if (e.CameBack > 0) return TCallNotTested::None;
  // A whole call and no report: nothing reached the server, which reports only a call it heard.
  // A report that came and did not add up says otherwise.
  if (e.Whole && !e.Refused) return TCallNotTested::None;
  return TCallNotTested::CutShort;
}

std::optional<std::string> CallReportFault(const call_wire::TReport& r, int sent, int cameBack, int seconds) {
  const auto n = [](long long v) { return std::to_string(v); };
  // Transit times within a call differ by at most what its sending and the server's wait for it
  // last: the call, its grace of 2 s and the call again.
  const long long jitterBoundUs = (2LL * seconds + 2) * 1'000'000;
  if (r.Received > sent) return "it received " + n(r.Received) + " packets of the " + n(sent) + " sent";
  if (r.Map.size() > static_cast<size_t>(sent))
    return "it names packet " + n(static_cast<long long>(r.Map.size()) - 1) + " of the " + n(sent) + " sent";
  if (r.Sent > r.Received)
    return "it sent back " + n(r.Sent) + " packets, more than the " + n(r.Received) + " it received";
  if (cameBack > r.Sent) return "it sent back " + n(r.Sent) + " packets, " + n(cameBack) + " came";
  if (r.JitterUs > jitterBoundUs) return "a jitter of " + Fixed(r.JitterUs / 1000.0, 1) + " ms in a call of " + n(seconds) + " s";
  if (r.JitterBySecondUs.size() > static_cast<size_t>(seconds) + 1)
    return "jitter for " + n(static_cast<long long>(r.JitterBySecondUs.size())) + " seconds of a call of " + n(seconds) + " s";
  for (long long j : r.JitterBySecondUs)
    if (j > jitterBoundUs) return "a jitter of " + Fixed(j / 1000.0, 1) + " ms in a call of " + n(seconds) + " s";
  return std::nullopt;
}

std::optional<std::pair<double, double>> RttFigures(std::vector<double> rttMs) {
  if (rttMs.empty()) return std::nullopt;
  std::sort(rttMs.begin(), rttMs.end());
  const auto rank = [&](double share) {
    const size_t n = static_cast<size_t>(std::ceil(share * static_cast<double>(rttMs.size())));
    return rttMs[std::clamp<size_t>(n, 1, rttMs.size()) - 1];
  };
  return std::pair{rank(0.5), rank(0.95)};
}

std::vector<std::string> CallLines(const TCallResult& c) {
  const std::string port = std::to_string(c.Port);
  std::vector<std::string> out;
  const std::string refused = "The server's call report does not add up (" + c.ReportFault + "): sending quality not told";
  switch (c.NotTested) {
    case TCallNotTested::ServerBusy:
      return {"Call not tested: the server has no room for another call now"};
    case TCallNotTested::NoCallOffered:
      return {"Call not tested: the server offers no test call"};
    case TCallNotTested::Stopped:
    case TCallNotTested::CutShort: {
      const std::string ended = c.NotTested == TCallNotTested::Stopped ? "the run was stopped" : "the run ended";
      if (!c.Started)
        out.push_back("Call not tested: " + ended + " before the call began");
      else if (!c.ReportFault.empty() && c.NotTested == TCallNotTested::CutShort)
        out.push_back(refused);
      else
        out.push_back("Test call cut short: " + ended + " before the server reported what it received");
      if (c.Down) out.push_back(QualityLine("receiving", *c.Down));
      return out;
    }
    case TCallNotTested::None:
      break;
  }
  switch (c.Audio) {
    case TCallAudio::BothWays:
      out.push_back("Audio both ways: the server's audio came back to port " + port +
                    " after this computer sent its own");
      if (!c.BurstCame)
        out.push_back("Audio reaches port " + port +
                      " only in reply: the far end must send it back to where this computer's came from");
      break;
    case TCallAudio::OneWayOut:
      out.push_back("One-way audio: the server received " + std::to_string(c.Up ? c.Up->Received : 0) +
                    " packets, none came back to port " + port);
      break;
    case TCallAudio::None:
      out.push_back("No audio reached the server from port " + port);
      break;
  }
  if (!c.ReportFault.empty())
    out.push_back(refused);
  else if (c.NoReport && c.Audio == TCallAudio::BothWays)
    out.push_back("The server's call report did not come: sending quality not told");
  if (c.Up) out.push_back(QualityLine("sending", *c.Up));
  if (c.Down && c.Audio == TCallAudio::BothWays) out.push_back(QualityLine("receiving", *c.Down));
  if (c.RttMedianMs && c.RttP95Ms)
    out.push_back("Round trip: " + Ms(*c.RttMedianMs) + " ms (95 % under " + Ms(*c.RttP95Ms) + " ms)");
  return out;
}

std::vector<std::string> CallAdvice(const TCallResult& c) {
  std::vector<std::string> out;
  if (c.NotTested != TCallNotTested::None) return out;
  const std::string port = std::to_string(c.Port);
  switch (c.Audio) {
    case TCallAudio::BothWays:
      if (!c.BurstCame)
        out.push_back("Audio from outside reaches port " + port +
                      " only back to where this computer's audio came from: the provider (or your PBX) must send "
                      "its audio there, which it calls symmetric RTP or \"NAT = yes\"; without that, a media relay "
                      "is needed.");
      break;
    case TCallAudio::OneWayOut:
      out.push_back("One-way audio: this computer's audio got out, but the server's, sent back to where it came "
                    "from, did not get in. A firewall in the router drops it: allow UDP audio in reply (or forward "
                    "the phone's RTP ports), or use a provider with a media relay.");
      break;
    case TCallAudio::None:
      out.push_back("No audio got out from port " + port +
                    ": the router or a firewall on this computer blocks outgoing UDP audio; allow it.");
      break;
  }
  if (c.Up) DirectionAdvice("sending", *c.Up, out);
  if (c.Down && c.Audio == TCallAudio::BothWays) DirectionAdvice("receiving", *c.Down, out);
  if (c.RttMedianMs && *c.RttMedianMs > kRttAdviceMs)
    out.push_back("Round trip of " + Whole(*c.RttMedianMs) + " ms (more than " + Whole(kRttAdviceMs) +
                  " ms): calls will feel delayed; a link with less delay (wired rather than satellite or mobile) "
                  "helps.");
  return out;
}

std::vector<std::string> CallTable(const TCallResult& c) {
  if (!c.Up && !c.Down) return {};
  std::vector<std::string> out{"Second  Loss sending  Jitter sending  Loss receiving  Jitter receiving"};
  const size_t seconds = std::max(c.Up ? c.Up->LossBySecondPercent.size() : 0, c.Down ? c.Down->LossBySecondPercent.size() : 0);
  auto cell = [](const std::vector<double>& v, size_t k, const char* unit) {
    return k < v.size() ? Fixed(v[k], 1) + unit : std::string("-");
  };
  for (size_t k = 0; k < seconds; ++k) {
    char line[160];
    const std::string lu = c.Up ? cell(c.Up->LossBySecondPercent, k, " %") : "-";
    const std::string ju = c.Up ? cell(c.Up->JitterBySecondMs, k, " ms") : "-";
    const std::string ld = c.Down ? cell(c.Down->LossBySecondPercent, k, " %") : "-";
    const std::string jd = c.Down ? cell(c.Down->JitterBySecondMs, k, " ms") : "-";
    std::snprintf(line, sizeof line, "%6zu  %12s  %14s  %14s  %16s", k + 1, lu.c_str(), ju.c_str(), ld.c_str(), jd.c_str());
    out.push_back(line);
  }
  return out;
}
