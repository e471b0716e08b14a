#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "net/IdStream.h"
#include "router/MacList.h"
#include "tests/support/TempDir.h"

namespace {

using support::ReadFileBytes;
using support::TempDir;

TEST(SplitCsvLine, fields) {
  struct Row { const char* line; StrArray fields; };
  const Row rows[] = {
      {"MA-L,001A2B,Example Networks Inc.,Somewhere", {"MA-L", "001A2B", "Example Networks Inc.", "Somewhere"}},
      {"MA-L,001A2B,\"Example, Inc.\",Street 1", {"MA-L", "001A2B", "Example, Inc.", "Street 1"}},
      {"a,,b,c", {"a", "b", "c"}},
      {"MA-L,001A2B,\"Example Inc.\"", {"MA-L", "001A2B", "\"Example Inc.\""}},  // last, no comma: quotes kept
      {"a,b,", {"a", "b"}},  // no empty last field
      {",,,", {}},
      {"", {}},
      {" \t a , b \r\n", {"a ", " b"}},
      {"\"x\"tail,y", {"x", "tail", "y"}},  // text after a closing quote is a field of its own
      {"\"open,y", {"\"open", "y"}},        // no closing quote: an ordinary field
      {"\"\",y", {"", "y"}},
      {"MA-L,C419D1,\"Telink Co., Ltd.\",\"No. 1500, Rd\"", {"MA-L", "C419D1", "Telink Co., Ltd.", "No. 1500, Rd"}},
  };
  StrArray out{"left over"};
  for (const Row& r : rows) {
    SplitCsvLine(r.line, out);
    EXPECT_EQ(out, r.fields) << r.line;
  }
}

TEST(MacList, file_reading_rules) {
  TempDir dir;
  struct Row { const char* name; std::string bytes; std::vector<std::string> keys; };
  const Row rows[] = {
      {"lf", "R,B2,v\nR,a1,v\n", {"a1", "B2"}},
      {"crlf", "R,B2,v\r\nR,a1,v\r\n", {"a1", "B2"}},
      {"no final newline", "R,k1,v\nR,k2,v", {"k1", "k2"}},
      {"lone cr dropped", "R,k\r1,v\n", {"k1"}},
      {"ctrl-z ends", "R,k1,v\n\x1AR,k2,v\n", {"k1"}},
      {"short lines skipped", "\n\nR,k1\nonly\nR,k2,v\n", {"k2"}},
      {"header is an entry", "Registry,Assignment,Organization Name,Organization Address\r\nMA-L,001A2B,X,\r\n",
       {"001A2B", "Assignment"}},
      {"empty", "", {}},
      {"duplicates kept", "R,aa,1\nR,AA,2\nR,aa,3\n", {"aa", "AA", "aa"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const auto list = LoadMacList(dir.Write("list.csv", r.bytes));
    std::vector<std::string> keys;
    for (size_t i = 0; i < list->Count(); ++i) keys.push_back((*list)[i].Key);
    EXPECT_EQ(keys, r.keys);
  }
}

TEST(MacList, entry_fields_and_long_lines) {
  TempDir dir;
  const std::string longVendor(100000, 'v');
  const auto list = LoadMacList(dir.Write("l.csv", "MA-M,208593B,\"IOG, LLC\",x\nIAB," "0050C27D5," + longVendor + "\n"));
  ASSERT_EQ(list->Count(), 2u);
  const TMac* m = list->Find("208593b");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->Registry, "MA-M");
  EXPECT_EQ(m->Vendor, "IOG, LLC");
  ASSERT_NE(list->Find("0050C27D5"), nullptr);
  EXPECT_EQ(list->Find("0050C27D5")->Vendor, longVendor);
}

// Whatever is in the list file's place, if it is no regular file it fails the way a missing
// file does: a directory would not read, a pipe without writer would block for ever.
TEST(MacList, missing_or_unreadable_file_raises) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("dir.csv"));
  ASSERT_EQ(::mkfifo(dir.File("fifo.csv").c_str(), 0600), 0);
  struct Row { const char* name; const char* reason; };
  const Row rows[] = {
      {"absent.csv", "No such file or directory"},
      {"dir.csv", "Is a directory"},
      {"fifo.csv", "Not a regular file"},
  };
  for (const Row& r : rows) {
    const std::string path = dir.File(r.name);
    try {
      LoadMacList(path);
      ADD_FAILURE() << r.name << " loaded";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + path + "\". " + r.reason);
    }
  }
}

TEST(MacList, lookup_longest_prefix_first) {
  TempDir dir;
  const auto list = LoadMacList(dir.Write("l.csv",
                                          "MA-L,001A2B,Six,\n"
                                          "MA-M,001A2B3,Seven,\n"
                                          "MA-S,001A2B3C4,Nine,\n"
                                          "MA-L,a0b1c2,Lower,\n"
                                          "MA-L,0A0B0C,First,\n"
                                          "MA-L,0a0b0c,Second,\n"
                                          "MA-M,FFEEDD1,Only seven,\n"));
  struct Row { const char* mac; const char* vendor; };
  const Row rows[] = {
      {"001A2B3C4D5E", "Nine"},
      {"001A2B3C5D5E", "Seven"},
      {"001A2B4C4D5E", "Six"},
      {"A0B1C2000000", "Lower"},
      {"0A0B0C0D0E0F", "First"},  // equal keys: the first in the file
      {"FFEEDD100000", "Only seven"},
      {"FFEEDD200000", nullptr},
      {"000000000000", nullptr},
      {"", nullptr},
  };
  for (const Row& r : rows) {
    const TMac* m = LookupVendor(*list, r.mac);
    if (!r.vendor) {
      EXPECT_EQ(m, nullptr) << r.mac;
    } else {
      ASSERT_NE(m, nullptr) << r.mac;
      EXPECT_EQ(m->Vendor, r.vendor) << r.mac;
    }
  }
}

// Keys of any length sort and match without regard to case, beyond their 16th byte too.
TEST(MacList, long_keys) {
  TempDir dir;
  const auto list = LoadMacList(dir.Write("l.csv",
                                          "R,0123456789abcdefY,y,\n"
                                          "R,0123456789ABCDEFx,x,\n"
                                          "R,0123456789ABCDEF,plain,\n"
                                          "R,0123456789ABCDEFX,x2,\n"
                                          "R,0123456789ABCDE,short,\n"));
  std::vector<std::string> keys;
  for (size_t i = 0; i < list->Count(); ++i) keys.push_back((*list)[i].Key);
  EXPECT_EQ(keys, (std::vector<std::string>{"0123456789ABCDE", "0123456789ABCDEF", "0123456789ABCDEFx",
                                            "0123456789ABCDEFX", "0123456789abcdefY"}));
  struct Row { const char* key; const char* vendor; };
  const Row rows[] = {{"0123456789abcdefx", "x"}, {"0123456789ABCDEFy", "y"}, {"0123456789abcdef", "plain"},
                      {"0123456789abcde", "short"}, {"0123456789ABCDEFZ", nullptr}, {"0123456789ABCDEFXX", nullptr},
                      {"0123456789ABCD", nullptr}};
  for (const Row& r : rows) {
    const TMac* m = list->Find(r.key);
    if (!r.vendor) {
      EXPECT_EQ(m, nullptr) << r.key;
    } else {
      ASSERT_NE(m, nullptr) << r.key;
      EXPECT_EQ(m->Vendor, r.vendor) << r.key;
    }
  }
}

TEST(MacList, lookup_with_only_nine_and_six) {
  TempDir dir;
  const auto list = LoadMacList(dir.Write("l.csv", "R,001A2B,Six,\nR,001A2B3C4,Nine,\n"));
  EXPECT_EQ(LookupVendor(*list, "001A2B3C4D5E")->Vendor, "Nine");
  EXPECT_EQ(LookupVendor(*list, "001A2B3D4D5E")->Vendor, "Six");
}

// The registry's own files as Debian ships them: one header line, CR LF, quoted names.
TEST(MacList, ieee_files) {
  const std::string dirName = "/usr/share/ieee-data";
  if (!std::filesystem::exists(dirName + "/oui.csv")) GTEST_SKIP() << "ieee-data is not installed";
  struct Row { const char* file; const char* mac; const char* registry; const char* vendor; };
  const Row rows[] = {
      {"oui.csv", "0022720000AB", "MA-L", "American Micro-Fuel Device Corp."},
      {"oui.csv", "001A2B3C4D5E", "MA-L", "Ayecom Technology Co., Ltd."},
      {"mam.csv", "208593B12345", "MA-M", "IOG Products LLC"},
      {"oui36.csv", "70B3D5719ABC", "MA-S", "2M Technology"},
      {"iab.csv", "0050C27D5000", "IAB", "DEUTA-WERKE GmbH"},
  };
  TempDir dir;
  std::string all;
  for (const char* f : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"}) all += ReadFileBytes(dirName + "/" + f);
  const auto combined = LoadMacList(dir.Write("MAC.CSV", all));
  EXPECT_GT(combined->Count(), 45000u);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mac);
    const auto single = LoadMacList(dirName + "/" + r.file);
    for (const TVendorList* list : {single.get(), combined.get()}) {
      const TMac* m = LookupVendor(*list, r.mac);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->Registry, r.registry);
      EXPECT_EQ(m->Vendor, r.vendor);
    }
  }
  // Sorted without regard to case, every key findable.
  for (size_t i = 1; i < combined->Count(); ++i)
    ASSERT_LE(strcasecmp((*combined)[i - 1].Key.c_str(), (*combined)[i].Key.c_str()), 0) << i;
  // The four files one after the other, each with its header line, still make a vendor list.
  EXPECT_TRUE(IsVendorList(all));
}

// What may replace MAC.CSV: a vendor list, and nothing that only looks like a file of lines.
TEST(MacList, vendor_list_or_not) {
  const std::string header = "Registry,Assignment,Organization Name\r\n";
  std::string many = header;
  for (int i = 0; i < 200; ++i) many += "MA-L," + std::string(i < 10 ? "00000" : "0000") + std::to_string(i) + ",Maker\r\n";
  struct Row {
    const char* name;
    std::string content;
    bool list;
  };
  const Row rows[] = {
      {"a header and entries of 6, 7 and 9 digits", header + "MA-L,001A2B,A,\r\nMA-M,001a2b3,B\r\nMA-S,70B3D5F2F,\"C, Inc.\"\r\n", true},
      {"entries alone, blank lines and a Ctrl-Z tail", "\r\nMA-L,001A2B,A\n\n  \nMA-L,0A0B0C,B\n\x1A<html>", true},
      {"two hundred entries and two odd lines", many + "junk\r\nmore,junk\r\n", true},
      {"two hundred entries and three odd lines", many + "junk\r\nmore,junk\r\nthird\r\n", false},
      {"a web page", "<html>\n<body>Sign in, please, to go on</body>\n</html>\n", false},
      {"a page whose lines have three fields", "<p>a,b,c</p>\n<p>d,e,f</p>\n", false},
      {"a header alone", header, false},
      {"empty", "", false},
      {"a key that is no hex", header + "MA-L,00G A2B,Maker\r\n", false},
      {"a key of 8 digits", header + "MA-L,001A2B3C,Maker\r\n", false},
      {"an entry, then a page", header + "MA-L,001A2B,A\r\n<html>\r\n", false},
      {"two fields", "MA-L,001A2B\n", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsVendorList(row.content), row.list) << row.name;
}

}  // namespace
