// The echo server's vendor list built from registry texts (up to four, separated by zero
// bytes, as the source files would be), and read back by the tester's reader.
#include <string>
#include <vector>

#include "router/MacList.h"
#include "server/MacList.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

bool UpperHex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// A line of the list read by the tester's splitter gives registry, key and organisation, and
// nothing is lost: the line is exactly those three put back (the organisation quoted when it
// holds a comma, and then without quotes of its own).
void CheckLine(const std::string& line) {
  StrArray f;
  SplitCsvLine(line, f);
  FUZZ_CHECK(f.size() == 3, "three fields: " + line);
  FUZZ_CHECK(!f[0].empty() && f[0].find_first_of(",\"") == std::string::npos, "a registry: " + line);
  FUZZ_CHECK((f[1].size() == 6 || f[1].size() == 7 || f[1].size() == 9) && UpperHex(f[1]), "a key: " + line);
  FUZZ_CHECK(!f[2].empty(), "an organisation: " + line);
  const bool comma = f[2].find(',') != std::string::npos;
  if (comma) FUZZ_CHECK(f[2].find('"') == std::string::npos, "no quote inside a quoted name: " + line);
  FUZZ_CHECK(line == f[0] + "," + f[1] + "," + (comma ? '"' + f[2] + '"' : f[2]), "read back whole: " + line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> sources = fuzz::Split(fuzz::Text(data, size), '\0', 4);

  size_t records = 0, usable = 0;
  for (const std::string& text : sources) {
    for (const auto& record : ParseCsvRecords(text)) {
      FUZZ_CHECK(!record.empty(), "a record has a field");
      ++records;
      if (!MacListLine(record).empty()) ++usable;
    }
  }

  const TMacList list = BuildMacListFromTexts(sources);
  const std::string& body = list.Body;
  const size_t entries = list.Entries;
  FUZZ_CHECK(entries == usable && entries <= records, "one line per usable record");
  const std::string header = "Registry,Assignment,Organization Name\r\n";
  FUZZ_CHECK(body.compare(0, header.size(), header) == 0, "the list opens with its header line");
  size_t lines = 0;
  for (size_t pos = header.size(); pos < body.size();) {
    const size_t end = body.find("\r\n", pos);
    FUZZ_CHECK(end != std::string::npos, "every line ends with CR LF");
    const std::string line = body.substr(pos, end - pos);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "no line end inside a line");
    CheckLine(line);
    ++lines;
    pos = end + 2;
  }
  FUZZ_CHECK(lines == entries, "as many lines as entries");
  FUZZ_CHECK(ParseMacList(body)->Count() == entries + 1, "the tester reads every line, the header too");
  return 0;
}
