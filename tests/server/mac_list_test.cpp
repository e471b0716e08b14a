// Building the vendor list from the IEEE registry files, in a form the tester's reader takes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/MacList.h"

namespace {

using Fields = std::vector<std::string>;

// The tester's line splitting: strip codes 0-32 at both ends; a field that begins with a quote
// runs to the next quote; an empty field yields nothing; a last field without a comma is taken
// whole.
Fields TesterSplit(std::string line) {
  Fields out;
  while (!line.empty() && static_cast<unsigned char>(line.front()) <= 32) line.erase(0, 1);
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32) line.pop_back();
  while (!line.empty()) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) {
      out.push_back(line);
      break;
    }
    const size_t close = line.size() > 1 && line[0] == '"' ? line.find('"', 1) : std::string::npos;
    if (close != std::string::npos) {
      out.push_back(line.substr(1, close - 1));
      line.erase(0, close + 1);
    } else if (comma == 0) {
      line.erase(0, 1);
    } else {
      out.push_back(line.substr(0, comma));
      line.erase(0, comma + 1);
    }
  }
  return out;
}

TEST(MacList, csv_records_table) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Fields> records;
  };
  const Case cases[] = {
      {"plain", "a,b,c\r\nd,e,f\n", {{"a", "b", "c"}, {"d", "e", "f"}}},
      {"quoted comma", "a,\"b, c\",d\r\n", {{"a", "b, c", "d"}}},
      {"doubled quote", "a,\"say \"\"hi\"\"\",d", {{"a", "say \"hi\"", "d"}}},
      {"line break inside quotes", "a,\"one\r\ntwo\",c\r\nx,y,z", {{"a", "one\r\ntwo", "c"}, {"x", "y", "z"}}},
      {"empty fields and lines", "a,,c,\r\n\r\n", {{"a", "", "c", ""}}},
      {"no line end at the end", "a,b", {{"a", "b"}}},
      {"unclosed quote runs to the end", "a,\"b,c\r\nd", {{"a", "b,c\r\nd"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseCsvRecords(c.text), c.records);
  }
}

TEST(MacList, list_lines_split_back_into_their_fields) {
  struct Case {
    Fields record;
    std::string line;    // empty: no entry
    std::string vendor;  // what the tester reads as field 3
  };
  const Case cases[] = {
      {{"MA-L", "001a2b", "Example Networks Inc.", "Somewhere"}, "MA-L,001A2B,Example Networks Inc.",
       "Example Networks Inc."},
      {{"MA-L", "001A2B", "Example, Inc.", "x"}, "MA-L,001A2B,\"Example, Inc.\"", "Example, Inc."},
      {{"MA-M", "001A2B3", "A \"B\", C"}, "MA-M,001A2B3,\"A 'B', C\"", "A 'B', C"},
      {{"MA-S", "001A2B3C4", "JSC \"Quote\""}, "MA-S,001A2B3C4,JSC \"Quote\"", "JSC \"Quote\""},
      {{"IAB", "0050C27D5", "\"Leading\" Quote"}, "IAB,0050C27D5,\"Leading\" Quote",
       "\"Leading\" Quote"},
      {{"MA-L", "001A2B", "  Two\r\nLines \t "}, "MA-L,001A2B,Two Lines", "Two Lines"},
      {{"Registry", "Assignment", "Organization Name"}, "", ""},
      {{"MA-L", "001A2", "Short key"}, "", ""},
      {{"MA-L", "00-1A-2B", "Separated key"}, "", ""},
      {{"MA-L", "00GA2B", "Not hex"}, "", ""},
      {{"MA-M", "741AE09", ""}, "", ""},
      {{"MA-L", "001A2B"}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string line = MacListLine(c.record);
    EXPECT_EQ(line, c.line);
    if (line.empty()) continue;
    const Fields fields = TesterSplit(line);
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[2], c.vendor);
  }
}

TEST(MacList, http_dates) {
  EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(MacList, debian_registry_files_give_every_block_size) {
  const std::string dir = "/usr/share/ieee-data";
  if (!std::filesystem::exists(dir + "/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  const TMacList list = BuildMacList(dir);
  EXPECT_EQ(list.Sources.size(), 4u);
  EXPECT_GT(list.Entries, 40000u);
  EXPECT_EQ(list.Body.substr(0, 39), "Registry,Assignment,Organization Name\r\n");
  // Every line splits, as the tester reads it, into registry, a key of 6, 7 or 9 upper-case hex
  // digits and a non-empty name; the keys of each length are all there.
  size_t pos = list.Body.find("\r\n") + 2, lines = 0;
  size_t byLength[10] = {};
  while (pos < list.Body.size()) {
    const size_t end = list.Body.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const Fields f = TesterSplit(list.Body.substr(pos, end - pos));
    ASSERT_EQ(f.size(), 3u) << list.Body.substr(pos, end - pos);
    ASSERT_TRUE(f[1].size() == 6 || f[1].size() == 7 || f[1].size() == 9) << f[1];
    EXPECT_EQ(f[1].find_first_not_of("0123456789ABCDEF"), std::string::npos) << f[1];
    EXPECT_FALSE(f[2].empty());
    ++byLength[f[1].size()];
    ++lines;
    pos = end + 2;
  }
  EXPECT_EQ(lines, list.Entries);
  EXPECT_GT(byLength[6], 30000u);
  EXPECT_GT(byLength[7], 1000u);
  EXPECT_GT(byLength[9], 1000u);
  // One known registry line of each file.
  EXPECT_NE(list.Body.find("\r\nMA-L,002272,American Micro-Fuel Device Corp.\r\n"), std::string::npos);
  EXPECT_NE(list.Body.find("\r\nMA-M,208593B,IOG Products LLC\r\n"), std::string::npos);
  EXPECT_NE(list.Body.find("\r\nMA-S,70B3D5F2F,TELEPLATFORMS\r\n"), std::string::npos);
  EXPECT_NE(list.Body.find("\r\nIAB,0050C27D5,DEUTA-WERKE GmbH\r\n"), std::string::npos);
}

}  // namespace
