// The NAT time-out test's texts as either side reads them: a request on the server's SIP port,
// a reply on a tester's mapping, and the plan in a token. What is taken must read back as
// written, and no plan taken may ask for more than a tester or server will do.
#include <string>

#include "proto/NatTimeoutWire.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace nat_timeout;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  if (const auto r = ParseRequest(text)) {
    FUZZ_CHECK(IsTimeoutDatagram(text), "a request begins as one");
    FUZZ_CHECK(r->Mapping >= 1 && r->Seq >= 1, "numbers from 1");
    FUZZ_CHECK((r->Kind == TKind::Refresh) == (r->IdleSecs == 0), "only the refresh mapping has no idle time");
    const auto again = ParseRequest(RequestText(*r));
    FUZZ_CHECK(again && again->Token == r->Token && again->Mapping == r->Mapping && again->Seq == r->Seq,
               "a request reads back as written");
  }
  if (const auto r = ParseReply(text)) {
    const std::string written = ReplyText(*r);
    const auto again = ParseReply(written);
    FUZZ_CHECK(again && again->Mapping == r->Mapping && again->Answer == r->Answer && again->AfterMs == r->AfterMs,
               "a reply reads back as written");
    FUZZ_CHECK(written.size() <= RequestText({r->Token, r->Mapping, TKind::New, 1, 1}).size() + 9,
               "a reply is hardly larger than the smallest request of its mapping");
  }
  if (const auto plan = PlanFromToken(text)) {
    FUZZ_CHECK(ValidPlan(*plan), "a plan taken is one to follow");
    FUZZ_CHECK(plan->IdleSecs.size() <= kMaxIdleTimes, "at most 16 idle times");
    FUZZ_CHECK(PlanFromToken("x" + PlanSuffix(*plan)) == plan, "a plan reads back as announced");
  }
  return 0;
}
