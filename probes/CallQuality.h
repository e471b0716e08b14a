#pragma once
// What a short test call says about calls: whether audio got through each way, and how it would
// sound, per direction, by the E-model of ITU-T G.107 for G.711 with packet-loss concealment.
// Plain code made from the call's figures; the lines, the advice and the report take it.
#include <optional>
#include <string>
#include <vector>

#include "proto/CallWire.h"

// Losses of one direction, from which packets came (index -> came) of the `sent` that left.
struct TLossStats {
  int Sent = 0;
  int Received = 0;
  int Lost = 0;
  double LossPercent = 0;
  int LongestRun = 0;   // the most packets lost one after the other
  // The loss pattern as a two-state chain: p, a loss after a packet that came; q, a packet that
  // came after a loss. BurstR = 1 / (p + q): 1 for random loss, more for losses in bursts; 1
  // where either is unknown (no loss, or nothing came).
  double BurstR = 1;
  std::vector<double> LossBySecondPercent;  // per second of the stream
};
TLossStats LossOf(const std::vector<bool>& came, int sent);

// The mouth-to-ear delay of one direction: half the round trip, the jitter buffer (twice the
// jitter) and one 20 ms packet.
double OneWayDelayMs(double rttMs, double jitterMs);
// R of G.711 with packet-loss concealment: 93.2 - Id(delay) - Ie,eff(loss, BurstR).
double RFactor(double oneWayDelayMs, double lossPercent, double burstR);
// MOS from R: 1 below R = 0, 4.5 above R = 100.
double MosOf(double r);

// One direction of the call.
struct TCallDirection {
  int Sent = 0;
  int Received = 0;
  double LossPercent = 0;
  double JitterMs = 0;
  int LongestLossRun = 0;
  std::optional<double> R;    // 0 to 100; none when nothing came this way
  std::optional<double> Mos;  // 1 to 4.5; the same
  std::vector<double> LossBySecondPercent;
  std::vector<double> JitterBySecondMs;
};
// rttMs: the round trip, or 0 when it is unknown (one-way audio).
TCallDirection CallDirection(const std::vector<bool>& came, int sent, long long jitterUs,
                             const std::vector<long long>& jitterBySecondUs, double rttMs);

enum class TCallAudio { BothWays, OneWayOut, None };
const char* CallAudioName(TCallAudio audio);  // "both_ways", "one_way_out", "none"

// Why the call tells nothing about the way out, or None when it ran.
enum class TCallNotTested { None, ServerBusy, NoCallOffered, Stopped, CutShort };
// "server_busy", "no_call_offered", "stopped", "cut_short"; nullptr for None.
const char* CallNotTestedName(TCallNotTested why);

// What is known of a call at the run's end.
struct TCallEnd {
  bool Offered = false;   // the server announced calls
  bool Started = false;   // its stream began
  bool Stopped = false;   // the user stopped the run
  bool Busy = false;      // the server had no room for it
  bool Report = false;    // the server's report came and adds up
  bool Refused = false;   // a report came that does not add up, or does not read
  bool Whole = false;     // every packet went out and the wait for the report passed
  int CameBack = 0;       // packets of the server's stream that came
};
TCallNotTested CallNotTestedOf(const TCallEnd& end);

// What is wrong with the server's report, against what this computer knows: packets it sent
// (`sent`), packets that came back (`cameBack`) and the call's length; nullopt when it adds up.
std::optional<std::string> CallReportFault(const call_wire::TReport& report, int sent, int cameBack, int seconds);

struct TCallResult {
  int Seconds = 0;      // as planned
  int Port = 0;         // the local RTP port it was sent from
  bool Started = false;
  TCallNotTested NotTested = TCallNotTested::None;
  std::string ReportFault;  // the server's report was refused: why
  bool NoReport = false;    // the call ran, but its report never came
  TCallAudio Audio = TCallAudio::None;
  std::optional<TCallDirection> Up;    // what the server received; none when nothing did
  std::optional<TCallDirection> Down;  // what came back; none when the server sent nothing
  std::optional<double> RttMedianMs, RttP95Ms;
  bool BurstCame = false;  // the server's unprompted audio reached the port before the call
};

// The median and the 95th percentile (nearest rank) of round trips; nullopt for none.
std::optional<std::pair<double, double>> RttFigures(std::vector<double> rttMs);

// The call's lines, for the RTP pane and the summary: whether audio got through, then quality
// per direction and the round trip.
std::vector<std::string> CallLines(const TCallResult& call);

// Thresholds past which the advice names a direction.
inline constexpr double kLossAdvicePercent = 1.0;
inline constexpr double kJitterAdviceMs = 30.0;
inline constexpr double kRttAdviceMs = 300.0;
inline constexpr double kMosAdvice = 3.6;

// What to do about it: where the far end must send its audio, and what usually helps a
// direction that loses, jitters, lags or sounds poor. Empty when there is nothing to do.
std::vector<std::string> CallAdvice(const TCallResult& call);

// The call per second, as text for a copied report: second, loss and jitter each way.
std::vector<std::string> CallTable(const TCallResult& call);
