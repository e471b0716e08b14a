#pragma once
// The end of a run beyond its own end rules: how long it waits, after the NAT session test
// INVITEs, for the first NAT session report before it takes UDP from the server for blocked and
// ends (RunEnd.cpp holds the run's end itself: its announcement, its closing lines, its report).

inline constexpr int kNoNatReportSeconds = 60;
