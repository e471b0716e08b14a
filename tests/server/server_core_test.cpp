// The server's transport-free pieces: echo frames and the vendor names' code page.
#include <gtest/gtest.h>

#include "app/XorUnit.h"
#include "server/ConnectionCore.h"
#include "server/MacList.h"
#include "server/UdpSide.h"

namespace {

TEST(ServerCore, echo_frames_say_what_was_cut) {
  struct Case {
    const char* name;
    std::string datagram;
    bool byToken;
    std::string line;
    size_t textSize;
  };
  const std::string big(30000, 'x');
  const Case cases[] = {
      {"whole", "INVITE sip:a\r\n\r\n", true,
       "Received 16 bytes on UDP port 5060 from 1.2.3.4:5", 16},
      {"zero byte", std::string("ab\0cd", 5), false,
       "Received 5 bytes on UDP port 5060 from 1.2.3.4:5 (Call-ID not recognised, matched by "
       "address) (cut at a zero byte)",
       2},
      {"too big for the tester's line limit", big, true,
       "Received 30000 bytes on UDP port 5060 from 1.2.3.4:5 (echo cut at 8192 bytes)", 8192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string frame = Scramble(EchoFrame(c.datagram, 5060, "1.2.3.4:5", c.byToken));
    ASSERT_EQ(frame.back(), '\0');
    const size_t lineEnd = frame.find("\r\n");
    EXPECT_EQ(frame.substr(0, lineEnd), c.line);
    EXPECT_EQ(frame.size() - lineEnd - 3, c.textSize);
    EXPECT_EQ(frame.compare(lineEnd + 2, c.textSize, c.datagram, 0, c.textSize), 0);
  }
}

TEST(ServerCore, vendor_names_in_iso_8859_1) {
  struct Case {
    const char* utf8;
    std::string latin1;
  };
  const Case cases[] = {
      {"SECURITAS DIRECT ESPA\xC3\x91" "A, SAU", "SECURITAS DIRECT ESPA\xD1" "A, SAU"},
      {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "L\xF3" "dz"},     // letters ISO-8859-1 lacks: closest
      {"Mu\xCC\x88nchen", "M\xFCnchen"},                    // a combining accent joins its letter
      {"\xE5\xB8\x82 Co", "? Co"},                          // no Latin form at all
      {"A\xEF\xBC\x8C" "B", "A,B"},                         // a full-width comma
      {"A\xE2\x80\x8B" "B", "AB"},                          // a zero-width space
      {"ESPA\xD1" "A", "ESPA\xD1" "A"},                     // ISO-8859-1 already
      {"a\x85" "b", "a?b"},                                 // no character in either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToLatin1(c.utf8), c.latin1);
  }
}

TEST(ServerCore, datagram_counters_make_room_by_dropping_the_idlest) {
  const auto t0 = TServerClock::now();
  TDatagramLimiter limiter(2, 1, 2);  // two addresses, bursts of 2
  EXPECT_TRUE(limiter.Allow(1, t0));
  EXPECT_TRUE(limiter.Allow(1, t0));
  EXPECT_FALSE(limiter.Allow(1, t0));  // spent
  EXPECT_TRUE(limiter.Allow(2, t0));
  EXPECT_TRUE(limiter.Allow(3, t0));  // the table is full: address 1, the idlest, goes
  EXPECT_EQ(limiter.Size(), 2u);
  EXPECT_FALSE(limiter.Allow(3, t0) && limiter.Allow(3, t0));
  limiter.ForgetFull(t0 + std::chrono::seconds(5));
  EXPECT_EQ(limiter.Size(), 0u);
}

}  // namespace
