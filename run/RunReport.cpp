#include "run/RunReport.h"

std::vector<std::string> TRunReport::PaneLines(TPane pane) const {
  std::vector<std::string> out;
  for (const auto& [p, line] : Lines)
    if (p == pane) out.push_back(line);
  return out;
}

TRunReport MakeRunReport(const TRunResult& result, const std::string& localIp, int serverPort, int rtpPort,
                         int64_t nowMs) {
  TRunReport r;
  r.Result = result;
  r.Summary = SummariseRun(result, {serverPort, rtpPort, nowMs, localIp});
  r.LocalIp = localIp;
  r.ServerPort = serverPort;
  r.RtpPort = rtpPort;
  return r;
}
