#include <gtest/gtest.h>

#include "proto/LargeSipWire.h"

namespace {

using namespace large_sip;

TEST(LargeSipWire, fragments_of_a_udp_payload) {
  struct Row {
    int bytes, mtu, fragments;
  };
  const Row rows[] = {
      {0, 1500, 1},     {1472, 1500, 1},  {1473, 1500, 2},  {2000, 1500, 2},   {2952, 1500, 2},
      {2953, 1500, 3},  {4000, 1500, 3},  {4432, 1500, 3},  {4433, 1500, 4},   {65507, 1500, 45},
      {548, 576, 1},    {549, 576, 2},    {1100, 576, 3},   // 552 a fragment, 556 room in the first
      {1000, 1006, 2},  {978, 1006, 1},   // room for 986, the first of several carries 984
      {100, 28, 0},     {-1, 1500, 0},
  };
  for (const Row& r : rows) EXPECT_EQ(Fragments(r.bytes, r.mtu), r.fragments) << r.bytes << " over " << r.mtu;
}

TEST(LargeSipWire, requests_read_back_and_bad_ones_are_none) {
  EXPECT_EQ(AskText({"tok.l1", {2000, 4000}}), "LARGE-SIP tok.l1 2000 4000\r\n");
  struct Row {
    const char* text;
    bool ok;
    std::vector<int> sizes;
  };
  const Row rows[] = {
      {"LARGE-SIP tok 2000 4000\r\n", true, {2000, 4000}},
      {"LARGE-SIP tok 65507\r\n", true, {65507}},
      {"LARGE-SIP tok 65508\r\n", false, {}},
      {"LARGE-SIP tok 0\r\n", false, {}},
      {"LARGE-SIP tok 1 2 3\r\n", false, {}},
      {"LARGE-SIP tok\r\n", false, {}},
      {"LARGE-SIP tok 2000 \r\n", false, {}},
      {"LARGE-SIP tok 2000", false, {}},
      {"LARGE-SIP  2000\r\n", false, {}},
      {"LARGE-SIP tok -5\r\n", false, {}},
      {"LARGE-SIP tok 02000\r\n", false, {}},
      {"large-sip tok 2000\r\n", false, {}},
  };
  for (const Row& r : rows) {
    const auto ask = ParseAsk(r.text);
    EXPECT_EQ(ask.has_value(), r.ok) << r.text;
    if (ask) {
      EXPECT_EQ(ask->Token, "tok");
      EXPECT_EQ(ask->Sizes, r.sizes);
    }
  }
}

TEST(LargeSipWire, answers_are_exactly_their_size_and_name_it) {
  const std::string token = "0123456789abcdef0123456789abcdef.l1.c30-5004.t10-15.r10";
  ASSERT_LT(MinDownBytes(token), static_cast<size_t>(kSizes[0])) << "the smaller size is an answer too";
  for (int bytes : {static_cast<int>(MinDownBytes(token)), 1999, 2000, 4001, 9999, 10000, 65507}) {
    const std::string text = DownText(token, bytes);
    ASSERT_EQ(text.size(), static_cast<size_t>(bytes)) << bytes;
    const auto down = ParseDown(text);
    ASSERT_TRUE(down) << bytes;
    EXPECT_EQ(down->Token, token);
    EXPECT_EQ(down->Bytes, bytes);
    // Its Content-Length is its body's.
    const size_t body = text.find("\r\n\r\n") + 4;
    EXPECT_NE(text.find("Content-Length: " + std::to_string(text.size() - body) + "\r\n"), std::string::npos) << bytes;
  }
  EXPECT_EQ(DownText(token, static_cast<int>(MinDownBytes(token)) - 1), "");
  EXPECT_EQ(DownText(token, 65508), "");
  EXPECT_NE(DownText("a", 3000), DownText("b", 3000)) << "each session its own";
  EXPECT_FALSE(ParseDown("SIP/2.0 200 OK\r\nCall-ID: tok@x\r\nCSeq: 2000 INVITE\r\n"));
  EXPECT_FALSE(ParseDown("SIP/2.0 200 OK\r\nCall-ID: tok\r\nCSeq: 2000 OPTIONS\r\n"));
  EXPECT_FALSE(ParseDown("SIP/2.0 180 Ringing\r\nCall-ID: tok@x\r\nCSeq: 2000 OPTIONS\r\n"));
  EXPECT_FALSE(ParseDown("SIP/2.0 200 OK\r\nCall-ID: tok@x\r\nCSeq: 99999999 OPTIONS\r\n"));
}

TEST(LargeSipWire, the_token_says_whether_the_server_answers) {
  EXPECT_TRUE(DownOffered("abc.l1"));
  EXPECT_TRUE(DownOffered("abc.l1.c30-5004.t10.r10"));
  EXPECT_FALSE(DownOffered("abc.c30-5004.t10.r10"));
  EXPECT_FALSE(DownOffered("abc.l12"));
  EXPECT_FALSE(DownOffered(""));
}

}  // namespace
