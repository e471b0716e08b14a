// The test call's wire as either side reads it: a packet on the RTP port, the server's report on
// the control connection, the plan in a token; and the report the server writes of whatever
// stream it received (the input's records), which the tester must read back as written.
#include <string>

#include "proto/CallReceiver.h"
#include "proto/CallWire.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace call_wire;

namespace {

uint64_t Take(const uint8_t*& data, size_t& size, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes && size > 0; ++i, ++data, --size) v = (v << 8) | *data;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  if (const auto p = ParsePacket(text)) {
    const std::string written = PacketBytes(*p);
    FUZZ_CHECK(written.size() == kPacketBytes && written.size() == text.size(), "a packet is 172 bytes");
    FUZZ_CHECK(ParsePacket(written) == p, "a packet reads back as written");
    FUZZ_CHECK(p->Index < kMaxPackets && !p->Token.empty() && p->Token.size() <= kMaxTokenBytes,
               "a packet taken is within the longest call and carries a token");
  }
  if (const auto r = ParseReport(text)) {
    FUZZ_CHECK(ParseReport(ReportText(*r)) == r, "a report reads back as written");
    FUZZ_CHECK(r->Map.size() <= kMaxPackets && r->Sent <= static_cast<int>(kMaxPackets), "within the longest call");
  }
  if (const auto plan = PlanFromToken(text)) {
    FUZZ_CHECK(plan->MaxSeconds >= 1 && plan->MaxSeconds <= kMaxSeconds && plan->RtpPort != 0, "a plan to follow");
    FUZZ_CHECK(PlanFromToken("x" + PlanSuffix(*plan)) == plan, "a plan reads back as announced");
  }

  // Records of 8 bytes: index (2), RTP timestamp (4), microseconds since the one before (2).
  TStreamReceiver receiver;
  int64_t arrival = 0;
  int taken = 0;
  while (size >= 8) {
    const auto index = static_cast<uint32_t>(Take(data, size, 2)) % kMaxPackets;
    const auto timestamp = static_cast<uint32_t>(Take(data, size, 4));
    arrival += static_cast<int64_t>(Take(data, size, 2));
    taken += receiver.Take(index, timestamp, arrival);
  }
  FUZZ_CHECK(receiver.Received() == taken, "each index counts once");
  const TReport report = receiver.Report(taken);
  const auto read = ParseReport(ReportText(report));
  FUZZ_CHECK(read == report, "the server's report of any stream reads back as written: " + ReportText(report));
  return 0;
}
