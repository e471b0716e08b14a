// The buffer of received bytes: taking from the front, compaction, over-long takes.
#include <gtest/gtest.h>

#include <string>

#include "net/IdBuffer.h"
#include "net/IdException.h"

namespace {

std::string Pattern(size_t n, size_t from = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (from + i) % 23);
  return s;
}

std::string Content(const TIdBuffer& b) { return std::string(reinterpret_cast<const char*>(b.Data()), static_cast<size_t>(b.Size())); }

TEST(TcpInputBuffer, tcp_input_buffer_takes_from_the_front_and_compacts) {
  // Steps on one buffer holding Pattern(40000) at first; after each, the expected offset of
  // the consumed front and the unconsumed content (as a slice of the pattern).
  struct Row { const char* what; int64_t append; int64_t remove; int64_t offset; size_t from, size; };
  const Row rows[] = {
      {"fill", 40000, 0, 0, 0, 40000},
      {"take some", 0, 100, 100, 100, 39900},
      {"just below compaction", 0, 32667, 32767, 32767, 7233},
      {"compaction at 32768", 0, 1, 0, 32768, 7232},
      {"append after compaction", 20000, 0, 0, 32768, 27232},
      {"take all but one", 0, 27231, 27231, 59999, 1},
      {"take the last", 0, 1, 0, 60000, 0},
  };
  TIdBuffer b;
  size_t appended = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.append > 0) {
      b.Append(Pattern(static_cast<size_t>(r.append), appended).data(), r.append);
      appended += static_cast<size_t>(r.append);
    }
    b.Remove(r.remove);
    EXPECT_EQ(b.Offset(), r.offset);
    ASSERT_EQ(b.Size(), static_cast<int64_t>(r.size));
    EXPECT_EQ(Content(b), Pattern(r.size, r.from));
  }
}

TEST(TcpInputBuffer, tcp_input_buffer_refuses_to_take_more_than_it_holds) {
  TIdBuffer b;
  b.Append("abc", 3);
  for (int64_t n : {4, 100}) {
    try {
      b.Remove(n);
      ADD_FAILURE() << n;
    } catch (const EIdNotEnoughDataInBuffer& e) {
      EXPECT_STREQ(e.what(), "Not enough data in buffer.");
    }
    EXPECT_THROW(b.Extract(n), EIdNotEnoughDataInBuffer);
  }
  EXPECT_EQ(Content(b), "abc");  // unchanged
  EXPECT_EQ(b.Extract(2), "ab");
}

TEST(TcpInputBuffer, tcp_input_buffer_receives_into_its_tail) {
  // A receive writes into reserved room; growing the room keeps the unconsumed bytes.
  TIdBuffer b;
  b.Append(Pattern(5000).data(), 5000);
  b.Remove(1000);
  for (int i = 0; i < 10; ++i) {
    uint8_t* tail = b.Reserve(32768);
    const std::string more = Pattern(3000, 5000 + 3000 * static_cast<size_t>(i));
    std::copy(more.begin(), more.end(), tail);
    b.Commit(3000);
  }
  EXPECT_EQ(Content(b), Pattern(34000, 1000));
}

}  // namespace
